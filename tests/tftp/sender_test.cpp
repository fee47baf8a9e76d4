// The transfer engine against a simulated client, in-process: windows, losses,
// go-back-N, duplicate and old ACKs, rollover, and how a transfer ends.
#include "tftp/sender.h"

#include "common/logcapture.h"
#include "tftpwire.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <set>

namespace
{
using TBlocks = std::vector<int>;

// A file in memory and a client that takes blocks in order and acknowledges
// the last block of each window of nWindow, the final block, and, after a gap,
// the last block it has in order (once per gap); an OACK it acknowledges with
// ACK 0. setLost names the datagrams (counted from 1 over the transfer) lost on
// the way; fnReply may replace each of the client's replies: "" loses it.
struct TClient : TTftpPeer
{
    TClient(size_t nFile, int nBlockSize, int nWindowSize = 1)
        : strFile(Pattern(nFile)), nBlock(nBlockSize), nWindow(nWindowSize)
    {
    }
    void Send(const TDatagram* p, int nCount) override
    {
        for (int i = 0; i < nCount; ++i)
        {
            std::string s = std::string(p[i].pHead, size_t(p[i].nHead)) +
                            std::string(p[i].pBody, size_t(p[i].nBody));
            int iBlock = uint8_t(s[2]) << 8 | uint8_t(s[3]);
            vSent.push_back(s[1] == TftpData ? iBlock : -1);
            if (s[1] == TftpOack)
                Reply(Ack(0));
            else if (s[1] == TftpData && !setLost.count(int(vSent.size())))
                Take(s, iBlock);
        }
    }
    int Receive(char* buffer, int* pnLength, int iWaitMs) override
    {
        if (qReplies.empty())
            return iNowMs += iWaitMs, ++nTimeouts, RecvTimeout;
        std::string s = qReplies.front();
        qReplies.pop_front();
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
    int Run(bool bStrict = true, const std::string& strOack = "")
    {
        TTftpSender sender(*this, {nBlock, nWindow, 1, bStrict, int64_t(strFile.size())});
        int i = strOack.empty() ? TransferComplete
                                : sender.SendOack(strOack.data(), int(strOack.size()));
        return i == TransferComplete ? sender.SendFile() : i;
    }

    std::string strFile, strReceived;
    int nBlock, nWindow, nInWindow = 0, nTimeouts = 0;
    std::set<int> setLost;
    std::function<std::string(const std::string&)> fnReply = [](const std::string& s) { return s; };
    std::deque<std::string> qReplies;
    TBlocks vSent;  // block number of every datagram sent, -1 for others
    int64_t iNowMs = 0;
    uint64_t iNext = 1;
    bool bGap = false;

private:
    void Reply(const std::string& s)
    {
        if (std::string strReply = fnReply(s); !strReply.empty())
            qReplies.push_back(strReply);
    }
    void Take(const std::string& s, int iBlock)
    {
        if (iBlock != uint16_t(iNext))
        {
            if (!bGap)
                Reply(Ack(uint16_t(iNext - 1)));
            bGap = true, nInWindow = 0;
            return;
        }
        strReceived += s.substr(4);
        bGap = false, ++iNext;
        if (++nInWindow == nWindow || s.size() - 4 < size_t(nBlock))
            Reply(Ack(iBlock)), nInWindow = 0;
    }
};

// Every DATA's bytes, block size and final block are the fuzz target's invariants; these
// tests pin which blocks go when.
TEST(TftpSender, WindowsSurviveLossesDuplicateAndOldAcks)
{
    // Block 6 lost: the client acknowledges 5 on the gap, the server goes back to 6.
    TClient c(10 * 100 + 30, 100, 4);  // blocks 1-10 full, 11 short
    c.setLost = {6};
    EXPECT_EQ(c.Run(), TransferComplete);
    EXPECT_EQ(c.vSent, (TBlocks{1, 2, 3, 4, 5, 6, 7, 8, 6, 7, 8, 9, 10, 11}));

    // The ACK of the second window is lost: a time-out, then the window again.
    TClient d(10 * 100 + 30, 100, 4);
    int nAcks = 0;
    d.fnReply = [&](const std::string& a) { return ++nAcks == 2 ? "" : a; };
    EXPECT_EQ(d.Run(), TransferComplete);
    EXPECT_EQ(d.nTimeouts, 1);
    EXPECT_EQ(d.vSent, (TBlocks{1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11}));

    // Before each of the client's ACKs: two duplicates of the last one and an old
    // one. The first duplicate sends the window once more (as after a loss of
    // its first block), the second and the old one are passed over.
    TClient e(10 * 100 + 30, 100, 4);
    int iLast = 0;
    e.fnReply = [&](const std::string& a) {
        for (int i : {iLast, iLast, iLast > 0 ? iLast - 1 : 9})
            e.qReplies.push_back(Ack(i));
        iLast = uint8_t(a[3]);
        return a;
    };
    EXPECT_EQ(e.Run(), TransferComplete);
    EXPECT_EQ(e.vSent,
              (TBlocks{1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11, 9, 10, 11}));
    EXPECT_EQ(e.nTimeouts, 0);
}

TEST(TftpSender, BlockNumbersRollOverAndTheFinalBlockEndsTheTransfer)
{
    // More than 65535 blocks of 8 bytes: numbers go 65535, 0, 1, ...
    TClient c(65540 * 8 + 3, 8, 16);
    EXPECT_EQ(c.Run(), TransferComplete);
    EXPECT_TRUE(c.strReceived == c.strFile);
    ASSERT_EQ(c.vSent.size(), 65541u);
    EXPECT_EQ(TBlocks(c.vSent.begin() + 65533, c.vSent.end()),
              (TBlocks{65534, 65535, 0, 1, 2, 3, 4, 5}));
    // A file that fills its last block exactly ends with an empty block; one byte less does not.
    for (auto [nFile, vBlocks] :
         {std::pair(3 * 512, TBlocks{1, 2, 3, 4}), std::pair(3 * 512 - 1, TBlocks{1, 2, 3})})
    {
        TClient d(size_t(nFile), 512);
        EXPECT_EQ(d.Run(false), TransferComplete);
        EXPECT_EQ(d.vSent, vBlocks);
    }
}

TEST(TftpSender, OackAnsweredByErrorTimeoutsAndStaleAcks)
{
    TLogCapture log;
    const std::string strOack = Request({"tsize", "5"}, TftpOack);
    TClient probe(5, 512);  // a size probe ends with ERROR 8 after the OACK
    probe.fnReply = [](const std::string&) { return ErrorPacket(8, "no"); };
    EXPECT_EQ(probe.Run(true, strOack), TransferDeclined);
    EXPECT_EQ(probe.vSent, TBlocks{-1});
    EXPECT_EQ(log.Texts("tftp: ", " at "), "client ended the transfer after the OACK");

    TClient late(700, 512);  // the OACK's ACK lost once: the OACK again, then the data
    int nOacks = 0;
    late.fnReply = [&](const std::string& a) { return a == Ack(0) && ++nOacks == 1 ? "" : a; };
    EXPECT_EQ(late.Run(true, strOack), TransferComplete);
    EXPECT_EQ(late.vSent, (TBlocks{-1, -1, 1, 2}));

    // No reply at all: three time-outs survived, the fourth aborts.
    TClient mute(700, 512);
    mute.setLost = {1, 2, 3, 4};
    EXPECT_EQ(mute.Run(false), TransferAborted);
    EXPECT_EQ(mute.vSent, (TBlocks{1, 1, 1, 1}));

    // Stale ACKs do not stretch the wait: 150 of them, 10 ms apart, and the lost
    // block goes again after one second, not after the last of them.
    TClient st(100, 512);
    st.setLost = {1};
    st.qReplies.assign(150, Ack(7));
    EXPECT_EQ(st.Run(), TransferComplete);
    EXPECT_EQ(st.vSent, (TBlocks{1, 1}));
    EXPECT_LT(st.iNowMs, 1600);

    // Without negotiation an ACK is taken as given: an old one goes back, one ahead goes
    // on from there, an OACK asks for the same block again, an RRQ, WRQ or DATA from the
    // client is passed over, and so are a short ACK and one past the file's end. An ACK of
    // an earlier block after the final one was sent sends the next block instead of ending.
    TClient c(5 * 512 + 100, 512);
    c.setLost = {1, 2, 3, 4, 5, 6, 7, 8};
    c.qReplies = {std::string("\0\4", 2),
                  Ack(9),
                  Ack(1),
                  Ack(2),
                  Ack(1),
                  Request({"tsize", "1"}, TftpOack),
                  Ack(4),
                  Request({"x", "octet"}),
                  Request({"x", "octet"}, TftpWrq),
                  Data("abc", 1),
                  Ack(5),
                  Ack(0),
                  Ack(6)};
    EXPECT_EQ(c.Run(false), TransferComplete);
    EXPECT_EQ(c.vSent, (TBlocks{1, 2, 3, 2, 2, 5, 6, 1}));
    EXPECT_EQ(c.nTimeouts, 0);
    EXPECT_EQ(log.Texts("tftp: abnormal return value ", " at "), "2|3|7");
}
}  // namespace
