// The packet layer and the transfer of one file, against a scripted client
// on the loopback of the lab's server namespace.
#include "tftptest.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace
{
const std::string kAbort = "tftp: abort send file at";
const std::string kTimeout = "tftp: timeout retrying...at";

// SendFile on a thread of its own, from a socket connected to a scripted client.
class TTransferRig
{
public:
    TUdpPeer server, client;
    TftpTransfer t;

    TTransferRig(const std::string& strPath, int iWaitSeconds = 1, bool bConnect = true)
    {
        memset(&t, 0, sizeof t);
        t.sock = server.Fd();
        t.packetSize = kTftpPacketSize;
        t.waitSeconds = iWaitSeconds;
        snprintf(t.path, sizeof t.path, "%s", strPath.c_str());
        t.client = client.Address();
        if (bConnect)
            connect(server.Fd(), reinterpret_cast<const sockaddr*>(&t.client), sizeof t.client);
        thread = std::thread([this] {
            AttachLog();
            iResult = SendFile(&t);
            bDone = true;
        });
    }
    ~TTransferRig() { Finish(20000); }

    // Waits up to iTimeoutMs for SendFile to return; its result, or -2 when it has not.
    int Finish(int iTimeoutMs)
    {
        if (!WaitUntil([this] { return bDone.load(); }, iTimeoutMs))
            return -2;
        if (thread.joinable())
            thread.join();
        return iResult;
    }

    // Next datagram from the server; checks that it is DATA of iBlock.
    std::string ExpectData(int iBlock, int iTimeoutMs = 3000)
    {
        std::string strPacket;
        sockaddr_in from;
        if (!client.Recv(&strPacket, &from, iTimeoutMs))
        {
            ADD_FAILURE() << "no DATA " << iBlock;
            return std::string();
        }
        EXPECT_EQ(from.sin_port, server.Address().sin_port);
        EXPECT_EQ(OpcodeOf(strPacket), TftpData);
        EXPECT_EQ(BlockOf(strPacket), iBlock);
        return strPacket.size() >= 4 ? strPacket.substr(4) : std::string();
    }
    void Ack(int iBlock) { client.SendTo(server.Address(), MakeAck(iBlock)); }
    bool Silent(int iMs) { return !client.Recv(nullptr, nullptr, iMs); }

private:
    std::thread thread;
    std::atomic<int> iResult{-2};
    std::atomic<bool> bDone{false};
};

// Receives the whole file in lock-step; the count of blocks in *pnBlocks.
std::string Download(TTransferRig& rig, int* pnBlocks)
{
    std::string strContent;
    for (int iBlock = 1; iBlock < 200000; ++iBlock)
    {
        std::string strData = rig.ExpectData(iBlock);
        strContent += strData;
        rig.Ack(iBlock);
        *pnBlocks = iBlock;
        if (strData.size() < kTftpBlockSize || ::testing::Test::HasFailure())
            break;
    }
    return strContent;
}

TEST(TftpPackets, ErrorPacketsAndDataHeader)
{
    RunInNs(Lab().ServerNs(), [] {
        TUdpPeer a, b;
        sockaddr_in to = b.Address();
        std::string strPacket;
        ASSERT_EQ(SendError(a.Fd(), &to, 4), 0);
        ASSERT_TRUE(b.Recv(&strPacket, nullptr, 2000));
        EXPECT_EQ(strPacket.size(), 26u);
        EXPECT_EQ(strPacket, MakeErrorPacket(4, "illegal TFTP operatio"));
        ASSERT_EQ(SendError(a.Fd(), &to, 1), 0);
        ASSERT_TRUE(b.Recv(&strPacket, nullptr, 2000));
        EXPECT_EQ(strPacket, MakeErrorPacket(1, "file not found"));
        EXPECT_EQ(SendError(a.Fd(), &to, 8), -1);
        EXPECT_FALSE(b.Recv(nullptr, nullptr, 200));

        char packet[kTftpPacketSize];
        memset(packet, 'd', sizeof packet);
        // Only the low 16 bits of the block number are sent.
        ASSERT_EQ(SendData(a.Fd(), &to, 0x10203, 10, packet), 0);
        ASSERT_TRUE(b.Recv(&strPacket, nullptr, 2000));
        EXPECT_EQ(strPacket, std::string("\0\3\2\3dddddd", 10));
    });
}

TEST(TftpPackets, ReceiveResults)
{
    RunInNs(Lab().ServerNs(), [] {
        TUdpPeer server, client, other;
        char buffer[kTftpPacketSize];
        auto Receive = [&](sockaddr_in* pPeer, int* pLength) {
            *pLength = kTftpPacketSize;
            return RecvPacket(server.Fd(), pPeer, buffer, pLength, 1);
        };
        sockaddr_in peer;
        memset(&peer, 0, sizeof peer);
        int nLength = 0;

        const std::pair<int, int> opcodes[] = {{1, RecvRrq}, {2, RecvWrq}, {3, RecvData}, {4, RecvAck},
                                               {5, RecvErrorPacket}, {6, RecvOack}, {0, RecvError}, {7, RecvError},
                                               {0x0104, RecvError}};
        for (const auto& op : opcodes)
        {
            client.SendTo(server.Address(), std::string{char(op.first >> 8), char(op.first & 0xff), 0, 1});
            EXPECT_EQ(Receive(&peer, &nLength), op.second) << "opcode " << op.first;
            EXPECT_EQ(nLength, 4);
        }
        // The first datagram set the peer: the client's address and port.
        EXPECT_EQ(peer.sin_port, client.Address().sin_port);
        EXPECT_EQ(peer.sin_addr.s_addr, client.Address().sin_addr.s_addr);

        // Another port: dropped, the peer unchanged.
        other.SendTo(server.Address(), MakeAck(1));
        EXPECT_EQ(Receive(&peer, &nLength), RecvDiscard);
        EXPECT_EQ(peer.sin_port, client.Address().sin_port);

        // Too long for the buffer (not taken in part), empty, one byte: failures;
        // a failed receive leaves a fresh peer untouched.
        sockaddr_in fresh;
        memset(&fresh, 0, sizeof fresh);
        client.SendTo(server.Address(), std::string(kTftpPacketSize + 1, '\4'));
        EXPECT_EQ(Receive(&fresh, &nLength), RecvError);
        EXPECT_EQ(fresh.sin_port, 0);
        client.SendTo(server.Address(), std::string());
        EXPECT_EQ(Receive(&fresh, &nLength), RecvError);
        EXPECT_EQ(fresh.sin_port, 0);
        client.SendTo(server.Address(), std::string(1, '\0'));
        EXPECT_EQ(Receive(&peer, &nLength), RecvError);
        // A datagram exactly as long as the buffer is fine.
        client.SendTo(server.Address(), std::string{0, 3} + std::string(kTftpPacketSize - 2, 'x'));
        EXPECT_EQ(Receive(&peer, &nLength), RecvData);
        EXPECT_EQ(nLength, kTftpPacketSize);
        // Nothing within the wait.
        EXPECT_EQ(Receive(&peer, &nLength), RecvTimeout);
    });
}

class TftpTransferTest : public ::testing::Test
{
protected:
    TTempDir dir;
    std::string Make(const std::string& strName, const std::string& strContent)
    {
        WriteFile(dir / strName, strContent);
        return dir / strName;
    }
};

TEST_F(TftpTransferTest, FilesOfEdgeSizesArriveWholeInLockStep)
{
    const struct
    {
        size_t nSize;
        int nBlocks;
    } cases[] = {{0, 1}, {511, 1}, {512, 2}, {513, 2}, {1000, 2}, {300000, 586}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE("size " + std::to_string(c.nSize));
        std::string strContent = Pattern(c.nSize, static_cast<unsigned>(c.nSize));
        std::string strPath = Make("f" + std::to_string(c.nSize), strContent);
        RunInNs(Lab().ServerNs(), [&] {
            TTransferRig rig(strPath);
            int nBlocks = 0;
            EXPECT_EQ(Download(rig, &nBlocks), strContent);
            EXPECT_EQ(nBlocks, c.nBlocks);
            EXPECT_EQ(rig.Finish(3000), 0);
            EXPECT_TRUE(rig.Silent(100));  // nothing after the last ACK
        });
    }
}

TEST_F(TftpTransferTest, AckNumberIsTakenAsGivenOldAckResendsAndOackRepeats)
{
    std::string strContent = Pattern(5 * 512 + 100, 7);
    std::string strPath = Make("f", strContent);
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strPath);
        rig.ExpectData(1);
        rig.Ack(1);
        rig.ExpectData(2);
        rig.Ack(2);
        rig.ExpectData(3);
        rig.Ack(1);  // an old ACK: block 2 again, read again from the file
        EXPECT_EQ(rig.ExpectData(2), strContent.substr(512, 512));
        rig.client.SendTo(rig.server.Address(), std::string("\0\6tsize\0" "1\0", 10));  // OACK: same block again
        EXPECT_EQ(rig.ExpectData(2), strContent.substr(512, 512));
        rig.Ack(4);  // ahead: continues after the acknowledged number
        EXPECT_EQ(rig.ExpectData(5), strContent.substr(4 * 512, 512));
        // RRQ, WRQ and DATA from the client are ignored; the wait goes on.
        rig.client.SendTo(rig.server.Address(), MakeRequest(TftpRrq, {"x", "octet"}));
        rig.client.SendTo(rig.server.Address(), MakeRequest(TftpWrq, {"x", "octet"}));
        rig.client.SendTo(rig.server.Address(), std::string("\0\3\0\1abc", 7));
        EXPECT_TRUE(rig.Silent(300));
        rig.Ack(5);
        EXPECT_EQ(rig.ExpectData(6), strContent.substr(5 * 512));
        rig.Ack(6);
        EXPECT_EQ(rig.Finish(3000), 0);
    });
}

TEST_F(TftpTransferTest, ThreeLostRepliesAreSurvivedTheFourthAborts)
{
    std::string strContent = Pattern(4 * 512 + 10, 3);
    std::string strPath = Make("f", strContent);
    size_t nMark = LogText().size();
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strPath);
        // Losses on blocks 1, 3 and the final block 5, good ACKs between them.
        int nBlocks = 0;
        std::string strGot;
        for (int iBlock = 1; iBlock <= 5; ++iBlock)
        {
            std::string strData = rig.ExpectData(iBlock);
            if (iBlock % 2 == 1)
            {
                EXPECT_EQ(rig.ExpectData(iBlock, 2500), strData);  // sent again, identical, after the wait
            }
            strGot += strData;
            rig.Ack(iBlock);
            nBlocks = iBlock;
        }
        EXPECT_EQ(strGot, strContent);
        EXPECT_EQ(nBlocks, 5);
        EXPECT_EQ(rig.Finish(3000), 0);
    });
    EXPECT_EQ(CountInLog(kTimeout, nMark), 3);
    EXPECT_EQ(CountInLog(kAbort, nMark), 0);

    nMark = LogText().size();
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strPath);
        // Four losses, each followed by a good ACK: the time-outs are never forgiven.
        for (int iBlock = 1; iBlock <= 3; ++iBlock)
        {
            rig.ExpectData(iBlock);
            rig.ExpectData(iBlock, 2500);
            rig.Ack(iBlock);
        }
        rig.ExpectData(4);
        // Its loss is the fourth of the transfer: no resend, no ERROR, the transfer ends.
        EXPECT_TRUE(rig.Silent(2500));
        EXPECT_EQ(rig.Finish(3000), 0);
    });
    EXPECT_EQ(CountInLog(kTimeout, nMark), 4);
    EXPECT_EQ(CountInLog(kAbort, nMark), 1);
}

TEST_F(TftpTransferTest, ErrorFromClientEndsAtOnceAndStrangersAreIgnored)
{
    std::string strContent = Pattern(3 * 512, 9);
    std::string strPath = Make("f", strContent);
    size_t nMark = LogText().size();
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strPath, 10);
        rig.ExpectData(1);
        rig.client.SendTo(rig.server.Address(), MakeErrorPacket(0, "cancelled"));
        EXPECT_EQ(rig.Finish(2000), 0);  // well before the 10-second wait
        EXPECT_TRUE(rig.Silent(200));
    });
    EXPECT_EQ(CountInLog(kAbort, nMark), 1);

    // A socket that is not connected sees a datagram from another port and drops it.
    nMark = LogText().size();
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strPath, 10, false);
        TUdpPeer stranger;
        rig.ExpectData(1);
        stranger.SendTo(rig.server.Address(), MakeAck(3));
        EXPECT_FALSE(stranger.Recv(nullptr, nullptr, 300));
        EXPECT_TRUE(rig.Silent(10));
        rig.Ack(1);
        int nBlocks = 1;
        std::string strRest;
        for (int iBlock = 2; iBlock <= 4; ++iBlock)
        {
            strRest += rig.ExpectData(iBlock);
            rig.Ack(iBlock);
            nBlocks = iBlock;
        }
        EXPECT_EQ(strRest, strContent.substr(512));
        EXPECT_EQ(nBlocks, 4);
        EXPECT_EQ(rig.Finish(3000), 0);
    });
    EXPECT_EQ(CountInLog("tftp: packet discard at", nMark), 1);
    EXPECT_EQ(CountInLog(kAbort, nMark), 0);
}

TEST_F(TftpTransferTest, FilesUpTo65535BlocksAreServedLargerOnesRefused)
{
    // The largest file that fits in 65535 blocks (sparse, with marks in its
    // last two blocks): the block numbers run to the top of the 16-bit range.
    std::string strBig = dir / "big";
    {
        int fd = open(strBig.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kTftpMaxFileSize), 0);
        ASSERT_EQ(pwrite(fd, "second-last", 11, int64_t(65533) * 512), 11);
        ASSERT_EQ(pwrite(fd, "last", 4, int64_t(65534) * 512), 4);
        close(fd);
    }
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strBig);
        rig.ExpectData(1);
        rig.Ack(65533);
        std::string strData = rig.ExpectData(65534);
        EXPECT_EQ(strData.size(), 512u);
        EXPECT_EQ(strData.substr(0, 11), "second-last");
        rig.Ack(65534);
        strData = rig.ExpectData(65535);
        EXPECT_EQ(strData.size(), 511u);
        EXPECT_EQ(strData.substr(0, 4), "last");
        rig.Ack(65535);
        EXPECT_EQ(rig.Finish(3000), 0);
    });

    // One byte more needs a 65536th block: refused before any data.
    ASSERT_EQ(truncate(strBig.c_str(), kTftpMaxFileSize + 1), 0);
    size_t nMark = LogText().size();
    RunInNs(Lab().ServerNs(), [&] {
        TTransferRig rig(strBig);
        std::string strPacket;
        EXPECT_TRUE(rig.client.Recv(&strPacket, nullptr, 3000));
        EXPECT_EQ(strPacket, MakeErrorPacket(3, "disk full or allocation exceeded"));
        EXPECT_EQ(rig.Finish(3000), -1);
    });
    EXPECT_EQ(CountInLog("tftp: file " + strBig + " has 33553920 bytes, more than 65535 blocks at", nMark), 1);
}
}  // namespace
