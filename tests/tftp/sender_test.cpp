// The transfer engine against a client that replies from a script, in-process: windows, losses,
// go-back-N, duplicate and old ACKs, rollover, and how a transfer ends; every block sent must
// carry the file's bytes at its place.
#include "tftp/sender.h"

#include "common/logcapture.h"
#include "tftpwire.h"

#include <gtest/gtest.h>

#include <deque>

namespace
{
using TBlocks = std::vector<int>;

// A file in memory and a client whose replies are qReplies in turn; "" or none
// left is a time-out.
struct TClient : TTftpPeer
{
    explicit TClient(size_t nFile, std::deque<std::string> qScript = {})
        : strFile(Pattern(nFile)), qReplies(std::move(qScript))
    {
    }
    // Every DATA must carry the file's bytes at its block's place: its number is read as the
    // one nearest the block sent before, across a rollover too.
    void Send(const TDatagram* p, int nCount) override
    {
        for (const TDatagram* d = p; d < p + nCount; ++d)
        {
            if (d->pHead[1] != TftpData)
            {
                vSent.push_back(-1);
                continue;
            }
            const int iBlock = uint8_t(d->pHead[2]) << 8 | uint8_t(d->pHead[3]);
            vSent.push_back(iBlock);
            iLast += int16_t(iBlock - iLast);
            const size_t nAt = std::min(size_t((iLast - 1) * nBlock), strFile.size());
            nWrongData += std::string(d->pBody, size_t(d->nBody)) != strFile.substr(nAt, nBlock);
        }
    }
    int Receive(char* buffer, int* pnLength, int iWaitMs) override
    {
        std::string s;
        if (!qReplies.empty())
            s = qReplies.front(), qReplies.pop_front();
        if (s.empty())
            return iNowMs += iWaitMs, RecvTimeout;
        iNowMs += 10;
        *pnLength = int(s.copy(buffer, size_t(*pnLength)));
        return ClassifyDatagram(s.data(), int(s.size()));
    }
    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        return long(
            strFile.copy(buffer, size_t(nLength), std::min(size_t(iOffset), strFile.size())));
    }
    int64_t NowMs() override { return iNowMs; }
    // The transfer, after the OACK strOack when given.
    int Run(int nBlockSize, int nWindow, bool bStrict, const std::string& strOack = "")
    {
        nBlock = size_t(nBlockSize);
        TTftpSender sender(*this, {nBlockSize, nWindow, 1, bStrict, int64_t(strFile.size())});
        int i = strOack.empty() ? TransferComplete
                                : sender.SendOack(strOack.data(), int(strOack.size()));
        i = i == TransferComplete ? sender.SendFile() : i;
        EXPECT_EQ(nWrongData, 0);
        return i;
    }

    std::string strFile;
    std::deque<std::string> qReplies;
    TBlocks vSent;  // block number of every datagram sent, -1 for others
    int64_t iNowMs = 0, iLast = 0;
    size_t nBlock = 0;
    int nWrongData = 0;
};

// ACKs of the blocks, -1 for a time-out.
std::deque<std::string> Acks(const TBlocks& vBlocks)
{
    std::deque<std::string> q;
    for (int i : vBlocks)
        q.push_back(i < 0 ? "" : Ack(i));
    return q;
}

// Which blocks go when. A client acknowledges the last block of each window,
// the final block, and, after a gap, the last block it has in order.
TEST(TftpSender, WindowsSurviveLossesDuplicateAndOldAcks)
{
    const size_t nFile = 10 * 100 + 30;  // blocks 1-10 full, 11 short
    const struct
    {
        TBlocks vAcks, vSent;
    } cases[] = {
        // Block 6 lost: the client acknowledges 5 on the gap, the server goes back to 6.
        {{4, 5, 9, 11}, {1, 2, 3, 4, 5, 6, 7, 8, 6, 7, 8, 9, 10, 11}},
        // The ACK of the second window is lost: a time-out, then the window again.
        {{4, -1, 8, 11}, {1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11}},
        // Before each of the client's ACKs: two duplicates of the last one and an old
        // one. The first duplicate sends the window once more (as after a loss of
        // its first block), the second and the old one are passed over.
        {{0, 0, 9, 4, 4, 4, 3, 4, 4, 4, 3, 8, 8, 8, 7, 8, 8, 8, 7, 11},
         {1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11, 9, 10, 11}},
    };
    for (const auto& c : cases)
    {
        TClient client(nFile, Acks(c.vAcks));
        EXPECT_EQ(client.Run(100, 4, true), TransferComplete);
        EXPECT_EQ(client.vSent, c.vSent);
    }
}

TEST(TftpSender, BlockNumbersRollOverAndTheFinalBlockEndsTheTransfer)
{
    // More than 65535 blocks of 8 bytes: numbers go 65535, 0, 1, ...
    TClient c(65540 * 8 + 3);
    for (int i = 16; i < 65541 + 16; i += 16)
        c.qReplies.push_back(Ack(std::min(i, 65541)));
    EXPECT_EQ(c.Run(8, 16, true), TransferComplete);
    ASSERT_EQ(c.vSent.size(), 65541u);
    EXPECT_EQ(TBlocks(c.vSent.begin() + 65533, c.vSent.end()),
              (TBlocks{65534, 65535, 0, 1, 2, 3, 4, 5}));
    // A file that fills its last block exactly ends with an empty block; one byte less does not.
    for (auto [nFile, vBlocks] :
         {std::pair(3 * 512, TBlocks{1, 2, 3, 4}), std::pair(3 * 512 - 1, TBlocks{1, 2, 3})})
    {
        TClient d(size_t(nFile), Acks({1, 2, 3, 4}));
        EXPECT_EQ(d.Run(512, 1, false), TransferComplete);
        EXPECT_EQ(d.vSent, vBlocks);
    }
}

TEST(TftpSender, OackAnsweredByErrorTimeoutsAndStaleAcks)
{
    TLogCapture log;
    const std::string strOack = Request({"tsize", "5"}, TftpOack);
    TClient probe(5, {ErrorPacket(8, "no")});  // a size probe ends with ERROR 8 after the OACK
    EXPECT_EQ(probe.Run(512, 1, true, strOack), TransferDeclined);
    EXPECT_EQ(probe.vSent, TBlocks{-1});
    EXPECT_EQ(log.Texts("tftp: ", " at "), "client ended the transfer after the OACK");

    TClient late(700, Acks({-1, 0, 1, 2}));  // the OACK's ACK lost once: the OACK again, the data
    EXPECT_EQ(late.Run(512, 1, true, strOack), TransferComplete);
    EXPECT_EQ(late.vSent, (TBlocks{-1, -1, 1, 2}));

    // No reply at all: three time-outs survived, the fourth aborts.
    TClient mute(700);
    EXPECT_EQ(mute.Run(512, 1, false), TransferAborted);
    EXPECT_EQ(mute.vSent, (TBlocks{1, 1, 1, 1}));

    // Stale ACKs do not stretch the wait: 150 of them, 10 ms apart, and the lost
    // block goes again after one second, not after the last of them.
    TClient st(100);
    st.qReplies.assign(150, Ack(7));
    st.qReplies.push_back(Ack(1));
    EXPECT_EQ(st.Run(512, 1, true), TransferComplete);
    EXPECT_EQ(st.vSent, (TBlocks{1, 1}));
    EXPECT_LT(st.iNowMs, 1600);

    // Without negotiation an ACK is taken as given: an old one goes back, one ahead goes
    // on from there, an OACK asks for the same block again, an RRQ, WRQ or DATA from the
    // client is passed over, and so are a short ACK and one past the file's end. An ACK of
    // an earlier block after the final one was sent sends the next block instead of ending.
    TClient c(5 * 512 + 100,
              {std::string("\0\4", 2), Ack(9), Ack(1), Ack(2), Ack(1),
               Request({"tsize", "1"}, TftpOack), Ack(4), Request({"x", "octet"}),
               Request({"x", "octet"}, TftpWrq), Data("abc", 1), Ack(5), Ack(0), Ack(6)});
    EXPECT_EQ(c.Run(512, 1, false), TransferComplete);
    EXPECT_EQ(c.vSent, (TBlocks{1, 2, 3, 2, 2, 5, 6, 1}));
    EXPECT_EQ(log.Texts("tftp: abnormal return value ", " at "), "2|3|7");
}
}  // namespace
