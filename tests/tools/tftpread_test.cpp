// The tools' TFTP read, fed datagrams by hand: what it sends and takes.
#include "tools/client/tftpread.h"

#include "tftp/packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
std::string Ack(uint16_t nBlock)
{
    return std::string{'\0', static_cast<char>(TftpAck), static_cast<char>(nBlock >> 8),
                       static_cast<char>(nBlock)};
}

std::string Data(uint16_t nBlock, size_t nLen, char c = 'x')
{
    return std::string{'\0', static_cast<char>(TftpData), static_cast<char>(nBlock >> 8),
                       static_cast<char>(nBlock)} +
           std::string(nLen, c);
}

std::string Oack(const std::vector<std::string>& vFields)
{
    std::string str{'\0', static_cast<char>(TftpOack)};
    for (const std::string& strField : vFields)
        str += strField + '\0';
    return str;
}

// A read with what it sends and the offsets of what it takes recorded.
struct TRead
{
    explicit TRead(const TTftpReadOptions& options = TTftpReadOptions()) : read("f", options)
    {
        read.fnSend = [this](const std::string& str) { vSent.push_back(str); };
        read.fnData = [this](uint64_t iOffset, const unsigned char*, size_t n, std::string&) {
            vOffsets.push_back(iOffset);
            nTaken += n;
            return true;
        };
    }
    bool Feed(const std::string& str)
    {
        strWhy.clear();
        return read.OnDatagram(reinterpret_cast<const unsigned char*>(str.data()), str.size(),
                               strWhy);
    }
    CTftpRead read;
    std::vector<std::string> vSent;
    std::vector<uint64_t> vOffsets;
    uint64_t nTaken = 0;
    std::string strWhy;
};

TEST(ToolsTftpRead, BlocksInOrderAcrossTheRollover)
{
    TRead t;
    t.read.Retry();  // before any answer: the request again
    const uint64_t nBlocks = 65537;  // full blocks; the file ends with an empty one
    for (uint64_t i = 1; i <= nBlocks; ++i)
        ASSERT_TRUE(t.Feed(Data(static_cast<uint16_t>(i), 512))) << i << " " << t.strWhy;
    // Block 0 after the rollover is block 65536: a repeat of a wrapped number is not taken.
    ASSERT_TRUE(t.Feed(Data(0, 512)));
    EXPECT_EQ(t.read.NextBlock(), nBlocks + 1);
    ASSERT_TRUE(t.Feed(Data(static_cast<uint16_t>(nBlocks + 1), 0)));
    EXPECT_TRUE(t.read.Done());
    EXPECT_EQ(t.read.Bytes(), nBlocks * 512);
    EXPECT_EQ(t.nTaken, nBlocks * 512);
    ASSERT_EQ(t.vOffsets.size(), nBlocks + 1);
    EXPECT_EQ(t.vOffsets[65535], 65535u * 512);
    EXPECT_EQ(t.vOffsets.back(), nBlocks * 512);
    // One ACK a block; the repeat answered once with the last block in order.
    ASSERT_EQ(t.vSent.size(), 1 + nBlocks + 2);
    EXPECT_EQ(t.vSent[65535], Ack(65535));
    EXPECT_EQ(t.vSent[65536], Ack(0));
    EXPECT_EQ(t.vSent[65537], Ack(1));
    EXPECT_EQ(t.vSent[65538], Ack(1));  // the repeat
    EXPECT_EQ(t.vSent.back(), Ack(2));
    // Once done, nothing more is answered.
    ASSERT_TRUE(t.Feed(Data(3, 10)));
    t.read.Abandon();
    EXPECT_EQ(t.vSent.size(), 1 + nBlocks + 2);
}

TEST(ToolsTftpRead, WindowsAckedAtTheirEndAndGapsOnce)
{
    TTftpReadOptions options;
    options.iBlockSize = 1468;
    options.iWindowSize = 8;
    TRead t(options);
    ASSERT_TRUE(t.Feed(Oack({"BLKSIZE", "16", "windowsize", "3"})));
    // Each step: the block received, the ACKs it makes (-1: none).
    const struct
    {
        int iBlock;
        int iAck;
    } aSteps[] = {{1, -1}, {2, -1}, {3, 3}, {5, 3}, {6, -1}, {4, -1}, {5, -1}, {6, 6}, {6, 6}};
    std::vector<std::string> vExpected{Ack(0)};
    for (const auto& step : aSteps)
    {
        ASSERT_TRUE(t.Feed(Data(static_cast<uint16_t>(step.iBlock), 16))) << t.strWhy;
        if (step.iAck >= 0)
            vExpected.push_back(Ack(static_cast<uint16_t>(step.iAck)));
        EXPECT_EQ(t.vSent, vExpected) << "after block " << step.iBlock;
    }
    // A time-out's ACK starts a new window: three blocks more before the next ACK.
    t.read.Retry();
    ASSERT_TRUE(t.Feed(Data(7, 16)));
    ASSERT_TRUE(t.Feed(Data(8, 16)));
    EXPECT_EQ(t.vSent.size(), vExpected.size() + 1);
    ASSERT_TRUE(t.Feed(Data(9, 5)));  // the last block ends a window early
    EXPECT_EQ(t.vSent.back(), Ack(9));
    EXPECT_TRUE(t.read.Done());
    EXPECT_EQ(t.read.Bytes(), 8u * 16 + 5);
}

TEST(ToolsTftpRead, OackGrantsOnlyWhatWasAsked)
{
    TTftpReadOptions options;
    options.iBlockSize = 1024;
    options.iWindowSize = 4;
    options.iTimeout = 5;
    options.bTsize = true;
    options.iFileSize = 3000;
    const struct
    {
        std::vector<std::string> vFields;
        bool bOk;
    } aCases[] = {
        {{"blksize", "1024", "windowsize", "4", "timeout", "5", "tsize", "3000"}, true},
        {{"windowsize", "2"}, true},
        {{"blksize", "1025"}, false},
        {{"tsize", "2999"}, false},
        {{"multicast", "1"}, false},
        {{"blksize"}, false},
    };
    for (const auto& c : aCases)
    {
        TRead t(options);
        std::string str = Oack(c.vFields);
        EXPECT_EQ(t.Feed(str), c.bOk) << str.size() << " " << t.strWhy;
        EXPECT_EQ(t.vSent.size(), c.bOk ? 1u : 0u);
        EXPECT_EQ(c.bOk, t.strWhy.empty()) << t.strWhy;
    }
    // An option no one asked for.
    TRead bare;
    EXPECT_FALSE(bare.Feed(Oack({"tsize", "10"})));
    EXPECT_EQ(bare.strWhy, "OACK option not as asked: tsize 10");
}
}  // namespace
