// The boot service listener on a real network: the listener (this test program started again
// as a child in the server namespace, filtered to BootServiceListenerChild.Serve, so that each
// run has its own stop event and exit status) and the console simulator beside it; clients in
// the client namespace send over the veth pair. The replies' bytes are checked in-process
// (pxeparser_test.cpp); here what only the wire shows.
#include "boot/bootservice.h"
#include "boot/dhcp.h"
#include "boottest.h"
#include "config/settings.h"
#include "core/readiness.h"
#include "core/records.h"
#include "core/stopevent.h"

#include <ace/Log_Msg.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace
{
const char* const kSettingsEnv = "PXETEST_LISTENER";
const char* const kBroadcast = "255.255.255.255";
const char* const kServer = TNetLab::kServerIp;
const int kCap = 6;  // the listener's cap of running request workers

// A reply as the client received it: its bytes (empty when none came), its sender and the
// address it was sent to.
struct TReceived
{
    TBytes v;
    sockaddr_in saFrom{};
    in_addr inTo{};
};

class BootServiceOnTheWire : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(lab.Ok()); }
    // Every listener stops on its signal and exits cleanly: its own checks (below), or a
    // sanitizer report, would change its exit status.
    void TearDown() override
    {
        EXPECT_TRUE(pidListener <= 0 || lab.Stop(pidListener, SIGTERM, 20000) == 0) << Log();
    }

    std::string Log() { return ReadFile(strLog); }
    // Waits until the listener has written n result lines in all.
    bool WaitForResults(int n, int iTimeoutMs = 10000)
    {
        return WaitUntil([&] { return CountOf(Log(), "aaaaaaaaaaaaa") >= n; }, iTimeoutMs);
    }

    // The reply to v sent from port nFromPort to szTo:nToPort, within iWaitMs, by a client in the
    // lab's client namespace on its veth.
    TReceived Exchange(const TBytes& v, uint16_t nFromPort, const char* szTo, uint16_t nToPort,
                       int iWaitMs)
    {
        TReceived r;
        TNetLab::RunIn(lab.ClientNs(), [&] {
            const std::string& strDevice = lab.ClientNs();
            const int sc = socket(AF_INET, SOCK_DGRAM, 0), iOn = 1;
            setsockopt(sc, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn));
            setsockopt(sc, IPPROTO_IP, IP_PKTINFO, &iOn, sizeof(iOn));
            setsockopt(sc, SOL_SOCKET, SO_BINDTODEVICE, strDevice.data(), strDevice.size());
            const sockaddr_in saLocal{AF_INET, htons(nFromPort), {}, {}},
                saTo{AF_INET, htons(nToPort), {inet_addr(szTo)}, {}};
            EXPECT_EQ(bind(sc, (const sockaddr*)&saLocal, sizeof(saLocal)), 0) << strerror(errno);
            EXPECT_EQ(sendto(sc, v.data(), v.size(), 0, (const sockaddr*)&saTo, sizeof(saTo)),
                      (ssize_t)v.size());
            pollfd p{sc, POLLIN, 0};
            if (poll(&p, 1, iWaitMs) == 1)
            {
                r.v.resize(2048);
                iovec iov{r.v.data(), r.v.size()};
                alignas(cmsghdr) unsigned char aControl[256];
                msghdr msg{&r.saFrom, sizeof(r.saFrom), &iov, 1, aControl, sizeof(aControl), 0};
                r.v.resize((size_t)std::max<ssize_t>(recvmsg(sc, &msg, 0), 0));
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                        r.inTo = reinterpret_cast<in_pktinfo*>(CMSG_DATA(c))->ipi_addr;
            }
            close(sc);
        });
        return r;
    }

    TNetLab lab;
    TTempDir dir;
    pid_t pidListener = -1;
    std::string strLog = dir / "listener.log", strRecords = dir / "records.json";
    // A boot request of real firmware to 4011; its ciaddr is not the client's.
    const TBytes vIpxeBoot = Stored("ipxe-bios-request-to-4011");
};
}  // namespace

// The listener process of the cases below: runs only when started by them.
TEST(BootServiceListenerChild, Serve)
{
    const char* szSettings = getenv(kSettingsEnv);
    if (szSettings == nullptr)
        GTEST_SKIP() << "runs only as the listener of the end-to-end cases";
    // "any NIC": the service's own address, the console's, is on loopback; the replies name the
    // address each request arrived at.
    ASSERT_EQ(gRecords.Open(szSettings, false), 0);
    gSettings.strIpAddress = "127.0.0.1";
    gSettings.strConsolePort = "40003";
    bAnyNic = true;
    int nMaxWorkers = kCap;
    auto Threads = [] {
        const std::string s = ReadFile("/proc/self/status");
        return atoi(s.c_str() + s.find("Threads:") + 8);
    };
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, nullptr), 0);
    int nThreads = 0;  // once bound, before any request, the listener aside; read after its join
    ExpectServiceThreads(1, [&] {
        nThreads = Threads() - 1;
        printf("listener ready\n");
        fflush(stdout);
    });
    std::thread listener(bootservice_proc, &nMaxWorkers);

    int iSignal = 0;
    sigwait(&set, &iSignal);
    evStop.signal();
    listener.join();
    // Late workers end on their own (a console query ends within seconds). A detached worker
    // still takes the log lock while its thread ends: wait for the threads, then take that lock
    // once, so that TSan sees their last use ordered before the process tears the lock down.
    EXPECT_TRUE(WaitUntil([] { return PxeWorkersRunning() == 0; }, 15000));
    EXPECT_TRUE(WaitUntil([&] { return Threads() <= nThreads; }, 5000));
    {
        ACE_Log_Msg logOrder;
    }
}

TEST_F(BootServiceOnTheWire, BootsAClientEndToEndAndTakesOnlyWhatFits)
{
    // The console simulator on 127.0.0.1:40003: clients it does not name hold a worker for its
    // whole wait. Then the listener child, once its ports are bound.
    WriteFile(dir / "map",
              "52:54:00:5b:00:01 Linux\n52:54:00:5b:00:02 Linux\n52:54:00:12:34:56 Linux\n");
    const pid_t pidConsole =
        lab.Spawn(lab.ServerNs(),
                  {BuiltProgram("consolesim"), "--port", "40003", "--bind", "127.0.0.1", "--map",
                   dir / "map", "--log", dir / "console.log", "--default", "@silent"},
                  dir / "console.out");
    ASSERT_TRUE(
        WaitUntil([&] { return CountOf(ReadFile(dir / "console.log"), "listening on"); }, 10000));
    setenv(kSettingsEnv, strRecords.c_str(), 1);
    pidListener =
        lab.Spawn(lab.ServerNs(),
                  {"/proc/self/exe", "--gtest_filter=BootServiceListenerChild.Serve"}, strLog);
    unsetenv(kSettingsEnv);
    ASSERT_TRUE(pidListener > 0 &&
                WaitUntil([&] { return CountOf(Log(), "listener ready"); }, 10000))
        << Log();
    const uint32_t nClient = inet_addr(TNetLab::kClientIp);
    auto WithCiaddr = [&](DhcpPacket& p) { p.SetCiaddr(nClient); };
    TBytes vIpxe1500 = vIpxeBoot;
    vIpxe1500.resize(kBinlReceiveLimit);
    // Sent from a port to an address and port: whether a reply comes, where it was sent and
    // the file it names; it comes from the server's address, which it names, and the port the
    // request went to. A reply on 67 goes broadcast, to ciaddr:68 or to a relay's giaddr:67; on
    // 4011 to the sender's address and port. Each socket takes datagrams up to its receive limit.
    const std::tuple<TBytes, uint16_t, const char*, uint16_t, uint32_t, const char*> aCases[] = {
        {Stored("ipxe-bios-discover-to-67"), kDhcpClientPort, kBroadcast, kDhcpServerPort,
         INADDR_BROADCAST, "foo-image"},
        {Request(kDhcpDiscover, WithCiaddr, kDhcpReceiveLimit + 1), kDhcpClientPort, kBroadcast,
         kDhcpServerPort, 0, nullptr},
        {Request(
             kDhcpDiscover, [&](DhcpPacket& p) { p.SetGiaddr(nClient); }, kDhcpReceiveLimit),
         kDhcpServerPort, kServer, kDhcpServerPort, nClient, "foo-image"},
        {vIpxe1500, kBinlPort, kServer, kBinlPort, nClient, "linux.0"},
        {Request(kDhcpRequest, WithCiaddr, kBinlReceiveLimit + 1), kDhcpClientPort, kServer,
         kBinlPort, 0, nullptr},
    };
    for (const auto& [v, nFromPort, szTo, nToPort, nReplyTo, szFile] : aCases)
    {
        SCOPED_TRACE(std::to_string(v.size()) + " bytes to port " + std::to_string(nToPort));
        const TReceived r = Exchange(v, nFromPort, szTo, nToPort, nReplyTo ? 8000 : 300);
        EXPECT_EQ(r.inTo.s_addr, nReplyTo);  // 0: none came
        EXPECT_EQ(ntohs(r.saFrom.sin_port), nReplyTo == 0 ? 0 : nToPort);
        EXPECT_EQ(r.saFrom.sin_addr.s_addr, nReplyTo == 0 ? 0 : inet_addr(kServer));
        if (szFile == nullptr)
            continue;
        DhcpPacket reply;
        EXPECT_TRUE(reply.Parse(r.v.data(), (uint32_t)r.v.size()));
        EXPECT_EQ(Opt(reply, kOptServerId), std::string("\xc6\x12\x00\x01", 4));
        EXPECT_EQ(std::string((const char*)reply.File()), szFile);
    }
    for (const char* szSocket : {"scDhcp", "scBinl"})
        EXPECT_NE(Log().find(std::string("error: recvfrom ") + szSocket + " code=90 at "),
                  std::string::npos)
            << Log();

    // The scripted client goes all the way to the boot file, served by the TFTP service alone
    // (1536 bytes: the last block is empty). Where the offer and the ack came from is the
    // table's; the file is the only one holding these bytes.
    const std::string strImage(1536, 'b');
    WriteFile(dir / "linux.0", strImage);
    lab.Spawn(lab.ServerNs(), {BuiltProgram("tftpserve"), dir.Path()}, dir / "tftp.out");
    ASSERT_TRUE(WaitUntil(
        [&] { return lab.Run(lab.ServerNs(), "grep -q \":0045 \" /proc/net/udp") == 0; }, 10000));
    const std::string strClient = BuiltProgram("pxeclient") + " --interface " + lab.ClientNs() +
                                  " --timeout 3000 --tries 2 --mac 52:54:00:5b:00:01 --output ";
    std::string strOut;
    EXPECT_EQ(lab.Run(lab.ClientNs(), strClient + dir / "got", &strOut), 0) << strOut << Log();
    EXPECT_TRUE(ReadFile(dir / "got") == strImage) << strOut;
    // Its boot in the records, the offer and the ack with the file named, beside those of the
    // same firmware's datagrams in the table.
    const std::string strBoot =
        "\"mac\":\"52:54:00:5b:00:01\",\"address\":\"198.18.0.2\",\"arch\":0,\"file\":";
    for (const auto& [szEvent, szFile] : {std::make_pair("offer", "foo-image"), {"ack", "linux.0"}})
        EXPECT_EQ(CountOf(ReadFile(strRecords), "\"event\":\"" + std::string(szEvent) + "\"," +
                                                    strBoot + "\"" + szFile + "\"}\n"),
                  2)
            << ReadFile(strRecords);

    // A flood: beyond the cap of running workers, datagrams are dropped.
    ASSERT_TRUE(WaitForResults(5));
    const TBytes vSilent =
        Request(kDhcpDiscover, [](DhcpPacket& p) { p.SetChaddr("\x52\x54\x00\x12\x34\x58", 6); });
    for (int i = 0; i < 40; ++i)
        Exchange(vSilent, kDhcpClientPort, kServer, kBinlPort, 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return CountOf(Log(), "too many PXE request workers") == 40 - kCap; }, 5000))
        << Log();
    ASSERT_TRUE(WaitForResults(5 + kCap, 15000)) << Log();
    EXPECT_EQ(CountOf(Log(), "aaaaaaaaaaaaa1\n"), 5) << Log();
    // The console down: no reply, and the service goes on (taking datagrams again).
    EXPECT_EQ(lab.Stop(pidConsole), 0);
    EXPECT_TRUE(Exchange(vIpxeBoot, kDhcpClientPort, kServer, kBinlPort, 300).v.empty());
    EXPECT_TRUE(WaitForResults(6 + kCap)) << Log();
    EXPECT_NE(Log().find("can not connect to console"), std::string::npos) << Log();
    // Refused by the silent console and by the one that is down, dropped by the listener (too
    // long, or beyond the cap): every one of them in the records, each line whole.
    const std::string strRecorded = ReadFile(strRecords);
    EXPECT_EQ(CountOf(strRecorded, "\"event\":\"refused\",\"mac\":\"52:54:00:12:34:58\","), kCap)
        << strRecorded;
    EXPECT_EQ(CountOf(strRecorded, "\"event\":\"refused\",\"mac\":\"52:54:00:5b:00:01\","), 1);
    EXPECT_EQ(CountOf(strRecorded, "\"event\":\"dropped\",\"address\":\"198.18.0.2\","
                                   "\"reason\":\"too many request workers\"}\n"),
              40 - kCap);
    EXPECT_EQ(CountOf(strRecorded, "\"reason\":\"too long\"}\n"), 2);
    EXPECT_EQ(CountOf(strRecorded, "{\"time\":\""), CountOf(strRecorded, "}\n"));
}
