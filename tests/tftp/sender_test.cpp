// The transfer engine against a simulated client, in-process: windows, losses,
// go-back-N, duplicate and old ACKs, rollover, and how a transfer ends.
#include "tftp/sender.h"

#include "common/logcapture.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <set>
#include <string>

namespace
{
std::string Ack(int iBlock) { return {0, TftpAck, char(iBlock >> 8), char(iBlock)}; }

// A file in memory and a client that takes blocks in order and acknowledges
// the last block of each window of nWindow, the final block, and, after a gap,
// the last block it has in order (once per gap). setLost names the DATA
// datagrams (counted from 1 over the transfer) lost on the way; fnReply may
// replace the client's reply to a datagram: "" loses it.
class TClient : public TTftpPeer
{
public:
    TClient(std::string strFile, int nBlock, int nWindow)
        : m_strFile(std::move(strFile)), m_nBlock(nBlock), m_nWindow(nWindow)
    {
    }
    void Send(const TDatagram* p, int nCount) override
    {
        for (int i = 0; i < nCount; ++i, ++nDataSent)
        {
            std::string s = std::string(p[i].pHead, size_t(p[i].nHead)) +
                            std::string(p[i].pBody, size_t(p[i].nBody));
            vSentBlocks.push_back(s[1] == TftpData ? (uint8_t(s[2]) << 8 | uint8_t(s[3])) : -1);
            if (s[1] == TftpData && !setLost.count(nDataSent + 1))
                Take(s);
            else if (s[1] == TftpOack)
                Queue(fnReply ? fnReply(s) : Ack(0));
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
            m_strFile.copy(buffer, size_t(nLength), std::min(size_t(iOffset), m_strFile.size())));
    }

    int64_t NowMs() override { return iNowMs; }
    size_t Size() const { return m_strFile.size(); }
    std::string strReceived;
    std::set<int> setLost;
    std::function<std::string(const std::string&)> fnReply;
    std::deque<std::string> qReplies;
    std::vector<int> vSentBlocks;  // block number of every datagram sent, -1 for others
    int nDataSent = 0, nTimeouts = 0;
    int64_t iNowMs = 0;

private:
    void Queue(const std::string& s)
    {
        if (!s.empty())
            qReplies.push_back(s);
    }
    void Take(const std::string& s)
    {
        int iBlock = uint8_t(s[2]) << 8 | uint8_t(s[3]);
        std::string strOwn;
        if (iBlock != uint16_t(m_iNext))
            strOwn = m_bGap ? "" : Ack(uint16_t(m_iNext - 1)), m_bGap = true, m_nInWindow = 0;
        else
        {
            strReceived += s.substr(4);
            m_bGap = false;
            bool bFinal = s.size() - 4 < size_t(m_nBlock);
            if (++m_iNext, ++m_nInWindow == m_nWindow || bFinal)
                strOwn = Ack(iBlock), m_nInWindow = 0;
        }
        if (!strOwn.empty())
            Queue(fnReply ? fnReply(strOwn) : strOwn);
    }
    std::string m_strFile;
    int m_nBlock, m_nWindow, m_nInWindow = 0;
    uint64_t m_iNext = 1;
    bool m_bGap = false;
};

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char(i * 7 + i / 251);
    return s;
}

int Transfer(TClient& c, int nBlock, int nWindow, bool bStrict = true,
             const std::string& strOack = "")
{
    TTftpSender sender(c, {nBlock, nWindow, 1, bStrict, int64_t(c.Size())});
    if (!strOack.empty())
        if (int i = sender.SendOack(strOack.data(), int(strOack.size())); i != TransferComplete)
            return i;
    return sender.SendFile();
}

TEST(TftpSender, WindowsSurviveLossesDuplicateAndOldAcks)
{
    const std::string s = Pattern(10 * 100 + 30);  // blocks 1-10 full, 11 short
    {
        // Block 6 lost: the client acknowledges 5 on the gap, the server goes back to 6.
        TClient c(s, 100, 4);
        c.setLost = {6};
        EXPECT_EQ(Transfer(c, 100, 4), TransferComplete);
        EXPECT_EQ(c.strReceived, s);
        EXPECT_EQ(c.vSentBlocks, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 6, 7, 8, 9, 10, 11}));
    }
    {
        // The ACK of the second window is lost: a time-out, then the window again.
        TClient c(s, 100, 4);
        int nAcks = 0;
        c.fnReply = [&](const std::string& a) { return ++nAcks == 2 ? "" : a; };
        EXPECT_EQ(Transfer(c, 100, 4), TransferComplete);
        EXPECT_EQ(c.nTimeouts, 1);
        EXPECT_EQ(c.vSentBlocks, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11}));
    }
    {
        // Before each of the client's ACKs: two duplicates of the last one and an old
        // one. The first duplicate sends the window once more (as after a loss of
        // its first block), the second and the old one are passed over.
        TClient c(s, 100, 4);
        int iLast = 0;
        c.fnReply = [&](const std::string& a) {
            for (int i : {iLast, iLast, iLast > 0 ? iLast - 1 : 9})
                c.qReplies.push_back(Ack(i));
            iLast = uint8_t(a[3]);
            return a;
        };
        EXPECT_EQ(Transfer(c, 100, 4), TransferComplete);
        EXPECT_EQ(c.strReceived, s);
        EXPECT_EQ(c.vSentBlocks.size(), 22u);
        EXPECT_EQ(c.nTimeouts, 0);
    }
}

TEST(TftpSender, BlockNumbersRollOverAndTheFinalBlockEndsTheTransfer)
{
    // More than 65535 blocks of 8 bytes: numbers go 65535, 0, 1, ...
    const std::string s = Pattern(65540 * 8 + 3);
    TClient c(s, 8, 16);
    EXPECT_EQ(Transfer(c, 8, 16), TransferComplete);
    EXPECT_TRUE(c.strReceived == s);
    ASSERT_EQ(c.vSentBlocks.size(), 65541u);
    EXPECT_EQ(std::vector<int>(c.vSentBlocks.begin() + 65533, c.vSentBlocks.end()),
              (std::vector<int>{65534, 65535, 0, 1, 2, 3, 4, 5}));
    // A file that fills its last block exactly ends with an empty block; one byte less does not.
    for (size_t n : {size_t(3 * 512), size_t(3 * 512 - 1)})
    {
        TClient d(Pattern(n), 512, 1);
        EXPECT_EQ(Transfer(d, 512, 1, false), TransferComplete);
        EXPECT_EQ(d.strReceived, Pattern(n));
        EXPECT_EQ(d.vSentBlocks.size(), n / 512 + 1);
    }
}

TEST(TftpSender, OackAnsweredByErrorTimeoutsAndStaleAcks)
{
    TLogCapture log;
    const std::string strOack("\0\6tsize\0"
                              "5\0",
                              10);
    TClient probe(Pattern(5), 512, 1);  // a size probe ends with ERROR 8 after the OACK
    probe.fnReply = [](const std::string&) { return std::string("\0\5\0\10no\0", 7); };
    EXPECT_EQ(Transfer(probe, 512, 1, true, strOack), TransferDeclined);
    EXPECT_EQ(probe.nDataSent, 1);
    EXPECT_EQ(log.Texts("tftp: ", " at "), "client ended the transfer after the OACK");

    TClient late(Pattern(700), 512, 1);  // the OACK's ACK lost once: the OACK again, then the data
    int nOacks = 0;
    late.fnReply = [&](const std::string& a) {
        return a[1] != TftpOack ? a : ++nOacks == 1 ? "" : Ack(0);
    };
    EXPECT_EQ(Transfer(late, 512, 1, true, strOack), TransferComplete);
    EXPECT_EQ(late.vSentBlocks, (std::vector<int>{-1, -1, 1, 2}));

    // No reply at all: three time-outs survived, the fourth aborts.
    TClient mute(Pattern(700), 512, 1);
    mute.setLost = {1, 2, 3, 4};
    EXPECT_EQ(Transfer(mute, 512, 1, false), TransferAborted);
    EXPECT_EQ(mute.nDataSent, 4);

    // Stale ACKs do not stretch the wait: 150 of them, 10 ms apart, and the lost
    // block goes again after one second, not after the last of them.
    TClient st(Pattern(100), 512, 1);
    st.setLost = {1};
    st.qReplies.assign(150, Ack(7));
    EXPECT_EQ(Transfer(st, 512, 1), TransferComplete);
    EXPECT_EQ(st.vSentBlocks, (std::vector<int>{1, 1}));
    EXPECT_LT(st.iNowMs, 1600);

    // Without negotiation an ACK is taken as given: an old one goes back, one ahead goes
    // on from there, an OACK asks for the same block again, an RRQ, WRQ or DATA from the
    // client is passed over, and so are a short ACK and one past the file's end. An ACK of
    // an earlier block after the final one was sent sends the next block instead of ending.
    TClient c(Pattern(5 * 512 + 100), 512, 1);
    c.setLost = {1, 2, 3, 4, 5, 6, 7, 8};
    c.qReplies = {std::string("\0\4", 2), Ack(9), Ack(1), Ack(2), Ack(1),
                  std::string("\0\6tsize\0" "1\0", 10), Ack(4), std::string("\0\1x\0octet\0", 10),
                  std::string("\0\2x\0octet\0", 10), std::string("\0\3\0\1abc", 7), Ack(5),
                  Ack(0), Ack(6)};
    EXPECT_EQ(Transfer(c, 512, 1, false), TransferComplete);
    EXPECT_EQ(c.vSentBlocks, (std::vector<int>{1, 2, 3, 2, 2, 5, 6, 1}));
    EXPECT_EQ(c.nTimeouts, 0);
    EXPECT_EQ(log.Texts("tftp: abnormal return value ", " at "), "2|3|7");
}
}  // namespace
