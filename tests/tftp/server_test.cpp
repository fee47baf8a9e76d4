// The TFTP service on port 69, in the lab's server namespace, against real
// clients and a scripted one in the client namespace.
#include "tftptest.h"

#include "config/settings.h"
#include "service/stopevent.h"

#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace
{
std::unique_ptr<TTempDir> gpRoot;
ACE_hthread_t ghServer = 0;
std::atomic<bool> gbServerEnded{false};

ACE_THR_FUNC_RETURN ServerThread(void*)
{
    if (TNetLab::Enter(Lab().ServerNs()))
        tftpservice_proc(nullptr);
    gbServerEnded = true;
    return 0;
}

// Starts the service on a thread in the server namespace, serving gpRoot.
bool StartServer()
{
    if (!Lab().Ok())
        return false;
    gpRoot.reset(new TTempDir);
    gSettings.strTftpRoot = gpRoot->Path() + "/";
    giTftpWaitSeconds = 2;
    evStop.reset();
    gbServerEnded = false;
    size_t nMark = LogText().size();
    if (ACE_OS::thr_create(ServerThread, nullptr, 0, nullptr, &ghServer, 0, nullptr, 0, nullptr) != 0)
        return false;
    return WaitUntil([&] { return CountInLog("Start TFTP service at", nMark) == 1 || gbServerEnded; }, 10000) &&
           !gbServerEnded;
}

// Signals the stop and wakes the service's wait with an empty datagram.
void RequestStop()
{
    evStop.signal();
    RunInNs(Lab().ClientNs(), [] {
        TUdpPeer poke(TNetLab::kClientIp);
        poke.SendTo(MakeAddress(TNetLab::kServerIp, kTftpPort), std::string());
    });
}

// True when the service thread ended within iTimeoutMs (and was joined).
bool JoinServer(int iTimeoutMs)
{
    if (ghServer == 0)
        return true;
    if (!WaitUntil([] { return gbServerEnded.load(); }, iTimeoutMs))
        return false;
    ACE_Thread::join(ghServer);
    ghServer = 0;
    return true;
}

sockaddr_in ServerPort69() { return MakeAddress(TNetLab::kServerIp, kTftpPort); }

std::string Serve(const std::string& strName, const std::string& strContent)
{
    WriteFile(*gpRoot / strName, strContent);
    return strContent;
}

// A scripted client in the client namespace.
struct TClient
{
    TUdpPeer peer{TNetLab::kClientIp};
    sockaddr_in server = ServerPort69();  // becomes the transfer's port with the first reply

    void Send(const std::string& strPacket) { peer.SendTo(server, strPacket); }
    // The next reply; an empty string on time-out. Takes the sender as the server.
    std::string Reply(int iTimeoutMs = 4000)
    {
        std::string strPacket;
        sockaddr_in from;
        if (!peer.Recv(&strPacket, &from, iTimeoutMs))
            return std::string();
        server = from;
        return strPacket;
    }
    // Receives the file in lock-step, the DATA of block 1 already in strFirst.
    std::string Fetch(std::string strFirst)
    {
        std::string strContent;
        std::string strPacket = strFirst;
        for (int iBlock = 1; iBlock < 70000; ++iBlock)
        {
            if (OpcodeOf(strPacket) != TftpData || BlockOf(strPacket) != iBlock)
            {
                ADD_FAILURE() << "expected DATA " << iBlock << ", opcode " << OpcodeOf(strPacket);
                break;
            }
            strContent += strPacket.substr(4);
            Send(MakeAck(iBlock));
            if (strPacket.size() < kTftpPacketSize)
                break;
            strPacket = Reply();
        }
        return strContent;
    }
};

class TftpServer : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(StartServer()); }
    static void TearDownTestSuite()
    {
        RequestStop();
        EXPECT_TRUE(JoinServer(20000));
        gpRoot.reset();
    }
    void SetUp() override
    {
        if (ghServer == 0 || gbServerEnded)
            FAIL() << "the service did not start";
    }
    size_t nMark = LogText().size();
};

TEST_F(TftpServer, RealClientsFetchFilesIntact)
{
    const size_t sizes[] = {0, 511, 512, 513, 1000, 3 * 1024 * 1024 + 77};
    for (size_t nSize : sizes)
        Serve("f" + std::to_string(nSize), Pattern(nSize, static_cast<unsigned>(nSize) + 1));
    TTempDir out;
    const std::string strServer = TNetLab::kServerIp;
    const struct
    {
        const char* szName;
        std::string strCommand;  // %N the remote name, %O the local file
    } clients[] = {
        {"tftp-hpa", "tftp -m binary " + strServer + " -c get %N %O"},
        {"curl", "curl -sS --max-time 60 -o %O tftp://" + strServer + "/%N"},
        {"busybox", "busybox tftp -g -r %N -l %O " + strServer},
    };
    for (const auto& client : clients)
        for (size_t nSize : sizes)
        {
            // curl 7.88 fails on any empty TFTP file ("getpeername() failed"), whatever the server.
            if (nSize == 0 && std::string(client.szName) == "curl")
                continue;
            std::string strName = "f" + std::to_string(nSize);
            std::string strOut = out / (std::string(client.szName) + "." + strName);
            std::string strCommand = client.strCommand;
            strCommand.replace(strCommand.find("%N"), 2, strName);
            strCommand.replace(strCommand.find("%O"), 2, strOut);
            std::string strOutput;
            EXPECT_EQ(Lab().Run(Lab().ClientNs(), strCommand, &strOutput, 90), 0)
                << client.szName << " " << strName << ": " << strOutput;
            struct stat st;
            EXPECT_EQ(stat(strOut.c_str(), &st), 0) << client.szName << " " << strName;
            EXPECT_TRUE(ReadFile(strOut) == ReadFile(*gpRoot / strName))
                << client.szName << " got " << strName << " altered";
        }
    EXPECT_GE(CountInLog("User request get file=" + gpRoot->Path() + "/f513\n", nMark), 3);
    EXPECT_EQ(CountInLog("abort send file", nMark), 0);
}

TEST_F(TftpServer, TsizeFirstIsAnsweredInAnyCaseOtherOptionsAreNot)
{
    std::string strContent = Serve("boot.0", Pattern(1500, 5));
    RunInNs(Lab().ClientNs(), [&] {
        for (const char* szName : {"tsize", "TSIZE"})
        {
            TClient c;
            c.Send(MakeRequest(TftpRrq, {"boot.0", "octet", szName, "0", "blksize", "1468"}));
            std::string strOack = c.Reply();
            EXPECT_EQ(strOack, std::string("\0\6tsize\0" "1500\0", 13));
            EXPECT_NE(ntohs(c.server.sin_port), kTftpPort);
            c.Send(MakeAck(9));  // any block number will do
            EXPECT_EQ(c.Fetch(c.Reply()), strContent);
        }
        {
            // Block size first: the file is sent at once in 512-byte blocks.
            TClient c;
            c.Send(MakeRequest(TftpRrq, {"boot.0", "octet", "blksize", "1468", "tsize", "0"}));
            std::string strFirst = c.Reply();
            EXPECT_EQ(strFirst.size(), kTftpPacketSize);
            EXPECT_EQ(c.Fetch(strFirst), strContent);
        }
        {
            TClient c;
            c.Send(MakeRequest(TftpRrq, {"boot.0", "netascii"}));
            EXPECT_EQ(c.Fetch(c.Reply()), strContent);
        }
        {
            // A "tsize" other than "0" gets no answer at all.
            TClient c;
            c.Send(MakeRequest(TftpRrq, {"boot.0", "octet", "tsize", "1234"}));
            EXPECT_EQ(c.Reply(1500), "");
        }
        {
            // The OACK is sent once; without an ACK the worker gives up silently.
            TClient c;
            c.Send(MakeRequest(TftpRrq, {"boot.0", "octet", "tsize", "0"}));
            EXPECT_EQ(OpcodeOf(c.Reply()), TftpOack);
            EXPECT_EQ(c.Reply(3500), "");
        }
    });
    EXPECT_EQ(CountInLog("User request get file=" + (*gpRoot / "boot.0") + ", but tsize isn't zero.\n", nMark), 1);
    EXPECT_EQ(CountInLog("User request get file=" + (*gpRoot / "boot.0") + "\n", nMark), 4);
}

TEST_F(TftpServer, RefusedRequestsGetTheirErrors)
{
    Serve("ok", "fine");
    ASSERT_EQ(mkdir((*gpRoot / "folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((*gpRoot / "pipe").c_str(), 0644), 0);
    const std::string strIllegal = MakeErrorPacket(4, "illegal TFTP operatio");
    const std::string strNotFound = MakeErrorPacket(1, "file not found");
    std::string strUnterminated = MakeRequest(TftpRrq, {"ok", "octet"});
    strUnterminated.pop_back();
    const struct
    {
        std::string strRequest, strReply;
    } cases[] = {
        {MakeRequest(TftpWrq, {"ok", "octet"}), strIllegal},
        {MakeAck(1), strIllegal},
        {std::string("\0\3\0\1data", 8), strIllegal},
        {std::string("\0\11x\0octet\0", 10), strIllegal},
        {MakeRequest(TftpRrq, {"../etc/passwd", "octet"}), strIllegal},
        {MakeRequest(TftpRrq, {"a/..\\ok", "octet"}), strIllegal},
        {strUnterminated, strIllegal},
        {MakeRequest(TftpRrq, {std::string(520 - gpRoot->Path().size(), 'n') + "", "octet"}).substr(0, 516),
         strIllegal},
        {MakeRequest(TftpRrq, {"missing", "octet"}), strNotFound},
        {MakeRequest(TftpRrq, {"missing", "octet", "tsize", "0"}), strNotFound},
        {MakeRequest(TftpRrq, {"folder", "octet"}), strNotFound},
        {MakeRequest(TftpRrq, {"pipe", "octet"}), strNotFound},
        {MakeRequest(TftpRrq, {"pipe", "octet", "tsize", "0"}), strNotFound},
    };
    RunInNs(Lab().ClientNs(), [&] {
        for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        {
            TClient c;
            c.Send(cases[i].strRequest);
            EXPECT_EQ(c.Reply(), cases[i].strReply) << "case " << i;
            EXPECT_NE(ntohs(c.server.sin_port), kTftpPort) << "case " << i;
            EXPECT_EQ(c.Reply(200), "") << "case " << i;
        }
        {
            // Too long to be received: no answer, and the service goes on.
            TClient c;
            c.Send(MakeRequest(TftpRrq, {std::string(600, 'n'), "octet"}));
            EXPECT_EQ(c.Reply(1000), "");
            c.Send(MakeRequest(TftpRrq, {"ok", "octet"}));
            EXPECT_EQ(c.Fetch(c.Reply()), "fine");
        }
    });
    EXPECT_EQ(CountInLog("tftp: donot support this path " + (*gpRoot / "../etc/passwd") + ".\n", nMark), 1);
    EXPECT_EQ(CountInLog("tftp: can't open " + (*gpRoot / "pipe") + " for reading at", nMark), 2);
    EXPECT_EQ(CountInLog("User request invalid\n", nMark), 7);
}

TEST_F(TftpServer, TwoTransfersAtOnceFromTwoServerPorts)
{
    std::string strA = Serve("a", Pattern(40 * 512 + 3, 11));
    std::string strB = Serve("b", Pattern(30 * 512, 12));
    RunInNs(Lab().ClientNs(), [&] {
        TClient a, b;
        a.Send(MakeRequest(TftpRrq, {"a", "octet"}));
        b.Send(MakeRequest(TftpRrq, {"b", "octet", "tsize", "0"}));
        std::string strFirstA = a.Reply();
        EXPECT_EQ(b.Reply(), std::string("\0\6tsize\0" "15360\0", 14));
        EXPECT_NE(a.server.sin_port, b.server.sin_port);
        EXPECT_NE(ntohs(a.server.sin_port), kTftpPort);
        EXPECT_NE(ntohs(b.server.sin_port), kTftpPort);
        b.Send(MakeAck(0));
        std::string strFirstB = b.Reply();
        // A stranger's ACK to a's transfer port is not taken for a's.
        b.peer.SendTo(a.server, MakeAck(30));
        // Interleave: one block of each in turn.
        std::string strGotA = strFirstA.substr(4), strGotB = strFirstB.substr(4);
        a.Send(MakeAck(1));
        b.Send(MakeAck(1));
        bool bDoneA = false, bDoneB = strFirstB.size() < kTftpPacketSize;
        for (int iBlock = 2; iBlock <= 60 && !(bDoneA && bDoneB); ++iBlock)
            for (TClient* p : {&a, &b})
            {
                bool& bDone = p == &a ? bDoneA : bDoneB;
                if (bDone)
                    continue;
                std::string strPacket = p->Reply();
                ASSERT_EQ(OpcodeOf(strPacket), TftpData);
                ASSERT_EQ(BlockOf(strPacket), iBlock);
                (p == &a ? strGotA : strGotB) += strPacket.substr(4);
                p->Send(MakeAck(iBlock));
                bDone = strPacket.size() < kTftpPacketSize;
            }
        EXPECT_EQ(strGotA, strA);
        EXPECT_EQ(strGotB, strB);
    });
}

// The stop waits for a running transfer, and the service thread then ends.
TEST(TftpService, StopWaitsForTheRunningTransfer)
{
    ASSERT_TRUE(StartServer());
    std::string strContent = Serve("slow", Pattern(3 * 512 + 1, 4));
    RunInNs(Lab().ClientNs(), [&] {
        TClient c;
        c.Send(MakeRequest(TftpRrq, {"slow", "octet"}));
        std::string strFirst = c.Reply();
        EXPECT_EQ(OpcodeOf(strFirst), TftpData);
        RequestStop();
        EXPECT_FALSE(JoinServer(1000));  // the transfer still runs
        EXPECT_EQ(c.Fetch(strFirst), strContent);
    });
    EXPECT_TRUE(JoinServer(10000));
    gpRoot.reset();
}
}  // namespace
