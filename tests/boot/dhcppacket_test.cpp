// The DHCP packet codec: header, option walk, class identifier split, vendor
// table, serializing, and the real clients' datagrams.
#include "boot/dhcppacket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{
using TBytes = std::vector<uint8_t>;

const uint8_t kCookie[4] = {99, 130, 83, 99};

// A datagram of nLength bytes: zero header, the cookie, then the option bytes.
TBytes Datagram(const TBytes& vOptions, size_t nLength = 0)
{
    TBytes v(std::max(240 + vOptions.size(), nLength), 0);
    std::memcpy(v.data() + 236, kCookie, 4);
    std::copy(vOptions.begin(), vOptions.end(), v.begin() + 240);
    return v;
}

TBytes Serialized(const DhcpPacket& packet, int nCapacity = 2000)
{
    TBytes v(static_cast<size_t>(nCapacity), 0xEE);
    int nSize = nCapacity;
    EXPECT_TRUE(packet.Serialize(v.data(), nSize));
    v.resize(static_cast<size_t>(nSize));
    return v;
}

std::string Option(const DhcpPacket& packet, uint8_t nCode)
{
    char aValue[255];
    const int n = packet.GetOption(nCode, aValue, sizeof(aValue));
    return std::string(aValue, static_cast<size_t>(n > 0 ? n : 0));
}

std::string VendorOption(const DhcpPacket& packet, uint8_t nCode)
{
    char aValue[255];
    const int n = packet.GetVendorOption(nCode, aValue, sizeof(aValue));
    return std::string(aValue, static_cast<size_t>(n > 0 ? n : 0));
}

// Options length recomputed from what the tables hold.
int CountedOptionsLength(const DhcpPacket& packet)
{
    int n = 5;
    for (int i = 1; i < 255; ++i)
    {
        const uint8_t nCode = static_cast<uint8_t>(i);
        if (packet.HasOption(nCode))
            n += packet.GetOption(nCode, nullptr, 0) + 2;
        if (packet.HasVendorOption(nCode))
            n += packet.GetVendorOption(nCode, nullptr, 0) + 2;
    }
    return n;
}

// Both tables of two packets hold the same values.
void ExpectSameTables(const DhcpPacket& a, const DhcpPacket& b)
{
    for (int i = 0; i < 256; ++i)
    {
        EXPECT_EQ(a.HasOption(static_cast<uint8_t>(i)), b.HasOption(static_cast<uint8_t>(i))) << "option " << i;
        EXPECT_EQ(a.HasVendorOption(static_cast<uint8_t>(i)), b.HasVendorOption(static_cast<uint8_t>(i))) << i;
        EXPECT_EQ(Option(a, static_cast<uint8_t>(i)), Option(b, static_cast<uint8_t>(i))) << "option " << i;
        EXPECT_EQ(VendorOption(a, static_cast<uint8_t>(i)), VendorOption(b, static_cast<uint8_t>(i)))
            << "sub-option " << i;
    }
    EXPECT_EQ(a.OptionsLength(), b.OptionsLength());
}

TBytes ReadSeed(const std::string& strName)
{
    std::ifstream in(std::string(PXE_SOURCE_DIR) + "/tests/fuzz/corpus/" + strName, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

TEST(DhcpPacket, EmptyPacketIsHeaderCookieAndZerosWithoutEnd)
{
    DhcpPacket packet;
    EXPECT_EQ(packet.TotalLength(), 241);
    EXPECT_EQ(packet.MaxOptionsLength(), 340);

    const TBytes v = Serialized(packet);
    ASSERT_EQ(v.size(), 300u);
    TBytes vExpected(300, 0);
    std::memcpy(vExpected.data() + 236, kCookie, 4);
    EXPECT_EQ(v, vExpected);

    // The capacity must exceed TotalLength and hold the whole 300 bytes;
    // nothing is written otherwise.
    TBytes vSmall(300, 0xEE);
    for (int nCapacity : {241, 299})
    {
        int nSize = nCapacity;
        EXPECT_FALSE(packet.Serialize(vSmall.data(), nSize)) << nCapacity;
        EXPECT_EQ(nSize, nCapacity);
        EXPECT_EQ(vSmall, TBytes(300, 0xEE));
    }
}

TEST(DhcpPacket, OptionsAscendThenVendorOptionThenEnd)
{
    DhcpPacket packet;
    const uint8_t nOffer = 2;
    const uint8_t nControl = 7;
    const uint8_t aId[4] = {198, 18, 0, 1};
    ASSERT_TRUE(packet.SetVendorOption(6, &nControl, 1));
    ASSERT_TRUE(packet.SetOption(53, &nOffer, 1));
    EXPECT_EQ(packet.TotalLength(), 236 + 5 + 3 + 3);

    TBytes v = Serialized(packet);
    ASSERT_EQ(v.size(), 300u);
    const TBytes vOptions(v.begin() + 240, v.begin() + 252);
    EXPECT_EQ(vOptions, (TBytes{53, 1, 2, 43, 4, 6, 1, 7, 255, 255, 0, 0}));
    EXPECT_EQ(TBytes(v.begin() + 250, v.end()), TBytes(50, 0));

    // A lower code stored later still comes first; without sub-options no option 43.
    ASSERT_TRUE(packet.SetOption(54, aId, 4));
    packet.RemoveVendorOption(6);
    v = Serialized(packet);
    EXPECT_EQ(TBytes(v.begin() + 240, v.begin() + 250), (TBytes{53, 1, 2, 54, 4, 198, 18, 0, 1, 255}));
    EXPECT_EQ(packet.OptionsLength(), 5 + 3 + 6);
}

TEST(DhcpPacket, VendorOptionsBeyond254BytesSplitAndJoinAgain)
{
    // A 1500-byte datagram allows 1264 bytes of options.
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(Datagram({255}, 1500).data(), 1500));
    ASSERT_EQ(packet.MaxOptionsLength(), 1264);
    TBytes vValue(100);
    for (int nCode = 1; nCode <= 5; ++nCode)
    {
        for (size_t i = 0; i < vValue.size(); ++i)
            vValue[i] = static_cast<uint8_t>(nCode * 16 + i);
        ASSERT_TRUE(packet.SetVendorOption(static_cast<uint8_t>(nCode), vValue.data(), 100));
    }
    const uint8_t nType = 5;
    ASSERT_TRUE(packet.SetOption(53, &nType, 1));

    const TBytes v = Serialized(packet);
    // 53, then 43 with sub-options 1 and 2 (204 bytes), 43 with 3 and 4,
    // 43 with 5, each closed by sub-option END, then END.
    size_t nPos = 240;
    EXPECT_EQ(TBytes(v.begin() + 240, v.begin() + 243), (TBytes{53, 1, 5}));
    nPos += 3;
    const int aContent[3] = {204, 204, 102};
    int nSubCode = 1;
    for (int nContent : aContent)
    {
        ASSERT_EQ(v[nPos], 43);
        ASSERT_EQ(v[nPos + 1], nContent + 1);
        EXPECT_EQ(v[nPos + 2], nSubCode);
        EXPECT_EQ(v[nPos + 1 + static_cast<size_t>(nContent) + 1], 255);
        nSubCode += nContent / 102;
        nPos += 2 + static_cast<size_t>(nContent) + 1;
    }
    EXPECT_EQ(v[nPos], 255);
    EXPECT_EQ(v.size(), nPos + 1);
    EXPECT_EQ(static_cast<int>(v.size()), packet.MessageLength());
    EXPECT_EQ(v.size(), static_cast<size_t>(packet.TotalLength()) + 3 * 3);

    DhcpPacket again;
    ASSERT_TRUE(again.Parse(v.data(), static_cast<uint32_t>(v.size())));
    ExpectSameTables(packet, again);
}

TEST(DhcpPacket, VendorContentOf254BytesFitsOneOptionAndTheLongestSubOptionRoundTrips)
{
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(Datagram({255}, 1500).data(), 1500));
    // 150 + 2 and 100 + 2 = 254 bytes: one option 43 of length 255.
    TBytes vValue(253, 0x41);
    ASSERT_TRUE(packet.SetVendorOption(1, vValue.data(), 150));
    ASSERT_TRUE(packet.SetVendorOption(2, vValue.data(), 100));
    TBytes v = Serialized(packet);
    EXPECT_EQ(v[240], 43);
    EXPECT_EQ(v[241], 255);
    EXPECT_EQ(v[242 + 254], 255);  // sub-option END
    EXPECT_EQ(v[243 + 254], 255);  // END

    // A 253-byte sub-option fills a whole option 43: it goes out without a
    // sub-option END and parses back unchanged.
    EXPECT_FALSE(packet.SetVendorOption(3, vValue.data(), 254));
    ASSERT_TRUE(packet.SetVendorOption(3, vValue.data(), 253));
    v = Serialized(packet);
    const size_t nThird = 240 + 257;
    EXPECT_EQ(v[nThird], 43);
    EXPECT_EQ(v[nThird + 1], 255);
    EXPECT_EQ(v[nThird + 2], 3);
    EXPECT_EQ(v[nThird + 257], 255);  // the END option follows at once
    DhcpPacket again;
    ASSERT_TRUE(again.Parse(v.data(), static_cast<uint32_t>(v.size())));
    ExpectSameTables(packet, again);
}

TEST(DhcpPacket, ClassIdentifierSplitsIntoOptions60_93_94)
{
    struct TCase
    {
        std::string strClassId;
        std::string str60;  // empty: option 60 absent
        TBytes v93;
        TBytes v94;
    };
    const TCase aCases[] = {
        {"PXEClient:Arch:00007:UNDI:003016", "PXEClient", {0, 7}, {1, 3, 16}},
        {"PXEClient:Arch:00000:UNDI:002001", "PXEClient", {0, 0}, {1, 2, 1}},
        // Runs of ':' are one separator; a longer first field is still a PXE client.
        {"PXEClientX::Arch:::65545:UNDI:1", "PXEClient", {0, 9}, {1, 1, 0}},
        // Short and other-vendor values are stored unchanged.
        {"PXEClient", "PXEClient", {}, {}},
        {"MSFT 5.0ab", "MSFT 5.0ab", {}, {}},
        // Long, not a PXE client: option 60 absent.
        {"MSFT 5.0 long class", "", {}, {}},
        {"::::::::::::", "", {}, {}},
        // Fields missing or of another kind stop the split.
        {"PXEClient:Arch", "PXEClient", {}, {}},
        {"PXEClient:Ar:00007:UNDI:003016", "PXEClient", {}, {}},
        {"PXEClient:Arch:7:UNDX:003016", "PXEClient", {0, 7}, {}},
        {"PXEClient:Arch:7:UNDI", "PXEClient", {0, 7}, {}},
        // No number where one is read: 0.
        {"PXEClient:Arch:abc:UNDI:xyz", "PXEClient", {0, 0}, {1, 0, 0}},
        {"PXEClient:Arch:-1:UNDI:12", "PXEClient", {0xff, 0xff}, {1, 12, 0}},
        {"PXEClient:Arch:99999999999999:UNDI:999", "PXEClient", {0x3f, 0xff}, {1, 0xe7, 0}},
    };
    for (const TCase& c : aCases)
    {
        TBytes vOptions{60, static_cast<uint8_t>(c.strClassId.size())};
        vOptions.insert(vOptions.end(), c.strClassId.begin(), c.strClassId.end());
        vOptions.push_back(255);
        const TBytes v = Datagram(vOptions, 300);
        DhcpPacket packet;
        ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size())));
        EXPECT_EQ(Option(packet, 60), c.str60) << c.strClassId;
        const std::string s93 = Option(packet, 93);
        const std::string s94 = Option(packet, 94);
        EXPECT_EQ(TBytes(s93.begin(), s93.end()), c.v93) << c.strClassId;
        EXPECT_EQ(TBytes(s94.begin(), s94.end()), c.v94) << c.strClassId;
        EXPECT_EQ(packet.OptionsLength(), CountedOptionsLength(packet)) << c.strClassId;
    }
}

TEST(DhcpPacket, FirstInstanceWinsExceptWhereTheClassIdentifierReplaces)
{
    const std::string strId = "PXEClient:Arch:00007:UNDI:003016";
    TBytes vOptions{53, 1, 1, 93, 2, 0, 9, 53, 1, 3, 60, static_cast<uint8_t>(strId.size())};
    vOptions.insert(vOptions.end(), strId.begin(), strId.end());
    vOptions.insert(vOptions.end(), {93, 2, 0, 6, 60, 3, 'a', 'b', 'c', 255});
    const TBytes v = Datagram(vOptions);
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size())));
    EXPECT_EQ(Option(packet, 53), std::string("\x01", 1));
    // The split replaces the option 93 met before it; later ones are ignored.
    EXPECT_EQ(Option(packet, 93), std::string("\x00\x07", 2));
    EXPECT_EQ(Option(packet, 60), "PXEClient");
    EXPECT_EQ(packet.OptionsLength(), 5 + 3 + 4 + 11 + 5);
}

TEST(DhcpPacket, WalkStopsAtTheAreaAndNeverReadsPastTheDatagram)
{
    // Options of length 254 and 255 are skipped whole; the walk goes on after them.
    TBytes vOptions{53, 1, 1, 77, 254};
    vOptions.resize(vOptions.size() + 254, 'x');
    vOptions.insert(vOptions.end(), {78, 255});
    vOptions.resize(vOptions.size() + 255, 'y');
    vOptions.insert(vOptions.end(), {12, 2, 'h', 'i', 255});
    TBytes v = Datagram(vOptions);
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size())));
    EXPECT_EQ(Option(packet, 77).size(), 254u);
    EXPECT_EQ(Option(packet, 78).size(), 255u);
    EXPECT_EQ(Option(packet, 12), "hi");

    // The datagram ends inside or exactly at an option (no END): an option
    // whose last byte is the datagram's last byte is dropped, and so is one
    // that claims more bytes than are left. The vectors are sized exactly so
    // that a read beyond them is caught by the address sanitizer.
    for (const TBytes& vTail : {TBytes{53, 1, 1, 12, 2, 'h', 'i'}, TBytes{53, 1, 1, 12, 200, 'h', 'i'},
                                TBytes{53, 1, 1, 12}, TBytes{53, 1, 1, 43, 9, 71, 4, 0, 1, 0, 0}})
    {
        v = Datagram(vTail);
        v.shrink_to_fit();
        ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size())));
        EXPECT_EQ(Option(packet, 53), std::string("\x01", 1));
        EXPECT_FALSE(packet.HasOption(12));
        EXPECT_EQ(packet.OptionsLength(), CountedOptionsLength(packet));
    }
    // An option 43 cut by the datagram's end keeps the whole sub-options inside it.
    EXPECT_EQ(VendorOption(packet, 71), std::string("\x00\x01\x00\x00", 4));

    // Too short for header and cookie: refused, the packet is left empty.
    v = Datagram({});
    v.resize(239);
    v.shrink_to_fit();
    EXPECT_FALSE(packet.Parse(v.data(), 239));
    EXPECT_EQ(packet.OptionsLength(), 5);
    EXPECT_EQ(packet.GetXid(), 0u);
    EXPECT_FALSE(packet.Parse(nullptr, 300));
}

TEST(DhcpPacket, VendorOptionsJoinAcrossInstancesAndLaterSubOptionsReplace)
{
    const TBytes vOptions{43, 6, 6, 1, 7, 71, 1, 9,           // 71 replaced below
                          53, 1, 3,                           //
                          43, 9, 71, 4, 0, 1, 0, 0, 255, 8, 1, // END stops the walk: 8 is not read
                          43, 7, 10, 2, 0, 'x', 9, 9, 1,      // 9 runs past its option 43
                          255};
    const TBytes v = Datagram(vOptions);
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size())));
    EXPECT_EQ(VendorOption(packet, 6), std::string("\x07", 1));
    EXPECT_EQ(VendorOption(packet, 71), std::string("\x00\x01\x00\x00", 4));
    EXPECT_EQ(VendorOption(packet, 10), std::string("\x00x", 2));
    EXPECT_EQ(packet.GetVendorOption(8, nullptr, 0), 0);
    EXPECT_EQ(packet.GetVendorOption(9, nullptr, 0), 0);
    EXPECT_EQ(packet.GetOption(43, nullptr, 0), 0);  // option 43 itself is never stored
    // The replaced sub-option 71 no longer counts.
    EXPECT_EQ(packet.OptionsLength(), 5 + 3 + 3 + 6 + 4);
    EXPECT_EQ(packet.OptionsLength(), CountedOptionsLength(packet));
}

TEST(DhcpPacket, OverloadedFieldsAreWalkedFileFirstAndRewritten)
{
    const TBytes vSeed = ReadSeed("overloaded-request.bin");
    ASSERT_EQ(vSeed.size(), 300u);
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(vSeed.data(), static_cast<uint32_t>(vSeed.size())));
    EXPECT_EQ(Option(packet, 67), "pxelinux.0");
    EXPECT_EQ(Option(packet, 66), "tftp");
    EXPECT_EQ(Option(packet, 12), "host");
    EXPECT_EQ(VendorOption(packet, 6), std::string("\x07", 1));
    EXPECT_EQ(VendorOption(packet, 71), std::string("\x00\x01\x00\x00", 4));
    EXPECT_EQ(Option(packet, 93), std::string("\x00\x07", 2));
    // The fields now hold the names; option 52 no longer applies.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet.File())), "pxelinux.0");
    EXPECT_EQ(TBytes(packet.File() + 10, packet.File() + 128), TBytes(118, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet.Sname())), "tftp");
    EXPECT_EQ(TBytes(packet.Sname() + 4, packet.Sname() + 64), TBytes(60, 0));
    EXPECT_EQ(packet.GetOption(52, nullptr, 0), 0);
    EXPECT_EQ(packet.OptionsLength(), CountedOptionsLength(packet));

    // file before sname: the same option in both keeps file's value.
    TBytes v = Datagram({52, 1, 3, 255}, 300);
    const uint8_t aSname[] = {12, 1, 's', 255};
    const uint8_t aFile[] = {12, 1, 'f', 255};
    std::memcpy(v.data() + 44, aSname, sizeof(aSname));
    std::memcpy(v.data() + 108, aFile, sizeof(aFile));
    ASSERT_TRUE(packet.Parse(v.data(), 300));
    EXPECT_EQ(Option(packet, 12), "f");
    // No option 67 or 66: both fields are zero.
    EXPECT_EQ(TBytes(packet.Sname(), packet.File() + 128), TBytes(192, 0));

    // Overload 2 walks sname only; file keeps its bytes. Other values change nothing.
    v[242] = 2;
    ASSERT_TRUE(packet.Parse(v.data(), 300));
    EXPECT_EQ(Option(packet, 12), "s");
    EXPECT_EQ(std::memcmp(packet.File(), aFile, sizeof(aFile)), 0);
    v[242] = 4;
    ASSERT_TRUE(packet.Parse(v.data(), 300));
    EXPECT_FALSE(packet.HasOption(12));
    EXPECT_EQ(Option(packet, 52), "\x04");
    EXPECT_EQ(std::memcmp(packet.Sname(), aSname, sizeof(aSname)), 0);
}

TEST(DhcpPacket, GetOptionReportsLengthsAndTooSmallBuffers)
{
    const TBytes v = Datagram({53, 2, 1, 3, 80, 0, 43, 2, 7, 0, 255});
    DhcpPacket packet;
    ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size())));
    uint8_t aBuffer[2] = {0xEE, 0xEE};
    EXPECT_EQ(packet.GetOption(53, aBuffer, 1), -2);
    EXPECT_EQ(aBuffer[0], 0xEE);
    EXPECT_EQ(packet.GetOption(53, nullptr, 0), 2);
    EXPECT_EQ(packet.GetOption(53, aBuffer, 2), 2);
    EXPECT_EQ(aBuffer[1], 3);
    EXPECT_EQ(packet.GetOption(54, aBuffer, 2), 0);
    EXPECT_EQ(packet.GetVendorOption(71, aBuffer, 2), 0);
    // A zero-length option reads like an absent one, but it is stored and counted.
    EXPECT_EQ(packet.GetOption(80, aBuffer, 2), 0);
    EXPECT_TRUE(packet.HasOption(80));
    EXPECT_FALSE(packet.HasOption(81));
    EXPECT_EQ(packet.GetVendorOption(7, nullptr, 0), 0);
    EXPECT_TRUE(packet.HasVendorOption(7));
    EXPECT_EQ(packet.OptionsLength(), 5 + 4 + 2 + 2);
}

TEST(DhcpPacket, MaximumOptionsLengthFollowsTheDatagramLength)
{
    const struct
    {
        uint32_t nLength;
        int nMax;
    } aCases[] = {{600, 364}, {400, 340}, {575, 340}, {576, 340}, {577, 341}, {1500, 1264}, {65536 + 400, 340}};
    for (const auto& c : aCases)
    {
        const TBytes v = Datagram({255}, c.nLength);
        DhcpPacket packet;
        ASSERT_TRUE(packet.Parse(v.data(), c.nLength));
        EXPECT_EQ(packet.MaxOptionsLength(), c.nMax) << c.nLength;
    }
}

TEST(DhcpPacket, SettersKeepTheOptionsLengthWithinTheMaximum)
{
    DhcpPacket packet;
    TBytes vValue(255, 'v');
    ASSERT_TRUE(packet.SetOption(12, vValue.data(), 255));  // 5 + 257 = 262
    EXPECT_FALSE(packet.SetOption(13, vValue.data(), 77));  // 262 + 79 = 341
    EXPECT_EQ(packet.OptionsLength(), 262);
    ASSERT_TRUE(packet.SetOption(13, vValue.data(), 76));   // 340
    EXPECT_FALSE(packet.SetVendorOption(1, vValue.data(), 0));
    // Replacing counts the old option out first.
    EXPECT_FALSE(packet.SetOption(13, vValue.data(), 77));
    EXPECT_EQ(Option(packet, 13).size(), 76u);
    ASSERT_TRUE(packet.SetOption(13, vValue.data(), 10));
    EXPECT_EQ(packet.OptionsLength(), 262 + 12);
    packet.RemoveOption(12);
    packet.RemoveOption(12);
    EXPECT_EQ(packet.OptionsLength(), 17);
    ASSERT_TRUE(packet.SetVendorOption(71, vValue.data(), 0));
    EXPECT_EQ(packet.OptionsLength(), 19);
    packet.RemoveVendorOption(71);
    EXPECT_EQ(packet.OptionsLength(), 17);

    // Pad, END and option 43 are never stored; values are at most 255 bytes.
    EXPECT_FALSE(packet.SetOption(0, vValue.data(), 1));
    EXPECT_FALSE(packet.SetOption(255, vValue.data(), 1));
    EXPECT_FALSE(packet.SetOption(43, vValue.data(), 1));
    EXPECT_FALSE(packet.SetVendorOption(255, vValue.data(), 1));
    EXPECT_FALSE(packet.SetOption(14, vValue.data(), 256));
    EXPECT_FALSE(packet.SetOption(14, vValue.data(), -1));
    EXPECT_EQ(packet.OptionsLength(), 17);
}

TEST(DhcpPacket, HeaderFieldsAreRawWireBytesAndVariableFieldsAreBounded)
{
    DhcpPacket packet;
    packet.SetOp(2);
    packet.SetXid(htonl(0x01020304));
    packet.SetFlags(htons(0x8000));
    packet.SetSiaddr(htonl(0xC6120001));
    const TBytes v = Serialized(packet);
    EXPECT_EQ(TBytes(v.begin(), v.begin() + 24), (TBytes{2, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                          198, 18, 0, 1}));
    DhcpPacket again;
    ASSERT_TRUE(again.Parse(v.data(), static_cast<uint32_t>(v.size())));
    EXPECT_EQ(ntohl(again.GetXid()), 0x01020304u);
    EXPECT_EQ(ntohs(again.GetFlags()), 0x8000);

    uint8_t aBuffer[256];
    EXPECT_EQ(packet.CopyChaddr(aBuffer, 16), 0);  // hlen 0
    const uint8_t aMac[20] = {0x52, 0x54, 0, 0x12, 0x34, 0x56, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    packet.SetChaddr(aMac, 20);
    EXPECT_EQ(packet.GetHlen(), 16);
    packet.SetChaddr(aMac, 6);
    EXPECT_EQ(packet.CopyChaddr(aBuffer, 16), 6);
    EXPECT_EQ(std::memcmp(aBuffer, aMac, 6), 0);
    EXPECT_EQ(TBytes(packet.Chaddr() + 6, packet.Chaddr() + 16), TBytes(10, 0));
    EXPECT_EQ(packet.CopyChaddr(aBuffer, 5), 0);
    // hlen above the 16 bytes of chaddr: only chaddr is copied, the rest is zero.
    packet.SetHlen(200);
    packet.SetFile("name", 4);
    std::memset(aBuffer, 0xEE, sizeof(aBuffer));
    EXPECT_EQ(packet.CopyChaddr(aBuffer, 256), 200);
    EXPECT_EQ(TBytes(aBuffer + 6, aBuffer + 200), TBytes(194, 0));
    EXPECT_EQ(aBuffer[200], 0xEE);

    const std::string strLong(200, 'f');
    packet.SetFile(strLong.data(), 200);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet.File()), 128), strLong.substr(0, 128));
    packet.SetFile("ab", 2);
    EXPECT_EQ(TBytes(packet.File() + 2, packet.File() + 128), TBytes(126, 0));
}

TEST(DhcpPacket, RealClientDatagramsParseAndRoundTrip)
{
    const struct
    {
        const char* szName;
        uint8_t nType;
        TBytes v93;
        bool bBootItem;
    } aSeeds[] = {
        {"ipxe-bios-discover-to-67.bin", 1, {0, 0}, false},
        {"ipxe-bios-request-to-67.bin", 3, {0, 0}, false},
        {"ipxe-bios-request-to-4011.bin", 3, {0, 0}, true},
        {"edk2-uefi-discover-to-67.bin", 1, {0, 7}, false},
        {"edk2-uefi-request-to-67.bin", 3, {0, 7}, false},
        {"edk2-uefi-request-to-4011.bin", 3, {0, 7}, true},
    };
    for (const auto& s : aSeeds)
    {
        const TBytes v = ReadSeed(s.szName);
        ASSERT_GE(v.size(), 300u) << s.szName;
        DhcpPacket packet;
        ASSERT_TRUE(packet.Parse(v.data(), static_cast<uint32_t>(v.size()))) << s.szName;
        EXPECT_EQ(Option(packet, 53), std::string(1, static_cast<char>(s.nType))) << s.szName;
        EXPECT_EQ(Option(packet, 60), "PXEClient") << s.szName;
        const std::string s93 = Option(packet, 93);
        EXPECT_EQ(TBytes(s93.begin(), s93.end()), s.v93) << s.szName;
        EXPECT_EQ(VendorOption(packet, 71), s.bBootItem ? std::string("\x00\x01\x00\x00", 4) : "") << s.szName;
        EXPECT_EQ(packet.GetHlen(), 6) << s.szName;
        EXPECT_EQ(packet.OptionsLength(), CountedOptionsLength(packet)) << s.szName;

        const TBytes vOut = Serialized(packet);
        EXPECT_EQ(TBytes(vOut.begin(), vOut.begin() + 240), TBytes(v.begin(), v.begin() + 240)) << s.szName;
        DhcpPacket again;
        ASSERT_TRUE(again.Parse(vOut.data(), static_cast<uint32_t>(vOut.size())));
        ExpectSameTables(packet, again);
    }
}
