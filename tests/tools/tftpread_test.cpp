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

std::string Error(uint16_t nCode, const std::string& strText)
{
    return std::string{'\0', static_cast<char>(TftpError), static_cast<char>(nCode >> 8),
                       static_cast<char>(nCode)} +
           strText + '\0';
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

TEST(ToolsTftpRead, RequestCarriesTheOptionsAskedFor)
{
    TTftpReadOptions options;
    EXPECT_EQ(CTftpRead("a/b", options).Request(), std::string("\0\1a/b\0octet\0", 12));
    options.iBlockSize = 1468;
    options.iWindowSize = 4;
    options.iTimeout = 255;
    options.bTsize = true;
    EXPECT_EQ(CTftpRead("k", options).Request(), std::string("\0\1k\0octet\0blksize\0"
                                                             "1468\0windowsize\0"
                                                             "4\0timeout\0"
                                                             "255\0tsize\0"
                                                             "0\0",
                                                             56));
}

TEST(ToolsTftpRead, BlocksInOrderAcrossTheRollover)
{
    TRead t;
    t.read.Retry();  // before any answer: the request again
    ASSERT_EQ(t.vSent.size(), 1u);
    EXPECT_EQ(t.vSent[0], t.read.Request());
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
    EXPECT_EQ(t.read.BlockSize(), 16);
    EXPECT_EQ(t.read.WindowSize(), 3);
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
        {{"blksize", "7"}, false},
        {{"blksize", "1x"}, false},
        {{"windowsize", "0"}, false},
        {{"windowsize", "5"}, false},
        {{"timeout", "4"}, false},
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
    // An unfinished field, and an option no one asked for.
    TRead t(options);
    EXPECT_FALSE(t.Feed(std::string("\0\6blksize\0"
                                    "512",
                                    13)));
    TRead bare;
    EXPECT_FALSE(bare.Feed(Oack({"tsize", "10"})));
    EXPECT_EQ(bare.strWhy, "OACK option not as asked: tsize 10");
}

TEST(ToolsTftpRead, DataAtOnceGrantsNoOption)
{
    TTftpReadOptions options;
    options.iBlockSize = 1024;
    options.iWindowSize = 4;
    TRead t(options);
    ASSERT_TRUE(t.Feed(Data(1, 512)));
    EXPECT_EQ(t.read.BlockSize(), 512);
    EXPECT_EQ(t.read.WindowSize(), 1);
    EXPECT_EQ(t.vSent.back(), Ack(1));
    EXPECT_FALSE(t.Feed(Data(2, 513)));
    EXPECT_EQ(t.strWhy, "block 2 has 513 bytes");
    t.read.Abandon();
    EXPECT_EQ(t.vSent.back(), Error(0, "transfer abandoned"));
    t.read.Abandon();  // once
    EXPECT_EQ(t.vSent.size(), 2u);
}

TEST(ToolsTftpRead, ServerErrorEndsWithoutAnswer)
{
    TRead t;
    EXPECT_FALSE(t.Feed(Error(1, "File not found")));
    EXPECT_EQ(t.strWhy, "error 1 \"File not found\"");
    t.read.Abandon();
    EXPECT_TRUE(t.vSent.empty());
    EXPECT_FALSE(t.read.Done());
    TRead early;  // no answer yet: nothing to abandon
    early.read.Abandon();
    EXPECT_TRUE(early.vSent.empty());
}

TEST(ToolsTftpRead, ProbeEndsTheFirstAnswer)
{
    TTftpReadOptions options;
    options.iBlockSize = 1468;
    options.bTsize = true;
    options.eMode = ReadProbe;
    for (const std::string& strAnswer : {Oack({"blksize", "1468", "tsize", "9"}), Data(1, 512)})
    {
        TRead t(options);
        ASSERT_TRUE(t.Feed(strAnswer));
        EXPECT_TRUE(t.read.Done());
        EXPECT_EQ(t.vSent, std::vector<std::string>{Error(8, "size known")});
        EXPECT_EQ(t.nTaken, 0u);
    }
}

TEST(ToolsTftpRead, LateAcksWaitForTheCaller)
{
    TTftpReadOptions options;
    options.iWindowSize = 2;
    options.eMode = ReadLateAcks;
    TRead t(options);
    ASSERT_TRUE(t.Feed(Oack({"windowsize", "2"})));
    ASSERT_TRUE(t.Feed(Data(1, 512)));
    ASSERT_TRUE(t.Feed(Data(2, 512)));
    EXPECT_TRUE(t.read.AckHeld());
    ASSERT_TRUE(t.Feed(Data(2, 512)));  // a repeat: no answer either
    EXPECT_EQ(t.vSent, std::vector<std::string>{Ack(0)});
    t.read.Ack();
    EXPECT_FALSE(t.read.AckHeld());
    EXPECT_EQ(t.vSent.back(), Ack(2));
    ASSERT_TRUE(t.Feed(Data(3, 1)));  // the last block is acknowledged at once
    EXPECT_EQ(t.vSent.back(), Ack(3));
    EXPECT_TRUE(t.read.Done());
}

TEST(ToolsTftpRead, RefusedBytesFailTheTransfer)
{
    TRead t;
    t.read.fnData = [](uint64_t iOffset, const unsigned char*, size_t, std::string& strWhy) {
        return iOffset < 1024 || ((strWhy = "refused"), false);
    };
    ASSERT_TRUE(t.Feed(Data(1, 512)));
    ASSERT_TRUE(t.Feed(Data(2, 512)));
    EXPECT_FALSE(t.Feed(Data(3, 512)));
    EXPECT_EQ(t.strWhy, "refused");
    EXPECT_EQ(t.read.Bytes(), 1024u);
    EXPECT_EQ(t.read.NextBlock(), 3u);
    EXPECT_EQ(t.vSent.back(), Ack(2));
}
}  // namespace
