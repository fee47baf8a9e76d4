// Dotted-text IPv4 addresses: what parses, what does not, and the two byte orders.
#include "boot/cipaddr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

TEST(CIPAddr, AcceptedTexts)
{
    const struct
    {
        const char* szText;
        const char* szDotted;
    } aCases[] = {{"192.168.001.010", "192.168.1.10"},
                  {"255.255.255.255", "255.255.255.255"},
                  {"0.0.0.0", "0.0.0.0"},
                  {"198.18.0.1", "198.18.0.1"},
                  {"000.000.000.255", "0.0.0.255"}};
    for (const auto& c : aCases)
    {
        CIPAddr addr;
        EXPECT_TRUE(addr.Parse(c.szText)) << c.szText;
        EXPECT_EQ(addr.ToString(), c.szDotted) << c.szText;
        EXPECT_EQ(CIPAddr(c.szText).GetValue(true), inet_addr(c.szDotted)) << c.szText;
    }
    EXPECT_EQ(CIPAddr("255.255.255.255").GetValue(true), 0xFFFFFFFFu);
}

TEST(CIPAddr, RefusedTextsGiveZero)
{
    const char* aTexts[] = {"any NIC",     "",           "1.2.3",       "1.2.3.4.5",        "1..2.3",
                            "1.2.3.256",   "1.2.3.4 ",   " 1.2.3.4",    "1.2.3.",           ".1.2.3",
                            "1.2.3.4x",    "1.2.3.4.", "1.2.3.99999", "0000001.2.3.4444", "1.2.3.-4",
                            "1000.2.3.4"};
    for (const char* szText : aTexts)
    {
        CIPAddr addr("10.1.2.3");
        EXPECT_FALSE(addr.Parse(szText)) << szText;
        EXPECT_EQ(addr.GetValue(true), 0u) << szText;
        EXPECT_EQ(CIPAddr(szText).ToString(), "0.0.0.0") << szText;
    }
    // 16 characters are too many even when they would read as an address.
    EXPECT_EQ(CIPAddr("0010.001.002.003").GetValue(false), 0u);
    EXPECT_EQ(CIPAddr("010.001.002.003").GetValue(false), 0x0A010203u);
    // A NUL inside the text ends the reading before the end.
    EXPECT_EQ(CIPAddr(std::string("1.2.3.4\0", 8)).GetValue(false), 0u);
}

TEST(CIPAddr, ByteOrdersAndHostTest)
{
    const CIPAddr addr("10.1.2.3");
    EXPECT_EQ(addr.GetValue(false), 167838211u);
    const uint32_t nNetwork = addr.GetValue(true);
    uint8_t aBytes[4];
    std::memcpy(aBytes, &nNetwork, 4);
    EXPECT_EQ(aBytes[0], 10);
    EXPECT_EQ(aBytes[1], 1);
    EXPECT_EQ(aBytes[2], 2);
    EXPECT_EQ(aBytes[3], 3);
    EXPECT_EQ(ntohl(nNetwork), addr.GetValue(false));
    EXPECT_EQ(std::memcmp(addr.Octets(), aBytes, 4), 0);

    EXPECT_TRUE(addr.IsValidHost());
    EXPECT_FALSE(CIPAddr().IsValidHost());
    EXPECT_FALSE(CIPAddr("10.0.0.1").IsValidHost());
    EXPECT_FALSE(CIPAddr("10.1.2.255").IsValidHost());
    EXPECT_FALSE(CIPAddr("255.1.2.3").IsValidHost());
}
