// The wire layer byte for byte: the DHCP packet codec, CIPAddr, and the boot menu's bound. (The
// replies' exact bytes, menu and all, are checked with the request handling.)
#include "boot/cipaddr.h"
#include "boottest.h"

#include <cstring>
#include <map>

namespace
{
const int kV = 256;  // codes 256 + n stand for vendor sub-option n

TBytes Cat(std::initializer_list<TBytes> parts)
{
    TBytes v;
    for (const TBytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

// A zero header, the cookie, then the option bytes, zero-padded to nLength.
TBytes Datagram(const TBytes& vOptions, size_t nLength = 0)
{
    return Text(std::string(236, '\0') + "\x63\x82\x53\x63" +
                    std::string(vOptions.begin(), vOptions.end()),
                nLength);
}

// Sub-option nCode with nLength value bytes that all hold nCode.
TBytes Sub(int nCode, int nLength)
{
    return Cat({{(uint8_t)nCode, (uint8_t)nLength}, TBytes(nLength, nCode)});
}

// sname holds option 12 = "s" and 66, file holds 12 = "f" and 67; option 52 = nOverload.
TBytes Overloaded(uint8_t nOverload)
{
    TBytes v = Datagram({52, 1, nOverload, 255}, 300);
    const TBytes vFields = Cat({{12, 1, 's', 66, 4}, Text("tftp"), {255}, TBytes(54, 0),
                                {12, 1, 'f', 67, 3}, Text("x.0")});
    std::copy(vFields.begin(), vFields.end(), v.begin() + 44);
    return v;
}
}  // namespace

TEST(DhcpPacket, ParseAndSerialize)
{
    const TBytes vPxe = Text("PXEClient"), v150(150, 1), v100(100, 2), v253(253, 3);
    const struct
    {
        const char* szWhat;
        TBytes vDatagram;               // with no datagram: the class identifier option 60 holds
        std::map<int, TBytes> mStored;  // every option and sub-option left stored
        // When given: the packet serialized; sname and file after parsing.
        TBytes vMessage = {}, vNames = {};
    } aCases[] = {
        {"nothing stored: no END", Datagram({255}), {}, Datagram({}, 300)},
        // Sub-options in instances of at most 254 bytes and an END; a 253-byte sub-option fills
        // its option 43, with no room for the END.
        {"split sub-options",
         Datagram(Cat({{43, 152}, Sub(1, 150), {43, 102}, Sub(2, 100), {43, 255}, Sub(3, 253)})),
         {{kV + 1, v150}, {kV + 2, v100}, {kV + 3, v253}},
         Datagram(Cat({{43, 255}, Sub(1, 150), Sub(2, 100), {255, 43, 255}, Sub(3, 253), {255}}))},
        {"254 and 255 bytes",
         Datagram(Cat({{53, 1, 1, 77, 254}, TBytes(254, 'x'), {78, 255}, TBytes(255, 'y'),
                       {80, 0, 12, 2, 'h', 'i', 255}})),
         {{53, {1}}, {77, TBytes(254, 'x')}, {78, TBytes(255, 'y')}, {80, {}}, {12, Text("hi")}}},
        // A last option without END that ends at the datagram's last byte is kept; one that runs
        // past it is dropped.
        {"ends at the last byte", Datagram({53, 1, 1, 12, 2, 'h', 'i'}),
         {{53, {1}}, {12, Text("hi")}}},
        {"one byte past the last", Datagram({53, 1, 1, 12, 3, 'h', 'i'}), {{53, {1}}}},
        {"no length byte", Datagram({53, 1, 1, 12}), {{53, {1}}}},
        {"option 43 cut short", Datagram({53, 1, 1, 43, 9, 71, 4, 0, 1, 0, 0, 7}),
         {{53, {1}}, {kV + 71, {0, 1, 0, 0}}}},
        // First instances win; option 43 instances join, later sub-options replace; END ends the
        // walk; 9 runs past its option 43.
        {"first instances",
         Datagram(Cat({{53, 1, 1, 93, 2, 0, 9, 43, 6, 6, 1, 7, 71, 1, 9, 53, 1, 3, 60, 32},
                       Text("PXEClient:Arch:00007:UNDI:003016"),
                       {93, 2, 0, 6, 60, 3, 'a', 'b', 'c', 43, 9, 71, 4, 0, 1, 0, 0, 255},
                       {8, 1, 43, 7, 10, 2, 0, 'x', 9, 9, 1, 255}})),
         {{53, {1}}, {60, vPxe}, {93, {0, 7}}, {94, {1, 3, 16}}, {kV + 6, {7}},
          {kV + 71, {0, 1, 0, 0}}, {kV + 10, {0, 'x'}}}},
        // Overload 3 walks file, then sname; the first instance of 12 wins. A walked field holds
        // the name option alone.
        {"overload 3", Overloaded(3), {{12, Text("f")}, {66, Text("tftp")}, {67, Text("x.0")}}, {},
         Cat({Text("tftp", 64), Text("x.0", 128)})},
        {"overload 2", Overloaded(2), {{12, Text("s")}, {66, Text("tftp")}}, {},
         Cat({Text("tftp", 64), {12, 1, 'f', 67, 3}, Text("x.0", 123)})},
        {"overload 4", Overloaded(4), {{52, {4}}}},
        {"PXEClientX::Arch:::65545:UNDI:1", {}, {{60, vPxe}, {93, {0, 9}}, {94, {1, 1, 0}}}},
        {"HTTPClient:Arch:00016:UNDI:003000", {},
         {{60, Text("HTTPClient")}, {93, {0, 16}}, {94, {1, 3, 0}}}},
        {"HTTPClien:Arch:00016", {}, {}},
        {"MSFT 5.0ab", {}, {{60, Text("MSFT 5.0ab")}}},  // 10 bytes: stored as it is
        {"MSFT 5.0 long class", {}, {}},
        {"PXEClient:Arch:99999999999999:UNDI:999", {},
         {{60, vPxe}, {93, {0x3f, 0xff}}, {94, {1, 0xe7, 0}}}},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szWhat);
        TBytes v = c.vDatagram.empty()
                       ? Datagram(Cat({{60, (uint8_t)strlen(c.szWhat)}, Text(c.szWhat), {255}}))
                       : c.vDatagram;
        v.shrink_to_fit();  // sized exactly: ASan catches a read past the datagram
        // The round trip and the options length the tables give are checked by the fuzz
        // target of the request decision for every datagram.
        DhcpPacket p;
        ASSERT_TRUE(p.Parse(v.data(), static_cast<uint32_t>(v.size())));
        EXPECT_TRUE(c.vNames.empty() || TBytes(p.Sname(), p.File() + 128) == c.vNames);
        EXPECT_TRUE(c.vMessage.empty() || Serialized(p) == c.vMessage);
        EXPECT_EQ(Tables(p), c.mStored);
    }
}

TEST(DhcpPacket, LengthsAndTheirLimits)
{
    DhcpPacket p;
    TBytes v(300, 0xEE);
    int nSize = 299;
    EXPECT_FALSE(p.Serialize(v.data(), nSize));  // all 300 bytes must fit; nothing is written
    EXPECT_EQ(v, TBytes(300, 0xEE));
    const TBytes vValue(255, 'v');
    ASSERT_TRUE(p.SetOption(12, vValue.data(), 255));  // 5 + 257 of at most 340
    EXPECT_FALSE(p.SetOption(13, vValue.data(), 77));  // 341
    ASSERT_TRUE(p.SetOption(13, vValue.data(), 76));
    EXPECT_FALSE(p.SetOption(13, vValue.data(), 77));  // the old value counts out first: still 341
    EXPECT_FALSE(p.SetVendorOption(1, vValue.data(), 0));
    EXPECT_EQ(p.GetOption(13, v.data(), 2), -76);  // too small: minus the length, nothing copied
    EXPECT_EQ(v[0], 0xEE);
    p.RemoveOption(12);
    // Pad, END and option 43 are never stored; values hold 0 to 255 bytes, sub-options 253.
    EXPECT_FALSE(p.SetOption(kOptPad, vValue.data(), 1) ||
                 p.SetOption(kOptEnd, vValue.data(), 1) ||
                 p.SetOption(kOptVendorSpecific, vValue.data(), 1) ||
                 p.SetOption(14, vValue.data(), 256) ||
                 p.SetOption(14, vValue.data(), -1) || p.SetVendorOption(9, vValue.data(), 254));
    EXPECT_EQ(p.OptionsLength(), 5 + 78);
    // Shorter than header and cookie: refused, the packet left empty.
    EXPECT_FALSE(p.Parse(vValue.data(), 239));
    EXPECT_EQ(p.OptionsLength(), 5);
    // The maximum follows the datagram's length modulo 65536 from 576 bytes on.
    for (const auto& c : {std::make_pair(577u, 341), {400u, 340}, {65536u + 400, 340}})
    {
        v = Datagram({255}, c.first);
        ASSERT_TRUE(p.Parse(v.data(), c.first));
        EXPECT_EQ(p.MaxOptionsLength(), c.second) << c.first;
    }
}

TEST(CIPAddr, AcceptedAndRefusedTexts)
{
    // A text read back as itself (""), or as the second text; nullptr when refused (at most 15
    // characters; a character that is neither a digit nor a dot ends the reading).
    const std::pair<const char*, const char*> aCases[] = {
        {"255.255.255.255", ""}, {"010.001.002.003", "10.1.2.3"}, {"0010.001.002.003", nullptr},
        {"1.2.3.4.5", nullptr},  {"1..2.3", nullptr},             {"1.2.3.256", nullptr},
        {"1.2.3", nullptr},      {"any NIC", nullptr}};
    for (const auto& c : aCases)
    {
        CIPAddr addr("10.9.9.9");
        const std::string strRead = !c.second ? "0.0.0.0" : *c.second ? c.second : c.first;
        EXPECT_EQ(addr.Parse(c.first), c.second != nullptr) << c.first;
        EXPECT_EQ(addr.ToString(), strRead) << c.first;
    }
}

// The boot menu step: a reply the menu would make larger than its buffer is left as it was.
TEST(BootMenu, LeavesAReplyTooLargeWhole)
{
    DhcpPacket p;
    ASSERT_TRUE(p.SetOption(kOptMessageType, &kDhcpOffer, 1) &&
                p.SetOption(kOptServerId, "\xc6\x12\x00\x01", 4) &&
                p.SetOption(kOptClassId, kPxeClassId, kPxeClassIdLength) && SetBootItem(p, 0, 0));
    TBytes v = Serialized(p);
    v.resize(400);
    // The menu makes it 308; a refused reply is left byte for byte.
    const TBytes vBefore = v;
    PxeReplyBuffer b{kDhcpServerPort, nullptr, 0, v.data(), 300, 307, {}};
    EXPECT_FALSE(AddBootMenu(&b));
    EXPECT_EQ(v, vBefore);
    b.nReplyCapacity = 308;
    EXPECT_TRUE(AddBootMenu(&b));
    EXPECT_EQ(b.nReplyLength, 308);  // what the menu says: the stored proxy offers
}
