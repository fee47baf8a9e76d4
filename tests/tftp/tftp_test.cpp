// The TFTP service on port 69, run on a thread in the server namespace of a
// lab, against real clients and scripted ones in the client namespace.
#include "common/testutil.h"
#include "config/settings.h"
#include "service/logfile.h"
#include "service/stopevent.h"
#include "tftp/tftpd.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace
{
std::string Request(int iOpcode, const std::vector<std::string>& vStrings)
{
    std::string str{0, char(iOpcode)};
    for (const auto& s : vStrings)
        str += s + '\0';
    return str;
}
std::string Ack(int iBlock) { return {0, TftpAck, char(iBlock >> 8), char(iBlock)}; }
std::string ErrorPacket(int iCode, const std::string& strText) { return std::string{0, 5, 0, char(iCode)} + strText + '\0'; }
// DATA of block iBlock of strContent.
std::string Data(const std::string& strContent, int iBlock)
{
    size_t nAt = std::min(strContent.size(), size_t(iBlock - 1) * 512);
    return std::string{0, TftpData, char(iBlock >> 8), char(iBlock)} + strContent.substr(nAt, 512);
}
// Content that differs from block to block.
std::string Pattern(size_t nSize, unsigned iSeed)
{
    std::string str(nSize, '\0');
    for (unsigned x = iSeed * 2654435761u + 1; nSize-- > 0;)
        str[nSize] = char((x = x * 1103515245u + 12345u) >> 16);
    return str;
}

// A scripted client: talks to port 69, then to the port of the first reply.
struct TPeer
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    TPeer()
    {
        server.sin_family = AF_INET;
        server.sin_port = htons(kTftpPort);
        inet_pton(AF_INET, TNetLab::kServerIp, &server.sin_addr);
    }
    ~TPeer() { close(fd); }
    void Send(const std::string& str)
    {
        sendto(fd, str.data(), str.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    }
    // The next datagram within iTimeoutMs ("" on time-out); its sender becomes the server.
    std::string Reply(int iTimeoutMs = 4000)
    {
        pollfd pfd = {fd, POLLIN, 0};
        char buffer[2048];
        socklen_t n = sizeof server;
        ssize_t nReceived = poll(&pfd, 1, iTimeoutMs) <= 0 ? 0 : recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&server), &n);
        return std::string(buffer, size_t(std::max<ssize_t>(nReceived, 0)));
    }
    std::string Get(const std::string& str, int iTimeoutMs = 4000)
    {
        Send(str);
        return Reply(iTimeoutMs);
    }
    // Receives the file in lock-step from the DATA of block 1 in strPacket.
    std::string Fetch(std::string strPacket)
    {
        std::string strContent;
        for (int iBlock = 1; strPacket.substr(0, 4) == Data("", iBlock); ++iBlock)
        {
            strContent += strPacket.substr(4);
            Send(Ack(iBlock));
            if (strPacket.size() < size_t(kTftpPacketSize))
                return strContent;
            strPacket = Reply();
        }
        ADD_FAILURE() << "unexpected packet of " << strPacket.size() << " bytes after " << strContent.size();
        return strContent;
    }
};

// Every test runs the service on a thread in the lab's server namespace,
// serving a folder of its own with a one-second wait, and talks to it from
// the client namespace, which the test's thread enters for the test.
class TftpServer : public ::testing::Test
{
protected:
    TTempDir dir, root;
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
        evStop.reset();
        server = std::thread([this] {
            ACE_Log_Msg::instance()->msg_ostream(&log);
            if (TNetLab::Enter(lab.ServerNs()))
                tftpservice_proc(nullptr);
            bServerEnded = true;
        });
        ASSERT_TRUE(WaitUntil([&] { return CountInLog("Start TFTP service at") == 1 || bServerEnded; }, 10000));
        ASSERT_FALSE(bServerEnded);
    }
    void TearDown() override
    {
        if (server.joinable())
            RequestStop();
        EXPECT_TRUE(JoinServer(20000));
        setns(fdHomeNs, CLONE_NEWNET);
        close(fdHomeNs);
    }
    // Signals the stop and wakes the service's wait on port 69.
    void RequestStop()
    {
        evStop.signal();
        TPeer().Send("");
    }
    // True when the service thread ended within iTimeoutMs (and was joined).
    bool JoinServer(int iTimeoutMs)
    {
        bool bEnded = !server.joinable() || WaitUntil([&] { return bServerEnded.load(); }, iTimeoutMs);
        if (bEnded && server.joinable())
            server.join();
        return bEnded;
    }
    size_t LogSize() const { return ReadFile(log.FileName()).size(); }
    int CountInLog(const std::string& strLine, size_t nFrom = 0) const
    {
        std::string strText = ReadFile(log.FileName());
        int n = 0;
        for (size_t nPos = strText.find(strLine, nFrom); nPos != std::string::npos; nPos = strText.find(strLine, nPos + 1))
            ++n;
        return n;
    }
    std::string Root(const std::string& strName) const { return root / strName; }
    std::string Serve(const std::string& strName, const std::string& strContent) const
    {
        WriteFile(Root(strName), strContent);
        return strContent;
    }
};

TEST_F(TftpServer, RealClientsFetchFilesIntact)
{
    const size_t sizes[] = {0, 511, 512, 513, 1000, 3 * 1024 * 1024 + 77};
    for (size_t nSize : sizes)
        Serve("f" + std::to_string(nSize), Pattern(nSize, unsigned(nSize) + 1));
    TTempDir out;
    const std::string strIp = TNetLab::kServerIp;
    const std::string clients[] = {  // %N the remote name, %O the local file
        "tftp -m binary " + strIp + " -c get %N %O", "curl -sS --max-time 60 -o %O tftp://" + strIp + "/%N",
        "busybox tftp -g -r %N -l %O " + strIp,
        // Two transfers at once, from two ports of the server.
        "tftp -m binary " + strIp + " -c get %N %O.2 & busybox tftp -g -r %N -l %O " + strIp + " && wait $! && cmp %O %O.2"};
    for (size_t i = 0; i < sizeof clients / sizeof clients[0]; ++i)
        for (size_t nSize : sizes)
        {
            // curl 7.88 fails on any empty TFTP file ("getpeername() failed"), whatever the server.
            if (nSize == 0 && i == 1)
                continue;
            std::string strName = "f" + std::to_string(nSize), strOut = out / (std::to_string(i) + strName);
            std::string strCommand = clients[i], strOutput;
            for (size_t nAt; (nAt = strCommand.find('%')) != std::string::npos;)
                strCommand.replace(nAt, 2, strCommand[nAt + 1] == 'N' ? strName : strOut);
            SCOPED_TRACE(strCommand);
            EXPECT_EQ(lab.Run(lab.ClientNs(), strCommand, &strOutput, 90), 0) << strOutput;
            EXPECT_TRUE(access(strOut.c_str(), F_OK) == 0 && ReadFile(strOut) == ReadFile(Root(strName)));
        }
    EXPECT_GE(CountInLog("User request get file=" + Root("f513") + "\n"), 3);
    EXPECT_EQ(CountInLog("abort send file"), 0);
}

TEST_F(TftpServer, TsizeFirstGetsAnOackOtherOptionsAreIgnored)
{
    const std::string s = Serve("boot.0", Pattern(1500, 5));
    for (const char* szName : {"tsize", "TSIZE"})
    {
        TPeer c;
        EXPECT_EQ(c.Get(Request(TftpRrq, {"boot.0", "octet", szName, "0", "blksize", "1468"})),
                  std::string("\0\6tsize\0" "1500\0", 13));
        EXPECT_NE(ntohs(c.server.sin_port), kTftpPort);
        EXPECT_EQ(c.Fetch(c.Get(Ack(9))), s);  // any block number will do
    }
    TPeer b, n, o;  // block size first: no OACK, 512-byte blocks at once
    EXPECT_EQ(b.Fetch(b.Get(Request(TftpRrq, {"boot.0", "octet", "blksize", "1468", "tsize", "0"}))), s);
    // A "tsize" other than "0" gets no answer at all.
    EXPECT_EQ(n.Get(Request(TftpRrq, {"boot.0", "octet", "tsize", "1234"}), 1500), "");
    // The OACK is sent once; without an ACK the worker gives up silently.
    EXPECT_EQ(o.Get(Request(TftpRrq, {"boot.0", "octet", "tsize", "0"})).substr(0, 2), std::string("\0\6", 2));
    EXPECT_EQ(o.Reply(2500), "");
    EXPECT_EQ(CountInLog("User request get file=" + Root("boot.0") + ", but tsize isn't zero.\n"), 1);
    EXPECT_EQ(CountInLog("User request get file=" + Root("boot.0") + "\n"), 3);
    EXPECT_EQ(CountInLog("tftp: "), 0);
}

TEST_F(TftpServer, EveryRequestGetsItsAnswer)
{
    Serve("ok", "fine");
    ASSERT_EQ(mkdir(Root("folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(Root("pipe").c_str(), 0644), 0);
    const std::string strIllegal = ErrorPacket(4, "illegal TFTP operatio"), strNotFound = ErrorPacket(1, "file not found");
    const std::string strFine = Data("fine", 1);
    const size_t nName = 511 - gSettings.strTftpRoot.size();  // root and name fill the path field
    const std::pair<std::string, std::string> cases[] = {
        {Request(TftpWrq, {"ok", "octet"}), strIllegal},
        {Request(9, {"ok", "octet"}), strIllegal},
        {Request(TftpRrq, {}), strIllegal},
        {Request(TftpRrq, {"ok", "octet"}).substr(0, 10), strIllegal},  // the last zero byte missing
        {Request(TftpRrq, {"ok", "octet", "tsize", "0"}).substr(0, 18), strIllegal},
        {Request(TftpRrq, {"../etc/passwd", "octet"}), strIllegal},
        {Request(TftpRrq, {"a/..\\ok", "octet"}), strIllegal},
        {Request(TftpRrq, {"...", "octet"}), strNotFound},  // no parent reference
        {Request(TftpRrq, {std::string(600, 'n'), "octet"}), ""},  // too long to be received
        {Request(TftpRrq, {std::string(nName, 'n'), "octet"}), strNotFound},
        {Request(TftpRrq, {std::string(nName + 1, 'n'), "octet"}), strIllegal},
        {Request(TftpRrq, {"ok", std::string(63, 'm')}), strFine},
        {Request(TftpRrq, {"ok", std::string(64, 'm')}), strIllegal},
        {Request(TftpRrq, {"ok", "octet", std::string(63, 'o'), "1"}), strFine},
        {Request(TftpRrq, {"ok", "octet", std::string(64, 'o'), "1"}), strIllegal},
        {Request(TftpRrq, {"ok", "octet", "tsize", std::string(63, '0')}), ""},  // not "0"
        {Request(TftpRrq, {"ok", "octet", "tsize", std::string(64, '0')}), strIllegal},
        {Request(TftpRrq, {"ok", "octet", "x", std::string(200, 'v')}), strFine},  // not read
        {Request(TftpRrq, {"missing", "octet"}), strNotFound},
        {Request(TftpRrq, {"missing", "octet", "tsize", "0"}), strNotFound},
        {Request(TftpRrq, {"folder", "octet"}), strNotFound},
        {Request(TftpRrq, {"pipe", "octet"}), strNotFound},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    {
        SCOPED_TRACE("case " + std::to_string(i));
        TPeer c;
        EXPECT_EQ(c.Get(cases[i].first, cases[i].second.empty() ? 1500 : 4000), cases[i].second);
        EXPECT_EQ(ntohs(c.server.sin_port) == kTftpPort, cases[i].second.empty());
        if (cases[i].second == strFine)
            c.Send(Ack(1));
        EXPECT_EQ(c.Reply(100), "");
    }
    EXPECT_EQ(CountInLog("tftp: donot support this path " + Root("../etc/passwd") + ".\n"), 1);
    EXPECT_EQ(CountInLog("tftp: can't open " + Root("pipe") + " for reading at"), 1);
    EXPECT_EQ(CountInLog("User request invalid\n"), 10);
}

// The ACK number is taken as given and other datagrams from the client are
// ignored; three lost replies (the last block's too) are survived, a fourth
// ends the transfer without a word, and so does an ERROR from the client.
TEST_F(TftpServer, OldAcksLostRepliesAndErrors)
{
    const std::string s = Serve("f", Pattern(5 * 512 + 100, 7));
    const std::string kTimeout = "tftp: timeout retrying...at", kAbort = "tftp: abort send file at";
    const std::pair<std::string, int> steps[] = {
        {Ack(1), 2}, {Ack(2), 3},
        {Ack(1), 2},                                      // old: block 2 again, read again from the file
        {std::string("\0\6tsize\0" "1\0", 10), 2},        // an OACK: the same block again
        {Ack(4), 5},                                      // ahead: on from the acknowledged number
        {Request(TftpRrq, {"x", "octet"}), 0}, {Request(TftpWrq, {"x", "octet"}), 0},
        {std::string("\0\3\0\1abc", 7), 0}, {Ack(5), 6}};
    TPeer c;
    EXPECT_EQ(c.Get(Request(TftpRrq, {"f", "octet"})), Data(s, 1));
    for (const auto& step : steps)
        EXPECT_EQ(c.Get(step.first, step.second ? 4000 : 300), step.second ? Data(s, step.second) : "");
    c.Send(Ack(6));
    EXPECT_EQ(CountInLog("tftp: abnormal return value"), 3);
    EXPECT_EQ(CountInLog(kTimeout), 0);
    const std::vector<int> losses[] = {{1, 3, 6}, {1, 2, 3, 4}, {}};  // lost blocks; {}: an ERROR after block 2
    for (const auto& vLost : losses)
    {
        SCOPED_TRACE(std::to_string(vLost.size()) + " losses");
        size_t nFrom = LogSize();
        TPeer c;
        c.Send(Request(TftpRrq, {"f", "octet"}));
        for (int iBlock = 1, nLost = 0; iBlock <= 6; ++iBlock)
        {
            std::string strPacket = c.Reply(2500);
            EXPECT_EQ(strPacket, Data(s, iBlock));
            bool bLost = std::count(vLost.begin(), vLost.end(), iBlock) > 0, bError = vLost.empty() && iBlock == 2;
            if (bError)
                c.Send(ErrorPacket(0, "cancelled"));
            if (bError || (bLost && ++nLost > kTftpMaxTimeouts))
            {
                EXPECT_EQ(c.Reply(2500), "");  // nothing more: the transfer has ended
                break;
            }
            EXPECT_EQ(bLost ? c.Reply(2500) : strPacket, strPacket);  // a lost one is sent again after the wait
            c.Send(Ack(iBlock));
        }
        EXPECT_TRUE(WaitUntil([&] { return CountInLog(kAbort, nFrom) == (vLost.size() == 3 ? 0 : 1); }, 3000));
        EXPECT_EQ(CountInLog(kTimeout, nFrom), int(vLost.size()));
    }
}

TEST_F(TftpServer, FilesUpTo65535BlocksAreServedLargerOnesRefused)
{
    // The largest file that fits, sparse, with marks in its last two blocks.
    int fd = open(Root("big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, kTftpMaxFileSize), 0);
    ASSERT_EQ(pwrite(fd, "second-last", 11, int64_t(65533) * 512), 11);
    ASSERT_EQ(pwrite(fd, "last", 4, int64_t(65534) * 512), 4);
    TPeer c, d;
    EXPECT_EQ(c.Get(Request(TftpRrq, {"big", "octet"})).substr(0, 4), Data("", 1));
    EXPECT_EQ(c.Get(Ack(65533)), std::string("\0\3\xff\xfe" "second-last", 15) + std::string(501, '\0'));
    EXPECT_EQ(c.Get(Ack(65534)), std::string("\0\3\xff\xff" "last", 8) + std::string(507, '\0'));
    c.Send(Ack(65535));
    // One byte more needs a 65536th block: refused before any data.
    ASSERT_EQ(ftruncate(fd, kTftpMaxFileSize + 1), 0);
    EXPECT_EQ(d.Get(Request(TftpRrq, {"big", "octet"})), ErrorPacket(3, "disk full or allocation exceeded"));
    close(fd);
    EXPECT_EQ(CountInLog("tftp: file " + Root("big") + " has 33553920 bytes, more than 65535 blocks at"), 1);
}

// A worker that cannot have a socket of its own takes its request off port 69
// and drops it: the service thread must not see the same request again.
TEST_F(TftpServer, ARequestWithoutASocketIsDroppedOnce)
{
    TPeer c;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int fdFree = fcntl(c.fd, F_DUPFD, 0);  // the lowest free descriptor number
    ASSERT_GE(fdFree, 0);
    close(fdFree);
    rlimit low = old;
    low.rlim_cur = rlim_t(fdFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    c.Send(Request(TftpRrq, {"x", "octet"}));
    std::string strReply = c.Reply(500);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(strReply, "");
    EXPECT_EQ(c.Reply(500), "");
    EXPECT_EQ(CountInLog("return: create udp socket error at"), 1);
    EXPECT_EQ(CountInLog(std::string("tftp: request from ") + TNetLab::kClientIp + ":"), 1);
    EXPECT_EQ(CountInLog(" dropped, no socket at"), 1);
}

TEST_F(TftpServer, StopWaitsForTheRunningTransfer)
{
    const std::string s = Serve("slow", Pattern(3 * 512 + 1, 4));
    TPeer c;
    std::string strFirst = c.Get(Request(TftpRrq, {"slow", "octet"}));
    RequestStop();
    EXPECT_FALSE(JoinServer(300));  // well within the transfer's wait
    EXPECT_EQ(c.Fetch(strFirst), s);
    EXPECT_TRUE(JoinServer(10000));
}

}  // namespace
