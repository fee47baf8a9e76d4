// The boot service listener on a real network: a server namespace running the
// listener (this test program started again as a child, so that each case has
// its own stop event) and the console simulator, and a client namespace that
// sends real firmware datagrams over a veth pair.
#include "boot/bootmenu.h"
#include "boot/bootservice.h"
#include "boot/dhcppacket.h"
#include "config/settings.h"
#include "service/stopevent.h"
#include "common/testutil.h"

#include <ace/Thread.h>
#include <ace/Log_Msg.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace
{
typedef std::chrono::steady_clock TClock;

const char* const kListenerEnv = "PXETEST_LISTENER";
const char* const kConsolePort = "40003";
const char* const kIpxeMac = "52:54:00:5b:00:01";
const char* const kEdk2Mac = "52:54:00:5b:00:02";

std::vector<unsigned char> Capture(const std::string& strName)
{
    std::string s = ReadFile(std::string(PXE_SOURCE_DIR) + "/tests/boot/captures/" + strName + ".bin");
    return std::vector<unsigned char>(s.begin(), s.end());
}

// Is a UDP port bound in this process's network namespace?
bool UdpPortBound(int iPort)
{
    std::ifstream f("/proc/self/net/udp");
    std::string strLine;
    char szPort[8];
    snprintf(szPort, sizeof(szPort), ":%04X ", iPort);
    std::getline(f, strLine);
    while (std::getline(f, strLine))
    {
        std::istringstream is(strLine);
        std::string strSlot, strLocal;
        is >> strSlot >> strLocal;
        if ((strLocal + " ").find(szPort) != std::string::npos)
            return true;
    }
    return false;
}

size_t CountOf(const std::string& strText, const std::string& strWhat)
{
    size_t n = 0;
    for (size_t i = strText.find(strWhat); i != std::string::npos; i = strText.find(strWhat, i + 1))
        ++n;
    return n;
}

// Threads of this process.
int CountThreads()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task"))
    {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// One datagram received by the client, with the address it was sent to.
struct TReceived
{
    std::vector<unsigned char> vData;
    sockaddr_in saFrom{};
    in_addr inTo{};
};

// The client side: sockets in the client namespace, tied to its veth.
class TClient
{
public:
    explicit TClient(TNetLab& lab_) : lab(lab_) {}

    // Sends v from nFromPort to szTo:nToPort and collects what comes back to
    // that port within iWaitMs (stops at the first datagram when bFirst).
    std::vector<TReceived> Exchange(const std::vector<unsigned char>& v, uint16_t nFromPort, const char* szTo,
                                    uint16_t nToPort, int iWaitMs, bool bFirst = true)
    {
        std::vector<TReceived> vGot;
        TNetLab::RunIn(lab.ClientNs(), [&] {
            int sc = socket(AF_INET, SOCK_DGRAM, 0);
            int iOn = 1;
            setsockopt(sc, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn));
            setsockopt(sc, IPPROTO_IP, IP_PKTINFO, &iOn, sizeof(iOn));
            setsockopt(sc, SOL_SOCKET, SO_BINDTODEVICE, lab.ClientIf().c_str(), (socklen_t)lab.ClientIf().size());
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(nFromPort);
            if (bind(sc, (sockaddr*)&sa, sizeof(sa)) != 0)
            {
                ADD_FAILURE() << "client bind to port " << nFromPort << ": " << strerror(errno);
                close(sc);
                return;
            }
            sockaddr_in saTo{};
            saTo.sin_family = AF_INET;
            saTo.sin_port = htons(nToPort);
            saTo.sin_addr.s_addr = inet_addr(szTo);
            EXPECT_EQ(sendto(sc, v.data(), v.size(), 0, (sockaddr*)&saTo, sizeof(saTo)), (ssize_t)v.size());
            const TClock::time_point tEnd = TClock::now() + std::chrono::milliseconds(iWaitMs);
            for (;;)
            {
                int iLeft = (int)std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - TClock::now()).count();
                pollfd p{sc, POLLIN, 0};
                if (iLeft <= 0 || poll(&p, 1, iLeft) <= 0)
                    break;
                TReceived r;
                r.vData.resize(2048);
                iovec iov{r.vData.data(), r.vData.size()};
                alignas(cmsghdr) unsigned char aControl[256];
                msghdr msg{};
                msg.msg_name = &r.saFrom;
                msg.msg_namelen = sizeof(r.saFrom);
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                msg.msg_control = aControl;
                msg.msg_controllen = sizeof(aControl);
                ssize_t n = recvmsg(sc, &msg, 0);
                if (n < 0)
                    break;
                r.vData.resize((size_t)n);
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                    {
                        in_pktinfo info;
                        memcpy(&info, CMSG_DATA(c), sizeof(info));
                        r.inTo = info.ipi_addr;
                    }
                vGot.push_back(r);
                if (bFirst)
                    break;
            }
            close(sc);
        });
        return vGot;
    }

private:
    TNetLab& lab;
};

// A lab with the console simulator and the listener running in the server namespace.
class BootServiceOnTheWire : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lab.Ok());
        strListenerLog = dir / "listener.log";
        strConsoleLog = dir / "console.log";
    }

    void TearDown() override
    {
        // The listener ends cleanly on its stop signal: a sanitizer report or a
        // leak in it would show as another exit status.
        if (pidListener > 0)
        {
            EXPECT_EQ(lab.Stop(pidListener, SIGTERM, 20000), 0) << ListenerLog();
        }
    }

    // Console simulator answering from a "MAC reply" map, and with strDefault
    // (when given) for clients not in it.
    void StartConsole(const std::string& strMap, const std::string& strDefault = "")
    {
        WriteFile(dir / "console.map", strMap);
        std::vector<std::string> vArgs = {BuiltProgram("consolesim"), "--port", kConsolePort, "--bind",
                                          TNetLab::kServerIp, "--map", dir / "console.map", "--log", strConsoleLog};
        if (!strDefault.empty())
            vArgs.insert(vArgs.end(), {"--default", strDefault});
        pidConsole = lab.Spawn(lab.ServerNs(), vArgs, dir / "console.out");
        ASSERT_GT(pidConsole, 0);
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(strConsoleLog).find("listening on") != std::string::npos; }, 10000))
            << ReadFile(dir / "console.out");
    }

    void StopConsole()
    {
        lab.Stop(pidConsole, SIGTERM, 5000);
        pidConsole = -1;
    }

    // Starts the listener child; waits until its ports are bound, or until it ends.
    void StartListener(const std::string& strIp = TNetLab::kServerIp, bool bAnyNic_ = false, bool bRunWithDhcp = false,
                       bool bExpectReady = true, int iMaxWorkers = kMaxPxeWorkers)
    {
        std::string strSettings = strIp + "|" + (bAnyNic_ ? "1" : "0") + "|" + (bRunWithDhcp ? "1" : "0") + "|" +
                                  std::to_string(iMaxWorkers) + "|" + kConsolePort;
        setenv(kListenerEnv, strSettings.c_str(), 1);
        char szSelf[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", szSelf, sizeof(szSelf) - 1), 0);
        pidListener = lab.Spawn(lab.ServerNs(),
                                {szSelf, "--gtest_filter=BootServiceListenerChild.Serve", "--gtest_color=no"},
                                strListenerLog);
        unsetenv(kListenerEnv);
        ASSERT_GT(pidListener, 0);
        if (bExpectReady)
        {
            ASSERT_TRUE(WaitUntil([&] { return ListenerLog().find("listener ready") != std::string::npos; }, 10000))
                << ListenerLog();
        }
    }

    std::string ListenerLog() { return ReadFile(strListenerLog); }
    std::string ConsoleLog() { return ReadFile(strConsoleLog); }

    // Waits until the listener has written n result lines in all.
    bool WaitForResults(size_t n, int iTimeoutMs = 10000)
    {
        return WaitUntil([&] { return CountOf(ListenerLog(), "aaaaaaaaaaaaa") >= n; }, iTimeoutMs);
    }

    TNetLab lab;
    TTempDir dir;
    TClient client{lab};
    pid_t pidListener = -1;
    pid_t pidConsole = -1;
    std::string strListenerLog, strConsoleLog;
};

void ExpectOptions(const TReceived& r, uint8_t nType, const char* szFile)
{
    DhcpPacket p;
    ASSERT_TRUE(p.Parse(r.vData.data(), (uint32_t)r.vData.size()));
    EXPECT_EQ(p.GetOp(), 2);
    uint8_t n = 0;
    EXPECT_EQ(p.GetOption(53, &n, 1), 1);
    EXPECT_EQ(n, nType);
    uint8_t aId[4];
    EXPECT_EQ(p.GetOption(54, aId, 4), 4);
    EXPECT_EQ(memcmp(aId, "\xc6\x12\x00\x01", 4), 0);
    EXPECT_EQ(p.GetSiaddr(), inet_addr(TNetLab::kServerIp));
    EXPECT_STREQ((const char*)p.File(), szFile);
    EXPECT_EQ(p.GetVendorOption(PXE_BOOT_MENU, nullptr, 0), 8);
    EXPECT_EQ(p.GetVendorOption(PXE_MENU_PROMPT, nullptr, 0), 26);
    EXPECT_EQ(p.GetVendorOption(PXE_BOOT_ITEM, nullptr, 0), 4);
}

std::vector<unsigned char> BuildRequest(uint8_t nType, uint32_t nCiaddr, uint32_t nGiaddr,
                                        const std::vector<uint8_t>& vParams, size_t nPadTo = 0)
{
    DhcpPacket p;
    p.SetOp(1);
    p.SetHtype(1);
    const uint8_t aMac[6] = {0x52, 0x54, 0x00, 0x5b, 0x00, 0x01};
    p.SetChaddr(aMac, 6);
    p.SetXid(htonl(0x01020304));
    p.SetCiaddr(nCiaddr);
    p.SetGiaddr(nGiaddr);
    p.SetOption(53, &nType, 1);
    p.SetOption(60, "PXEClient", 9);
    p.SetOption(55, vParams.data(), (int)vParams.size());
    std::vector<unsigned char> v(1500);
    int n = (int)v.size();
    EXPECT_TRUE(p.Serialize(v.data(), n));
    v.resize(std::max((size_t)n, nPadTo));
    return v;
}
}  // namespace

// The listener process of the cases below: runs only when started by them.
TEST(BootServiceListenerChild, Serve)
{
    const char* szSettings = getenv(kListenerEnv);
    if (szSettings == nullptr)
        GTEST_SKIP() << "runs only as the listener of the end-to-end cases";
    char szIp[64] = {}, szPort[16] = {};
    int iAnyNic = 0, iRunWithDhcp = 0;
    ASSERT_EQ(sscanf(szSettings, "%63[^|]|%d|%d|%d|%15s", szIp, &iAnyNic, &iRunWithDhcp, &giMaxPxeWorkers, szPort), 5);
    gSettings.strIpAddress = szIp;
    gSettings.strConsolePort = szPort;
    gSettings.bRunWithDhcp = iRunWithDhcp != 0;
    bAnyNic = iAnyNic != 0;

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, nullptr), 0);
    ACE_thread_t tid;
    ACE_hthread_t hThread;
    ASSERT_EQ(ACE_OS::thr_create(bootservice_proc, nullptr, THR_NEW_LWP | THR_JOINABLE, &tid, &hThread), 0);
    ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(4011) && (gSettings.bRunWithDhcp || UdpPortBound(67)); }, 5000));
    // Threads once no request has come yet, the listener itself aside.
    const int nThreadsBefore = CountThreads() - 1;
    printf("listener ready\n");
    fflush(stdout);

    int iSignal = 0;
    sigwait(&set, &iSignal);
    const TClock::time_point t0 = TClock::now();
    evStop.signal();
    ACE_Thread::join(hThread);
    const long long nMs = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t0).count();
    printf("listener stopped after %lld ms, ports free %d\n", nMs, !UdpPortBound(67) && !UdpPortBound(4011));
    fflush(stdout);
    // Late workers finish on their own (a console query ends within seconds).
    EXPECT_TRUE(WaitUntil([] { return PxeWorkersRunning() == 0; }, 15000));
    // A detached worker still uses the log manager's lock while its thread
    // ends; wait until the threads are gone and take that lock once, so that
    // their last use is ordered before the process tears the lock down.
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() <= nThreadsBefore; }, 5000));
    {
        ACE_Log_Msg logOrder;
    }
}

TEST_F(BootServiceOnTheWire, ProxyOfferAndBootServerAckFromTheRequestsPorts)
{
    StartConsole(std::string(kIpxeMac) + " Linux\n" + kEdk2Mac + " dos\n");
    StartListener();

    // The sockets serve the configured interface only: nothing that arrives
    // on loopback is handled.
    TNetLab::RunIn(lab.ServerNs(), [] {
        int sc = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(4011);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<unsigned char> v = Capture("ipxe-bios-request-to-4011");
        sendto(sc, v.data(), v.size(), 0, (sockaddr*)&sa, sizeof(sa));
        close(sc);
    });

    // iPXE's discover, broadcast from port 68: the offer is broadcast to 68 from 67.
    std::vector<TReceived> v = client.Exchange(Capture("ipxe-bios-discover-to-67"), 68, "255.255.255.255", 67, 8000);
    ASSERT_EQ(v.size(), 1u) << ListenerLog();
    EXPECT_EQ(v[0].vData.size(), 320u);
    EXPECT_EQ(ntohs(v[0].saFrom.sin_port), 67);
    EXPECT_STREQ(inet_ntoa(v[0].saFrom.sin_addr), TNetLab::kServerIp);
    EXPECT_STREQ(inet_ntoa(v[0].inTo), "255.255.255.255");
    ExpectOptions(v[0], 2, "foo-image");
    DhcpPacket offer;
    ASSERT_TRUE(offer.Parse(v[0].vData.data(), (uint32_t)v[0].vData.size()));
    EXPECT_EQ(offer.GetVendorOption(PXE_DISCOVERY_CONTROL, nullptr, 0), 1);
    EXPECT_EQ(offer.GetVendorOption(PXE_BOOT_SERVERS, nullptr, 0), 7);

    // iPXE's boot-server request from port 68 to 4011: the ack comes from 4011
    // back to the sender's address and port, with the task's file.
    v = client.Exchange(Capture("ipxe-bios-request-to-4011"), 68, TNetLab::kServerIp, 4011, 8000);
    ASSERT_EQ(v.size(), 1u) << ListenerLog();
    EXPECT_EQ(v[0].vData.size(), 308u);
    EXPECT_EQ(ntohs(v[0].saFrom.sin_port), 4011);
    EXPECT_STREQ(inet_ntoa(v[0].inTo), TNetLab::kClientIp);
    ExpectOptions(v[0], 5, "linux.0");

    // EDK2 sends from port 4011, and is answered there.
    v = client.Exchange(Capture("edk2-uefi-request-to-4011"), 4011, TNetLab::kServerIp, 4011, 8000);
    ASSERT_EQ(v.size(), 1u) << ListenerLog();
    EXPECT_EQ(ntohs(v[0].saFrom.sin_port), 4011);
    ExpectOptions(v[0], 5, "dos.0");

    ASSERT_TRUE(WaitForResults(3));
    std::string strLog = ListenerLog();
    EXPECT_EQ(CountOf(strLog, "aaaaaaaaaaaaa1\n"), 3u) << strLog;
    EXPECT_EQ(CountOf(strLog, "aaaaaaaaaaaaa"), 3u) << strLog;
    EXPECT_NE(strLog.find("Start Tarn PXE boot service at "), std::string::npos);
    // The gate asked for each request, the selection once more for type 1.
    EXPECT_EQ(CountOf(ConsoleLog(), "received mac=" + std::string(kIpxeMac)), 3u) << ConsoleLog();
}

TEST_F(BootServiceOnTheWire, ConsoleGateDropsWithoutReplyAndServiceGoesOn)
{
    StartConsole(std::string(kIpxeMac) + " allnone\n");
    StartListener();

    // A DHCPREQUEST broadcast to 67 with ciaddr 0 is dropped before the console is asked.
    std::vector<TReceived> v = client.Exchange(Capture("ipxe-bios-request-to-67"), 68, "255.255.255.255", 67, 300);
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(WaitForResults(1));
    EXPECT_EQ(ConsoleLog().find("received mac="), std::string::npos) << ConsoleLog();

    // "allnone", and a client the console does not know: asked, no reply.
    v = client.Exchange(Capture("ipxe-bios-discover-to-67"), 68, "255.255.255.255", 67, 300);
    EXPECT_TRUE(v.empty());
    v = client.Exchange(Capture("edk2-uefi-discover-to-67"), 68, "255.255.255.255", 67, 300);
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(WaitForResults(3));
    EXPECT_NE(ConsoleLog().find("received mac=" + std::string(kIpxeMac)), std::string::npos);
    EXPECT_NE(ConsoleLog().find("received mac=" + std::string(kEdk2Mac)), std::string::npos);

    // The console down: still no reply, and the listener goes on.
    StopConsole();
    v = client.Exchange(Capture("ipxe-bios-request-to-4011"), 68, TNetLab::kServerIp, 4011, 300);
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(WaitForResults(4));
    std::string strLog = ListenerLog();
    EXPECT_EQ(CountOf(strLog, "aaaaaaaaaaaaa0\n"), 4u) << strLog;
    EXPECT_NE(strLog.find("can not connect to console"), std::string::npos) << strLog;
    EXPECT_EQ(WaitProcess(pidListener, 0), -2);  // still running
}

TEST_F(BootServiceOnTheWire, ConsoleInfoToCiaddrAndRelayedRequestToGiaddr)
{
    StartConsole(std::string(kIpxeMac) + " Linux\n");
    StartListener();
    const uint32_t nClient = inet_addr(TNetLab::kClientIp);

    // DHCPINFORM asking for option 201, ciaddr set: DHCPACK to ciaddr port 68, from 67.
    std::vector<TReceived> v =
        client.Exchange(BuildRequest(8, nClient, 0, {1, 3, 201}), 68, TNetLab::kServerIp, 67, 8000);
    ASSERT_EQ(v.size(), 1u) << ListenerLog();
    EXPECT_EQ(ntohs(v[0].saFrom.sin_port), 67);
    EXPECT_STREQ(inet_ntoa(v[0].inTo), TNetLab::kClientIp);
    DhcpPacket p;
    ASSERT_TRUE(p.Parse(v[0].vData.data(), (uint32_t)v[0].vData.size()));
    char szInfo[256] = {};
    EXPECT_GT(p.GetOption(201, szInfo, 255), 0);
    EXPECT_STREQ(szInfo, "'198.18.0.1' '40003'");
    EXPECT_EQ(p.GetSiaddr(), 0u);

    // A discover relayed by an agent at the client's address: offer to giaddr port 67.
    v = client.Exchange(BuildRequest(1, 0, nClient, {1, 3, 43, 60}), 67, TNetLab::kServerIp, 67, 8000);
    ASSERT_EQ(v.size(), 1u) << ListenerLog();
    EXPECT_EQ(ntohs(v[0].saFrom.sin_port), 67);
    EXPECT_STREQ(inet_ntoa(v[0].inTo), TNetLab::kClientIp);
    ExpectOptions(v[0], 2, "foo-image");
    ASSERT_TRUE(p.Parse(v[0].vData.data(), (uint32_t)v[0].vData.size()));
    EXPECT_EQ(p.GetGiaddr(), nClient);
    EXPECT_NE(ListenerLog().find("Info: Get console info, Mac Address is 52:54:00:5b:00:01 at "), std::string::npos);
}

TEST_F(BootServiceOnTheWire, ReceiveLimitsOfTheTwoPorts)
{
    StartConsole(std::string(kIpxeMac) + " Linux\n");
    StartListener();
    const uint32_t nClient = inet_addr(TNetLab::kClientIp);
    // 1100 bytes to port 67: a failed receive, logged, not handled.
    std::vector<TReceived> v =
        client.Exchange(BuildRequest(1, 0, 0, {1, 3, 43, 60}, 1100), 68, "255.255.255.255", 67, 300);
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(WaitUntil([&] { return ListenerLog().find("error: recvfrom scDhcp code=90 at ") != std::string::npos; },
                          5000))
        << ListenerLog();
    // 1024 bytes on 67 and 1500 on 4011 are handled.
    v = client.Exchange(BuildRequest(1, 0, 0, {1, 3, 43, 60}, 1024), 68, "255.255.255.255", 67, 8000);
    EXPECT_EQ(v.size(), 1u);
    v = client.Exchange(BuildRequest(3, nClient, 0, {1, 3, 43, 60}, 1500), 68, TNetLab::kServerIp, 4011, 8000);
    ASSERT_EQ(v.size(), 1u);
    DhcpPacket p;
    ASSERT_TRUE(p.Parse(v[0].vData.data(), (uint32_t)v[0].vData.size()));
    uint8_t n = 0;
    p.GetOption(53, &n, 1);
    EXPECT_EQ(n, 5);
    // 1501 bytes on 4011: refused like the long one on 67.
    v = client.Exchange(BuildRequest(3, nClient, 0, {1, 3, 43, 60}, 1501), 68, TNetLab::kServerIp, 4011, 300);
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(WaitUntil([&] { return ListenerLog().find("error: recvfrom scBinl code=90 at ") != std::string::npos; },
                          5000));
    EXPECT_EQ(CountOf(ListenerLog(), "aaaaaaaaaaaaa"), 2u);
}

TEST_F(BootServiceOnTheWire, RunWithDhcpLeavesPort67Free)
{
    StartConsole(std::string(kIpxeMac) + " Linux\n");
    StartListener(TNetLab::kServerIp, false, true);
    bool bBound = false;
    TNetLab::RunIn(lab.ServerNs(), [&] {
        int sc = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(67);
        bBound = bind(sc, (sockaddr*)&sa, sizeof(sa)) == 0;
        close(sc);
    });
    EXPECT_TRUE(bBound);
    std::vector<TReceived> v = client.Exchange(Capture("ipxe-bios-request-to-4011"), 68, TNetLab::kServerIp, 4011, 8000);
    ASSERT_EQ(v.size(), 1u) << ListenerLog();
    ExpectOptions(v[0], 5, "linux.0");
}

TEST_F(BootServiceOnTheWire, ConfiguredAddressThatNoInterfaceCarries)
{
    // The sockets stay on the wildcard address, with no log line; requests
    // still arrive (the console, at that missing address, cannot be reached).
    StartListener("198.18.0.77");
    std::vector<TReceived> v = client.Exchange(Capture("ipxe-bios-request-to-4011"), 68, TNetLab::kServerIp, 4011, 200);
    EXPECT_TRUE(v.empty());
    ASSERT_TRUE(WaitForResults(1, 15000)) << ListenerLog();
    std::string strLog = ListenerLog();
    EXPECT_EQ(strLog.find("error:"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("aaaaaaaaaaaaa0\n"), std::string::npos);
}

TEST_F(BootServiceOnTheWire, StopsWithinASecondAndClosesItsPorts)
{
    StartListener(TNetLab::kServerIp, true);
    const TClock::time_point t0 = TClock::now();
    EXPECT_EQ(lab.Stop(pidListener, SIGTERM, 5000), 0) << ListenerLog();
    pidListener = -1;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t0).count(), 2500);
    std::string strLog = ListenerLog();
    long long nMs = -1;
    int iFree = 0;
    size_t i = strLog.find("listener stopped after ");
    ASSERT_NE(i, std::string::npos) << strLog;
    ASSERT_EQ(sscanf(strLog.c_str() + i, "listener stopped after %lld ms, ports free %d", &nMs, &iFree), 2);
    EXPECT_LE(nMs, 1300);
    EXPECT_EQ(iFree, 1);
}

TEST_F(BootServiceOnTheWire, PortTakenEndsTheProcess)
{
    int sc = -1;
    TNetLab::RunIn(lab.ServerNs(), [&] {
        sc = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(4011);
        EXPECT_EQ(bind(sc, (sockaddr*)&sa, sizeof(sa)), 0);
    });
    StartListener(TNetLab::kServerIp, false, false, false);
    EXPECT_EQ(WaitProcess(pidListener, 10000), 255) << ListenerLog();
    pidListener = -1;
    EXPECT_NE(ListenerLog().find("error: bind socket scBinl failure at "), std::string::npos) << ListenerLog();
    close(sc);
}

TEST_F(BootServiceOnTheWire, FloodBeyondTheWorkerCapIsDropped)
{
    // A console that never answers holds every worker for its 4-second wait.
    StartConsole("", "@silent");
    const int kCap = 6;
    StartListener(TNetLab::kServerIp, false, false, true, kCap);
    const std::vector<unsigned char> vDiscover = Capture("ipxe-bios-discover-to-67");
    TNetLab::RunIn(lab.ClientNs(), [&] {
        int sc = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(4011);
        sa.sin_addr.s_addr = inet_addr(TNetLab::kServerIp);
        for (int i = 0; i < 40; ++i)
            sendto(sc, vDiscover.data(), vDiscover.size(), 0, (sockaddr*)&sa, sizeof(sa));
        close(sc);
    });
    auto Received = [&] { return CountOf(ConsoleLog(), "received mac="); };
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ListenerLog(), "too many PXE request workers") == 40 - kCap; }, 5000))
        << ListenerLog();
    EXPECT_TRUE(WaitUntil([&] { return Received() == (size_t)kCap; }, 5000)) << Received();
    // The workers give up on the console; then new datagrams are taken again.
    ASSERT_TRUE(WaitForResults(kCap, 15000));
    EXPECT_EQ(CountOf(ListenerLog(), "aaaaaaaaaaaaa0\n"), (size_t)kCap);
    client.Exchange(vDiscover, 68, TNetLab::kServerIp, 4011, 0);
    EXPECT_TRUE(WaitUntil([&] { return Received() == (size_t)kCap + 1; }, 5000)) << Received();
}

TEST_F(BootServiceOnTheWire, ScriptedClientBootsThroughToTheFile)
{
    StartConsole(std::string(kIpxeMac) + " Linux\n");
    StartListener();
    // The boot file, served by the TFTP service alone: 1536 bytes end with an empty block.
    TTempDir root;
    std::string strImage;
    for (int i = 0; i < 1536; ++i)
        strImage += (char)(i * 7 + i / 256);
    WriteFile(root / "linux.0", strImage);
    pid_t pidTftp = lab.Spawn(lab.ServerNs(), {BuiltProgram("tftpserve"), root.Path()}, dir / "tftp.out");
    ASSERT_GT(pidTftp, 0);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::string strUdp;
            lab.Run(lab.ServerNs(), "cat /proc/net/udp", &strUdp);
            return strUdp.find(":0045 ") != std::string::npos;
        },
        10000));

    std::string strOut;
    int iStatus = lab.Run(lab.ClientNs(),
                          BuiltProgram("pxeclient") + " --interface " + lab.ClientIf() + " --mac " + kIpxeMac +
                              " --timeout 3000 --tries 2 --output " + (dir / "got"),
                          &strOut, 60);
    EXPECT_EQ(iStatus, 0) << strOut << ListenerLog() << ReadFile(dir / "tftp.out");
    EXPECT_NE(strOut.find("offer from 198.18.0.1:67"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("ack from 198.18.0.1:4011"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("file \"linux.0\""), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("tsize 1536, received 1536 bytes"), std::string::npos) << strOut;
    EXPECT_TRUE(ReadFile(dir / "got") == strImage);
    EXPECT_EQ(lab.Stop(pidTftp, SIGTERM, 15000), 0);

    // A client without a task gets no offer, and says so in its exit status.
    iStatus = lab.Run(lab.ClientNs(),
                      BuiltProgram("pxeclient") + " --interface " + lab.ClientIf() +
                          " --mac 52:54:00:5b:00:09 --timeout 1000 --tries 1",
                      &strOut, 60);
    EXPECT_EQ(iStatus, 2) << strOut;
}
