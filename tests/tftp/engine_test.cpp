// The transfer engine fed datagrams and times directly: windows, losses,
// go-back-N, duplicate and old ACKs, rollover, the deadlines, a file that
// changes, and how a transfer ends; every block sent must carry the file's
// bytes at its place.
#include "tftp/engine.h"

#include "common/logcapture.h"
#include "tftpwire.h"

#include <gtest/gtest.h>

#include <regex>

namespace
{
using TBlocks = std::vector<int>;
using TScript = std::vector<std::string>;
constexpr int kOack = -1, kError = -2;  // in the list of what was sent

// ACKs of the blocks; -1 is a time-out ("").
TScript Acks(const TBlocks& vBlocks)
{
    TScript v;
    for (int i : vBlocks)
        v.push_back(i < 0 ? "" : Ack(i));
    return v;
}

// A file in memory and a client that sends a script, 10 ms apart; each
// time-out of the script (and silence once it has run out) jumps to the
// engine's deadline.
struct TClient : TTftpSource
{
    explicit TClient(size_t nFile, int nBlockSize = 512, int nWindow = 1, bool bStrict = false)
        : strFile(Pattern(nFile))
    {
        params = {nBlockSize, nWindow, 1, bStrict, false, int64_t(nFile)};
    }
    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        iReadEnd = std::max(iReadEnd, iOffset + nLength);
        if (bFail)
            return -1;
        return long(
            strFile.copy(buffer, size_t(nLength), std::min(size_t(iOffset), strFile.size())));
    }
    // What the engine gave: every DATA must carry the file's bytes at its
    // block's place, as many as the size at open leaves for it; its number is
    // read as the one nearest the block sent before, across a rollover too.
    void Take(const TTftpEngine& engine)
    {
        EXPECT_LE(engine.Output().size(), size_t(params.nWindowSize));
        for (const TTftpDatagram& d : engine.Output())
        {
            if (d.pHead[1] != TftpData)
            {
                vSent.push_back(d.pHead[1] == TftpOack ? kOack : kError);
                strOther.append(d.pHead, size_t(d.nHead));
                continue;
            }
            const int iBlock = uint8_t(d.pHead[2]) << 8 | uint8_t(d.pHead[3]);
            vSent.push_back(iBlock);
            iLast += int16_t(iBlock - iLast);
            const int64_t nAt = (iLast - 1) * params.nBlockSize;
            const size_t nData =
                size_t(std::clamp<int64_t>(params.iFileSize - nAt, 0, params.nBlockSize));
            nWrongData += d.nHead != 4 || std::string(d.pBody, size_t(d.nBody)) !=
                                              strFile.substr(size_t(nAt), nData);
        }
    }
    TTftpEnd Run(const TScript& vScript, const std::string& strOack = "")
    {
        TTftpEngine engine(*this, params);
        engine.Start(iNowMs, strOack.data(), int(strOack.size()));
        Take(engine);
        auto Timeout = [&] {
            iNowMs = std::max(iNowMs, engine.Deadline());
            engine.OnTime(iNowMs);
            Take(engine);
        };
        for (const std::string& s : vScript)
        {
            if (!engine.Ended() && (s.empty() || (iNowMs += 10) >= engine.Deadline()))
                Timeout();
            if (engine.Ended())
                break;
            if (s.empty())
                continue;
            engine.OnDatagram(s.data(), int(s.size()), iNowMs);
            Take(engine);
        }
        for (int i = 0; i < 5 && !engine.Ended(); ++i)
            Timeout();
        EXPECT_TRUE(engine.Ended());
        EXPECT_EQ(engine.Deadline(), INT64_MAX);
        EXPECT_EQ(nWrongData, 0);
        EXPECT_LE(iReadEnd, params.iFileSize);  // never past the size at open
        iBytesAcked = engine.BytesAcked();
        return engine.End();
    }

    std::string strFile;
    TTftpParams params;
    bool bFail = false;
    TBlocks vSent;         // block number of every datagram sent, kOack or kError for others
    std::string strOther;  // the bytes of the datagrams other than DATA
    int64_t iNowMs = 0, iLast = 0, iReadEnd = 0, iBytesAcked = -1;
    int nWrongData = 0;
};

// The log's "tftp: " lines, without the time (nor the time-out's date).
std::string TftpLines(TLogCapture& log)
{
    return std::regex_replace(log.Texts("tftp: ", " at "), std::regex("\\.\\.\\.at [^|]*"), "...");
}

// Which blocks go when. Blocks of 100 bytes of a file of 1030 at open, 1-10 full, 11 short.
TEST(TftpEngine, WindowsGoBackNDuplicatesAndAFileThatChanged)
{
    const TBlocks vAll = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const struct
    {
        int nWindow;
        bool bStrict;
        TBlocks vAcks, vSent;
        size_t nNow = 1030;  // the file's size when read
        bool bFail = false;
        TTftpEnd iEnd = EndComplete;
    } cases[] = {
        // clang-format off
        // Block 6 lost: the client acknowledges 5 on the gap, the window goes on from 6.
        {4, true, {4, 5, 9, 11}, {1, 2, 3, 4, 5, 6, 7, 8, 6, 7, 8, 9, 10, 11}},
        // Duplicates of the last ACK, old ones and one ahead of the window, before each of
        // the client's ACKs: all passed over, nothing goes twice.
        {4, true, {0, 0, 9, 4, 4, 4, 3, 4, 4, 4, 3, 8, 8, 8, 7, 8, 8, 8, 7, 11}, vAll},
        // The window's first block lost: the ACK of the block before it does not send the
        // window again (the client's own duplicate would do so for every block); the
        // time-out sends the whole window again.
        {4, true, {4, 4, 4, -1, 8, 11}, {1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11}},
        // Without negotiation, lock-step whatever window was asked: only the ACK of the block
        // just sent moves on; an old, a duplicate and one ahead are passed over.
        {4, false, {1, 1, 0, 2, 2, 5, 11, 3, 4, 5, 6, 7, 8, 9, 10, 11}, vAll},
        // Shorter by the final block only: no short block goes, only ERROR 0. A read that
        // fails ends it. (No run reads past the size at open: Run checks it.)
        {1, true, vAll, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, kError}, 1000, false, EndFileChanged},
        {1, true, vAll, {}, 1030, true, EndReadError},
        // clang-format on
    };
    for (const auto& c : cases)
    {
        TLogCapture log;
        TClient client(1030, 100, c.nWindow, c.bStrict);
        client.strFile = Pattern(1100).substr(0, c.nNow);
        client.bFail = c.bFail;
        EXPECT_EQ(client.Run(Acks(c.vAcks)), c.iEnd);
        EXPECT_EQ(client.vSent, c.vSent);
        if (c.iEnd == EndComplete)
        {
            EXPECT_EQ(client.iBytesAcked, 1030);
        }
        EXPECT_EQ(client.strOther, c.iEnd == EndFileChanged ? ErrorPacket(0, "file changed") : "");
        EXPECT_EQ(TftpLines(log).find("read error|abort send file") != std::string::npos, c.bFail);
    }
}

TEST(TftpEngine, BlockNumbersRollOverAndTheFinalBlockEndsTheTransfer)
{
    // More than 65535 blocks of 8 bytes: numbers go 65535, 0, 1, ...
    TClient c(65540 * 8 + 3, 8, 16, true);
    TScript vAcks;
    for (int i = 16; i < 65541 + 16; i += 16)
        vAcks.push_back(Ack(std::min(i, 65541) & 0xffff));
    EXPECT_EQ(c.Run(vAcks), EndComplete);
    ASSERT_EQ(c.vSent.size(), 65541u);
    EXPECT_EQ(TBlocks(c.vSent.begin() + 65533, c.vSent.end()),
              (TBlocks{65534, 65535, 0, 1, 2, 3, 4, 5}));
    // A file that fills its last block exactly ends with an empty block; one byte less does not.
    for (auto [nFile, vBlocks] :
         {std::pair(3 * 512, TBlocks{1, 2, 3, 4}), std::pair(3 * 512 - 1, TBlocks{1, 2, 3})})
    {
        TClient d{size_t(nFile)};
        EXPECT_EQ(d.Run(Acks({1, 2, 3, 4})), EndComplete);
        EXPECT_EQ(d.vSent, vBlocks);
        EXPECT_EQ(d.iBytesAcked, nFile);
    }
}

// How a transfer ends, with an OACK or without; time-outs end a silent client
// sooner than one that answered.
TEST(TftpEngine, OptionAcknowledgementTimeOutsAndHowItEnds)
{
    const std::string strOack = Request({"tsize", "700"}, TftpOack);
    const struct
    {
        bool bOack, bOnce;
        TScript vScript;
        TTftpEnd iEnd;
        TBlocks vSent;
        const char* szLog;  // nullptr: not looked at
    } cases[] = {
        // clang-format off
        // A size probe ends with ERROR 8 after the OACK.
        {true, false, {ErrorPacket(8, "no")}, EndDeclined, {kOack}, "client ended the transfer after the OACK"},
        // Only ACK 0 answers it; a DATA from the client is passed over too.
        {true, false, {Ack(1), Data("abc", 1), Ack(0), Ack(1), Ack(2)}, EndComplete, {kOack, 1, 2},
         "ACK 1 ignored, waiting for ACK 0|abnormal return value 7"},
        // An ERROR during the data.
        {true, false, {Ack(0), ErrorPacket(0, "stop")}, EndClientError, {kOack, 1}, "abort send file"},
        // The plain "tsize" answer: any ACK starts the data at block 1; a time-out ends the
        // transfer without a word, and without the OACK again.
        {true, true, {Ack(7), Ack(1), Ack(2)}, EndComplete, {kOack, 1, 2}, ""},
        {true, true, Acks({-1}), EndTimeout, {kOack}, ""},
        // Never answered: the second time-out ends it.
        {true, false, {}, EndTimeout, {kOack, kOack}, nullptr},
        // Answered once: three time-outs survived, the fourth ends it.
        {false, false, Acks({1}), EndTimeout, {1, 2, 2, 2, 2}, nullptr},
        // Spread over the transfer they are survived, the first before any answer;
        // the final block lost goes again.
        {false, false, Acks({-1, 1, -1, 2}), EndComplete, {1, 1, 2, 2}, nullptr},
        // clang-format on
    };
    for (const auto& c : cases)
    {
        TLogCapture log;
        TClient client(700);
        client.params.bStrictAcks = c.bOack;
        client.params.bOackOnce = c.bOnce;
        EXPECT_EQ(client.Run(c.vScript, c.bOack ? strOack : ""), c.iEnd);
        EXPECT_EQ(client.vSent, c.vSent);
        if (c.szLog)
        {
            EXPECT_EQ(TftpLines(log), c.szLog);
        }
        EXPECT_EQ(client.strOther.substr(0, strOack.size()), c.bOack ? strOack : "");
    }
}

TEST(TftpEngine, TheDeadlineIsSetWhenAWindowGoesAndNothingElseMovesIt)
{
    TLogCapture log;
    TClient client(700, 512, 1, true);
    TTftpEngine engine(client, client.params);
    engine.Start(5000, nullptr, 0);
    EXPECT_EQ(engine.Deadline(), 6000);
    // Before the deadline nothing happens; stale ACKs, 10 ms apart, neither send
    // nor move it, and their lines are one a second.
    for (int64_t iNowMs = 5010; iNowMs < 6000; iNowMs += 10)
    {
        engine.OnTime(iNowMs);
        engine.OnDatagram(Ack(7).data(), 4, iNowMs);
        EXPECT_TRUE(engine.Output().empty());
    }
    EXPECT_EQ(engine.Deadline(), 6000);
    engine.OnTime(6000);
    EXPECT_EQ(engine.Output().size(), 1u);
    EXPECT_EQ(engine.Deadline(), 7000);
    for (int64_t iNowMs = 6010; iNowMs <= 6500; iNowMs += 10)
        engine.OnDatagram(Ack(7).data(), 4, iNowMs);
    engine.OnDatagram("\0\4\0", 3, 6510);
    engine.OnDatagram("\0\11", 2, 6520);
    engine.OnDatagram("", 0, 6530);
    EXPECT_EQ(engine.Deadline(), 7000);
    engine.OnDatagram(Ack(1).data(), 4, 6600);
    EXPECT_EQ(engine.Deadline(), 7600);
    EXPECT_EQ(TftpLines(log), "ACK 7 outside the window ignored|timeout retrying...|"
                              "98 similar lines suppressed|ACK 7 outside the window ignored|"
                              "short ACK of 3 bytes discarded|abnormal return value -1");
}

}  // namespace
