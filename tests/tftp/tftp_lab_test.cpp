// The TFTP service on port 69, run on a thread in the server namespace of a
// lab, against real clients and scripted ones in the client namespace.
#include "common/testutil.h"
#include "config/settings.h"
#include "core/logfile.h"
#include "core/records.h"
#include "core/stopevent.h"
#include "tftp/tftpd.h"
#include "tftpwire.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace
{
using std::chrono::steady_clock;
int64_t MsSince(steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - t).count();
}

// A scripted client, for what real clients do not send: talks to port 69, then
// to the port of the first reply.
struct TPeer
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{AF_INET, htons(kTftpPort), {inet_addr(TNetLab::kServerIp)}, {}};
    explicit TPeer(const char* szFrom = TNetLab::kClientIp)
    {
        sockaddr_in local{AF_INET, 0, {inet_addr(szFrom)}, {}};
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~TPeer() { close(fd); }
    void Send(const std::string& str)
    {
        sendto(fd, str.data(), str.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    }
    // Sends strSend (unless ""), then the next datagram within iTimeoutMs ("" on time-out); its
    // sender becomes the server.
    std::string Get(const std::string& strSend, int iTimeoutMs = 4000)
    {
        if (!strSend.empty())
            Send(strSend);
        timeval tv = {iTimeoutMs / 1000, iTimeoutMs % 1000 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buffer[2048];
        socklen_t n = sizeof server;
        ssize_t nReceived =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&server), &n);
        return std::string(buffer, size_t(std::max<ssize_t>(nReceived, 0)));
    }
    // A request to port 69 and its answer, with "69:" in front when port 69 itself sent it.
    std::string Ask(const std::string& strRequest, int iTimeoutMs = 4000)
    {
        server.sin_port = htons(kTftpPort);
        const std::string str = Get(strRequest, iTimeoutMs);
        return (!str.empty() && ntohs(server.sin_port) == kTftpPort ? "69:" : "") + str;
    }
};

// Every test runs the service, set up as the test wants it, on a thread in the
// lab's server namespace, serving a folder of its own, and talks to it from the
// client namespace, which the test's thread enters for the test.
class TftpServer : public ::testing::Test
{
protected:
    TTempDir dir, root, out;
    TLogFile log{true, (dir / "tftptest.x").c_str()};
    TNetLab lab;
    int fdHomeNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    std::thread server;
    std::atomic<bool> bServerEnded{false};

    void SetUp() override
    {
        ASSERT_TRUE(lab.Ok() && TNetLab::Enter(lab.ClientNs()));
        gSettings.strTftpRoot = root.Path() + "/";
        giTftpWaitSeconds = 1;
        giTftpStopGraceMs = 1500;
    }
    void TearDown() override
    {
        if (server.joinable())
            StopServer();
        setns(fdHomeNs, CLONE_NEWNET);
        close(fdHomeNs);
        gSettings = TSettings();
        giTftpWaitSeconds = kTftpWaitSeconds;
        giTftpStopGraceMs = 10000;
    }
    void StartServer()
    {
        evStop.reset();
        server = std::thread([this] {
            ACE_Log_Msg::instance()->msg_ostream(&log);
            if (TNetLab::Enter(lab.ServerNs()))
                tftpservice_proc(nullptr);
            bServerEnded = true;
        });
        ASSERT_TRUE(
            WaitUntil([&] { return CountInLog("Start TFTP service at") == 1 || bServerEnded; },
                      10000) &&
            !bServerEnded);
    }
    // Signals the stop and waits for the service to end; the milliseconds it took.
    int64_t StopServer()
    {
        const auto tStart = steady_clock::now();
        evStop.signal();
        // Else the joinable thread ends the run.
        EXPECT_TRUE(WaitUntil([&] { return bServerEnded.load(); }, 20000));
        server.join();
        return MsSince(tStart);
    }
    int CountInLog(const std::string& strLine) const
    {
        return CountOf(ReadFile(log.FileName()), strLine);
    }
    // Each command, run in the client namespace with $ip the server's address, fetches each of
    // the files strFiles names ($f of the served folder $r into $o); every copy is compared.
    void FetchEach(std::initializer_list<const char*> vCommands, const std::string& strFiles)
    {
        for (const char* szGet : vCommands)
        {
            std::string strOutput, strCommand = std::string("ip=") + TNetLab::kServerIp +
                                                " r=" + root.Path() + "; for f in " + strFiles +
                                                "; do o=" + out.Path() + "/$f; rm -f $o; " + szGet +
                                                " && cmp $o $r/$f || exit 1; done";
            EXPECT_EQ(lab.Run(lab.ClientNs(), strCommand, &strOutput, 200), 0) << strCommand << "\n"
                                                                               << strOutput;
        }
    }
};

// One run of the service without negotiation: real clients, the answer to each
// kind of request, a request without a socket.
TEST_F(TftpServer, RealClientsAndRequestsOfEveryKind)
{
    StartServer();
    // A worker that cannot have a socket of its own takes its request off port 69
    // and drops it: the service thread must not see the same request again.
    TPeer c;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = {rlim_t(fcntl(c.fd, F_DUPFD, 0)), old.rlim_max};  // the lowest free descriptor
    close(int(low.rlim_cur));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::string strReply = c.Get(Request({"x", "octet"}), 500);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(strReply + c.Get("", 500), "");
    EXPECT_EQ(CountInLog(" dropped, no socket at"), 1);

    std::string strFiles;
    for (size_t nSize : {0, 512, 1000, 3 * 1024 * 1024 + 77})  // last block empty, short, many
    {
        WriteFile(root / ("f" + std::to_string(nSize)), Pattern(nSize));
        strFiles += " f" + std::to_string(nSize);
    }
    // Each transfer's end is recorded, with what the client acknowledged.
    ASSERT_EQ(gRecords.Open(dir / "records.jsonl", false), 0);
    TPeer().Ask(Request({"nothere", "octet"}));
    // curl 7.88 fails on any empty TFTP file ("getpeername() failed"), whatever the server.
    FetchEach({"tftp -m binary $ip -c get $f $o",
               "{ [ $f = f0 ] && : >$o; } || curl -sS --max-time 60 -o $o tftp://$ip/$f",
               "busybox tftp -g -r $f -l $o $ip"},
              strFiles);
    gRecords.Close();
    const std::string strRecords = ReadFile(dir / "records.jsonl");
    // Every fetch but curl's of the empty file, and the missing one.
    EXPECT_EQ(CountOf(strRecords, "\"event\":\"tftp\""), 3 * 4) << strRecords;
    EXPECT_EQ(CountOf(strRecords, "\"file\":\"f1000\",\"bytes\":1000,"), 3);
    EXPECT_EQ(CountOf(strRecords, "\"blksize\":512,\"window\":1,\"result\":\"complete\""), 11);
    EXPECT_EQ(CountOf(strRecords, "\"file\":\"nothere\",\"result\":\"not-found\""), 1);

    // What only the wire shows of the request checks (the fields' limits are the parser's
    // test): without negotiation a file may have 65535 blocks, the last one short.
    WriteFile(root / "ok", "fine");
    WriteFile(root / "fits", "");
    WriteFile(root / "big", "");
    WriteFile(dir / "secret", "outside");
    ASSERT_TRUE(symlink((dir / "secret").c_str(), (root / "out").c_str()) == 0 &&
                symlink("ok", (root / "in").c_str()) == 0 &&
                mkfifo((root / "pipe").c_str(), 0644) == 0 &&
                truncate((root / "fits").c_str(), kTftpMaxFileSize) == 0 &&
                truncate((root / "big").c_str(), kTftpMaxFileSize + 1) == 0);
    const std::string strIllegal = ErrorPacket(4, "illegal TFTP operatio");
    const std::pair<std::string, std::string> cases[] = {
        {Request({"ok", "octet"}, TftpWrq), strIllegal},
        {Request({"../etc/passwd", "octet"}), strIllegal},
        {Request({std::string(600, 'n'), "octet"}), ""},  // too long to be received
        {Request({"ok", "octet", "tsize", "1234"}), ""},  // a "tsize" other than "0"
        // "tsize" first, in any case, gets an OACK of it alone.
        {Request({"ok", "octet", "TSize", "0", "blksize", "1468"}),
         Request({"tsize", "4"}, TftpOack)},
        {Request({"pipe", "octet"}), ErrorPacket(1, "file not found")},
        {Request({"fits", "octet"}), Data(std::string(512, '\0'), 1)},
        {Request({"big", "octet"}), ErrorPacket(3, "disk full or allocation exceeded")},
        // Links: one leading out of the root is refused, one inside it is followed.
        {Request({"out", "octet"}), ErrorPacket(2, "access violation")},
        {Request({"in", "octet"}), Data("fine", 1)},
    };
    for (const auto& [strRequest, strReply] : cases)
    {
        TPeer p;
        EXPECT_EQ(p.Ask(strRequest, strReply.empty() ? 1500 : 4000), strReply) << strRequest;
        if (!strReply.empty())
            p.Send(ErrorPacket(0, "done"));  // a transfer begun ends here
    }
    // Each line once: the line of the datagram too long, within the same second from the same
    // client as the WRQ's, is held back.
    for (const std::string& strLine :
         {"tftp: donot support this path " + root / "../etc/passwd" + ".\n",
          "tftp: can't open " + root / "pipe" + " for reading at",
          "tftp: " + root / "out" + " leads out of the root at",
          std::string("User request invalid\n"),
          "User request get file=" + root / "ok" + ", but tsize isn't zero.\n",
          "User request get file=" + root / "in" + "\n",
          "tftp: file " + root / "big" + " has 33553920 bytes, more than 65535 blocks at"})
        EXPECT_EQ(CountInLog(strLine), 1) << strLine;
}

// A client that answers slowly holds one transfer and nothing else: a storm of
// requests meanwhile is answered at once, and the slow transfer goes on. Beyond
// the limits on transfers at once a request gets ERROR 0 from port 69 at once;
// an ended transfer gives its place back. The stop ends those left.
TEST_F(TftpServer, ASlowClientHoldsNobodyUpTheLimitsRefuseAtOnceAndTheStop)
{
    giTftpWaitSeconds = 3;  // longer than the slow client's pause
    gSettings.iTftpMaxTransfers = 3;
    gSettings.iTftpMaxTransfersPerClient = 2;
    StartServer();
    const char* szOther = "198.18.0.3";
    ASSERT_EQ(lab.Run(lab.ClientNs(),
                      "ip addr add " + std::string(szOther) + "/24 dev " + lab.ClientNs()),
              0);
    const std::string s = Pattern(4 * 512), strRrq = Request({"f", "octet"}), strData = Data(s, 1);
    WriteFile(root / "f", s);
    TPeer slow, a2, a3, b1(szOther), b2(szOther);
    ASSERT_EQ(slow.Get(strRrq), strData);
    const auto tFirst = steady_clock::now();
    std::vector<TPeer> vStorm(256);
    for (TPeer& p : vStorm)
        p.Send(Request({"missing", "octet"}));
    int nAnswered = 0;
    for (TPeer& p : vStorm)  // all within the first second
        nAnswered += p.Get("", int(std::max<int64_t>(1000 - MsSince(tFirst), 1))) ==
                     ErrorPacket(1, "file not found");
    EXPECT_EQ(nAnswered, 256);
    std::this_thread::sleep_until(tFirst + std::chrono::seconds(2));  // the slow client's pause
    EXPECT_EQ(slow.Get(Ack(1)), Data(s, 2));

    const std::string strBusy = "69:" + ErrorPacket(0, "server busy");
    EXPECT_EQ(a2.Ask(strRrq), strData);
    EXPECT_EQ(a3.Ask(strRrq), "69:" + ErrorPacket(0, "too many transfers from this client"));
    EXPECT_EQ(b1.Ask(strRrq), strData);
    EXPECT_EQ(b2.Ask(strRrq), strBusy);
    slow.Get(ErrorPacket(0, "done"), 300);  // the transfer ends; its place is free again
    EXPECT_EQ(b2.Ask(strRrq), strData);
    EXPECT_EQ(a3.Ask(strRrq), strBusy);
    // Once per client per 10 seconds.
    EXPECT_EQ(CountInLog(std::string("tftp: 2 transfers from ") + TNetLab::kClientIp +
                         " running, request refused at"),
              1);
    EXPECT_EQ(CountInLog("tftp: 3 transfers running, request from "), 2);

    // A stop lets the transfers run for the grace period, then tells their clients
    // and ends; port 69 takes no request from the stop on.
    const int64_t iMs = StopServer();
    EXPECT_GE(iMs, giTftpStopGraceMs - 100);
    EXPECT_LE(iMs, giTftpStopGraceMs + 1000);
    for (TPeer* p : {&a2, &b1, &b2})  // within the grace their wait does not run out
        EXPECT_EQ(p->Get("", 1000), ErrorPacket(0, "server shutting down"));
    EXPECT_EQ(TPeer().Get(strRrq, 500), "");
    EXPECT_EQ(CountInLog(" ended by the stop at"), 3);
}

TEST_F(TftpServer, NegotiatingWithRealClientsAndFirmware)
{
    gSettings.bTftpNegotiate = true;
    StartServer();
    const std::string s = Pattern(3 * 1024 * 1024 + 77);
    WriteFile(root / "linux.0", s);
    FetchEach({"curl -sS --max-time 60 --tftp-blksize 1468 -o $o tftp://$ip/$f",
               "busybox tftp -b 1432 -g -r $f -l $o $ip", "tftp -m binary $ip -c get $f $o"},
              "linux.0");
    // EDK2: a size probe, which it ends with ERROR 8 once it has the OACK, then the
    // download in blocks of 1468 bytes (the veth's MTU allows 1468).
    const std::string strCaptures = std::string(PXE_SOURCE_DIR) + "/tests/tftp/captures/";
    TPeer p, d;
    EXPECT_EQ(p.Get(ReadFile(strCaptures + "edk2-uefi-tftp-rrq.bin")),
              Request({"tsize", "3145805", "blksize", "1468", "windowsize", "4"}, TftpOack));
    p.Send(ErrorPacket(8, "probe done"));
    EXPECT_EQ(d.Get(ReadFile(strCaptures + "edk2-uefi-tftp-rrq-2.bin")),
              Request({"blksize", "1468", "windowsize", "4"}, TftpOack));
    EXPECT_EQ(d.Get(Ack(0)), Data(s, 1, 1468));  // the windows themselves: the engine's test
    d.Send(ErrorPacket(0, "enough"));
}
}  // namespace
