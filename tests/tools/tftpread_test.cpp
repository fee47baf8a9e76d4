// The tools' TFTP read, fed datagrams by hand: what it sends and takes.
#include "tools/client/tftpread.h"

#include "tftp/tftpwire.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace
{
using TDatagrams = std::vector<std::string>;

// A read with what it sends, and the offsets and bytes of what it takes, recorded.
struct TRead
{
    explicit TRead(const TTftpReadOptions& options = TTftpReadOptions()) : read("f", options)
    {
        read.fnSend = [this](const std::string& str) { vSent.push_back(str); };
        read.fnData = [this](uint64_t iOffset, const unsigned char* p, size_t n, std::string&) {
            vOffsets.push_back(iOffset);
            strTaken.append(reinterpret_cast<const char*>(p), n);
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
    TDatagrams vSent;
    std::vector<uint64_t> vOffsets;
    std::string strTaken, strWhy;
};

TEST(ToolsTftpRead, BlocksInOrderAcrossTheRollover)
{
    TRead t;
    t.read.Retry();             // before any answer: the request again
    const int nBlocks = 65537;  // full blocks; the file ends with an empty one
    const std::string strFile = Pattern(nBlocks * 512ul);
    for (int i = 1; i <= nBlocks; ++i)
        ASSERT_TRUE(t.Feed(Data(strFile, i))) << i << " " << t.strWhy;
    // Block 0 after the rollover is block 65536: a repeat of a wrapped number is not taken.
    ASSERT_TRUE(t.Feed(Data(strFile, 65536)));
    EXPECT_EQ(t.read.NextBlock(), nBlocks + 1u);
    ASSERT_TRUE(t.Feed(Data(strFile, nBlocks + 1)));
    EXPECT_TRUE(t.read.Done());
    EXPECT_EQ(t.read.Bytes(), strFile.size());
    EXPECT_TRUE(t.strTaken == strFile);
    ASSERT_EQ(t.vOffsets.size(), nBlocks + 1u);
    EXPECT_EQ(t.vOffsets[65535], 65535u * 512);
    EXPECT_EQ(t.vOffsets.back(), nBlocks * 512u);
    // One ACK a block; the repeat answered once with the last block in order.
    ASSERT_EQ(t.vSent.size(), 1 + nBlocks + 2u);
    EXPECT_EQ(TDatagrams(t.vSent.begin() + 65535, t.vSent.end()),
              (TDatagrams{Ack(65535), Ack(0), Ack(1), Ack(1), Ack(2)}));
    // Once done, nothing more is answered.
    ASSERT_TRUE(t.Feed(Data(strFile, 3)));
    t.read.Abandon();
    EXPECT_EQ(t.vSent.size(), 1 + nBlocks + 2u);
}

TEST(ToolsTftpRead, WindowsAckedAtTheirEndAndGapsOnce)
{
    TTftpReadOptions options;
    options.iBlockSize = 1468;
    options.iWindowSize = 8;
    TRead t(options);
    const std::string strFile = Pattern(8 * 16 + 5);
    ASSERT_TRUE(t.Feed(Request({"BLKSIZE", "16", "windowsize", "3"}, TftpOack)));
    // Each step: the block received, the ACK it makes (-1: none).
    const std::pair<int, int> aSteps[] = {{1, -1}, {2, -1}, {3, 3}, {5, 3}, {6, -1},
                                          {4, -1}, {5, -1}, {6, 6}, {6, 6}};
    TDatagrams vExpected{Ack(0)};
    for (const auto& [iBlock, iAck] : aSteps)
    {
        ASSERT_TRUE(t.Feed(Data(strFile, iBlock, 16))) << t.strWhy;
        if (iAck >= 0)
            vExpected.push_back(Ack(iAck));
        EXPECT_EQ(t.vSent, vExpected) << "after block " << iBlock;
    }
    // A time-out's ACK starts a new window: three blocks more before the next ACK.
    t.read.Retry();
    ASSERT_TRUE(t.Feed(Data(strFile, 7, 16)) && t.Feed(Data(strFile, 8, 16)));
    EXPECT_EQ(t.vSent.size(), vExpected.size() + 1);
    ASSERT_TRUE(t.Feed(Data(strFile, 9, 16)));  // the last block ends a window early
    EXPECT_EQ(t.vSent.back(), Ack(9));
    EXPECT_TRUE(t.read.Done());
    EXPECT_EQ(t.strTaken, strFile);
}

TEST(ToolsTftpRead, OackGrantsOnlyWhatWasAsked)
{
    TTftpReadOptions options;
    options.iBlockSize = 1024;
    options.iWindowSize = 4;
    options.iTimeout = 5;
    options.bTsize = true;
    options.iFileSize = 3000;
    const std::pair<TDatagrams, bool> aCases[] = {
        {{"blksize", "1024", "windowsize", "4", "timeout", "5", "tsize", "3000"}, true},
        {{"windowsize", "2"}, true},
        {{"blksize", "1025"}, false},
        {{"tsize", "2999"}, false},
        {{"multicast", "1"}, false},
        {{"blksize"}, false},
    };
    for (const auto& [vFields, bOk] : aCases)
    {
        TRead t(options);
        EXPECT_EQ(t.Feed(Request(vFields, TftpOack)), bOk) << vFields[0] << " " << t.strWhy;
        EXPECT_EQ(t.vSent.size(), bOk ? 1u : 0u);
        EXPECT_EQ(bOk, t.strWhy.empty()) << t.strWhy;
    }
    // An option no one asked for.
    TRead bare;
    EXPECT_FALSE(bare.Feed(Request({"tsize", "10"}, TftpOack)));
    EXPECT_EQ(bare.strWhy, "OACK option not as asked: tsize 10");
}
}  // namespace
