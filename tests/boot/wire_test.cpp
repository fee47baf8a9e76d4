// The wire layer byte for byte: the DHCP packet codec, CIPAddr, and the PXE
// vendor sub-options with the boot menu step.
#include "boot/cipaddr.h"
#include "boottest.h"

namespace
{
TBytes Cat(std::initializer_list<TBytes> parts)
{
    TBytes v;
    for (const TBytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

TBytes Text(const std::string& s)
{
    return TBytes(s.begin(), s.end());
}

// Text zero-filled to a field of n bytes.
TBytes Field(const char* sz, size_t n)
{
    TBytes v = Text(sz);
    v.resize(n);
    return v;
}

// A zero header, the cookie, then the option bytes, zero-padded to nLength.
TBytes Datagram(const TBytes& vOptions, size_t nLength = 0)
{
    TBytes v = Cat({TBytes(236, 0), {99, 130, 83, 99}, vOptions});
    v.resize(std::max(v.size(), nLength));
    return v;
}

// Sub-option nCode with nLength value bytes that all hold nCode.
TBytes Sub(int nCode, int nLength)
{
    TBytes v(static_cast<size_t>(nLength + 2), static_cast<uint8_t>(nCode));
    v[1] = static_cast<uint8_t>(nLength);
    return v;
}

bool ParseBytes(DhcpPacket& p, const TBytes& v)
{
    return p.Parse(v.data(), static_cast<uint32_t>(v.size()));
}

// The options length matches what the tables hold, and serializing and
// parsing again gives back the same tables.
void ExpectRoundTrip(const DhcpPacket& p)
{
    DhcpPacket again;
    ASSERT_TRUE(ParseBytes(again, Serialized(p)));
    int nCounted = 5;
    for (int i = 0; i < 255; ++i)
    {
        const uint8_t n = static_cast<uint8_t>(i);
        nCounted += (p.HasOption(n) ? Opt(p, n).size() + 2 : 0) + (p.HasVendorOption(n) ? Opt(p, n, true).size() + 2 : 0);
        EXPECT_EQ(Opt(again, n), Opt(p, n)) << i;
        EXPECT_EQ(Opt(again, n, true), Opt(p, n, true)) << i;
    }
    EXPECT_EQ(p.OptionsLength(), nCounted);
    EXPECT_EQ(again.OptionsLength(), nCounted);
}
}  // namespace

TEST(DhcpPacket, SerializesAscendingCodesThenOption43ThenEndPaddedTo300)
{
    DhcpPacket p;
    EXPECT_EQ(p.TotalLength(), 241);
    EXPECT_EQ(p.MaxOptionsLength(), 340);
    EXPECT_EQ(Serialized(p), Datagram({}, 300));  // nothing stored: no END
    TBytes v(300, 0xEE);
    for (int n : {241, 299})
    {
        int nSize = n;
        EXPECT_FALSE(p.Serialize(v.data(), nSize));
        EXPECT_EQ(nSize, n);
    }
    EXPECT_EQ(v, TBytes(300, 0xEE));
    ASSERT_TRUE(p.SetVendorOption(6, "\x07", 1));
    ASSERT_TRUE(p.SetOption(53, "\x02", 1));
    EXPECT_EQ(p.TotalLength(), 247);
    EXPECT_EQ(Serialized(p), Datagram({53, 1, 2, 43, 4, 6, 1, 7, 255, 255}, 300));
    ASSERT_TRUE(p.SetOption(54, "\xc6\x12\x00\x01", 4));
    p.RemoveVendorOption(6);  // no sub-options: no option 43
    EXPECT_EQ(Serialized(p), Datagram({53, 1, 2, 54, 4, 198, 18, 0, 1, 255}, 300));
}

TEST(DhcpPacket, VendorSubOptionsSplitAt254BytesAndJoinAgain)
{
    const struct
    {
        std::vector<int> vLengths;  // of sub-options 1, 2, ...
        TBytes vOptions;
    } aCases[] = {
        {{100, 100, 100, 100, 100},
         Cat({{43, 205}, Sub(1, 100), Sub(2, 100), {255, 43, 205}, Sub(3, 100), Sub(4, 100), {255, 43, 103},
              Sub(5, 100), {255, 255}})},
        {{150, 100}, Cat({{43, 255}, Sub(1, 150), Sub(2, 100), {255, 255}})},
        // A 253-byte sub-option fills its option 43: no room for a sub-option END.
        {{150, 100, 253}, Cat({{43, 255}, Sub(1, 150), Sub(2, 100), {255, 43, 255}, Sub(3, 253), {255}})},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.vLengths.size());
        DhcpPacket p;
        ASSERT_TRUE(ParseBytes(p, Datagram({255}, 1500)));  // room for 1264 bytes of options
        for (uint8_t n = 1; n <= c.vLengths.size(); ++n)
            ASSERT_TRUE(p.SetVendorOption(n, Sub(n, c.vLengths[n - 1]).data() + 2, c.vLengths[n - 1]));
        EXPECT_FALSE(p.SetVendorOption(9, TBytes(254).data(), 254));
        EXPECT_EQ(Serialized(p), Datagram(c.vOptions));
        EXPECT_EQ(p.MessageLength(), static_cast<int>(c.vOptions.size()) + 240);
        ExpectRoundTrip(p);
    }
}

TEST(DhcpPacket, ClassIdentifierSplitsIntoOptions60_93_94)
{
    const struct
    {
        const char* szClassId;
        const char* sz60;
        TBytes v93, v94;
    } aCases[] = {
        {"PXEClient:Arch:00007:UNDI:003016", "PXEClient", {0, 7}, {1, 3, 16}},
        {"PXEClientX::Arch:::65545:UNDI:1", "PXEClient", {0, 9}, {1, 1, 0}},  // ':' runs are one separator
        {"MSFT 5.0ab", "MSFT 5.0ab", {}, {}},                                   // 10 bytes: stored as it is
        {"MSFT 5.0 long class", "", {}, {}},                                    // long, no PXE client: no 60
        {"::::::::::::", "", {}, {}},
        {"PXEClient:Arch", "PXEClient", {}, {}},
        {"PXEClient:Ar:00007:UNDI:003016", "PXEClient", {}, {}},
        {"PXEClient:Arch:7:UNDX:003016", "PXEClient", {0, 7}, {}},
        // No number where one is read counts as 0.
        {"PXEClient:Arch:abc:UNDI:xyz", "PXEClient", {0, 0}, {1, 0, 0}},
        {"PXEClient:Arch:-1:UNDI:12", "PXEClient", {0xff, 0xff}, {1, 12, 0}},
        {"PXEClient:Arch:99999999999999:UNDI:999", "PXEClient", {0x3f, 0xff}, {1, 0xe7, 0}},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szClassId);
        const std::string strId = c.szClassId;
        DhcpPacket p;
        ASSERT_TRUE(ParseBytes(p, Datagram(Cat({{60, static_cast<uint8_t>(strId.size())}, Text(strId), {255}}))));
        EXPECT_EQ(Opt(p, 60), c.sz60);
        EXPECT_EQ(Text(Opt(p, 93)), c.v93);
        EXPECT_EQ(Text(Opt(p, 94)), c.v94);
        ExpectRoundTrip(p);
    }
}

TEST(DhcpPacket, FirstInstanceWinsAndOption43InstancesJoin)
{
    const TBytes v = Datagram(Cat({{53, 1, 1, 93, 2, 0, 9, 43, 6, 6, 1, 7, 71, 1, 9, 53, 1, 3, 60, 32},
                                   Text("PXEClient:Arch:00007:UNDI:003016"),
                                   {93, 2, 0, 6, 60, 3, 'a', 'b', 'c'},
                                   {43, 9, 71, 4, 0, 1, 0, 0, 255, 8, 1},  // END ends the sub-option walk
                                   {43, 7, 10, 2, 0, 'x', 9, 9, 1, 255}}));  // 9 runs past its option 43
    DhcpPacket p;
    ASSERT_TRUE(ParseBytes(p, v));
    EXPECT_EQ(Opt(p, 53), "\x01");
    EXPECT_EQ(Opt(p, 93), std::string("\x00\x07", 2));  // the split replaces the earlier 93
    EXPECT_EQ(Opt(p, 60), "PXEClient");
    EXPECT_FALSE(p.HasOption(43));
    EXPECT_EQ(Opt(p, 6, true), "\x07");
    EXPECT_EQ(Opt(p, 71, true), std::string("\x00\x01\x00\x00", 4));  // a later sub-option replaces
    EXPECT_EQ(Opt(p, 10, true), std::string("\x00x", 2));
    EXPECT_FALSE(p.HasVendorOption(8) || p.HasVendorOption(9));
    ExpectRoundTrip(p);
}

TEST(DhcpPacket, WalkStopsAtTheAreaAndNeverReadsPastTheDatagram)
{
    // Options of 254 and 255 bytes are taken whole; the walk goes on after them.
    DhcpPacket p;
    ASSERT_TRUE(ParseBytes(p, Datagram(Cat({{53, 1, 1, 77, 254}, TBytes(254, 'x'), {78, 255}, TBytes(255, 'y'),
                                            {12, 2, 'h', 'i', 255}}))));
    EXPECT_EQ(Opt(p, 77), std::string(254, 'x'));
    EXPECT_EQ(Opt(p, 78), std::string(255, 'y'));
    EXPECT_EQ(Opt(p, 12), "hi");
    // An option whose last byte is the datagram's last byte is dropped, and so
    // is one that claims more; an option 43 cut short keeps its whole
    // sub-options. The vectors are sized exactly: a read beyond is caught by ASan.
    for (const TBytes& vTail : {TBytes{53, 1, 1, 12, 2, 'h', 'i'}, TBytes{53, 1, 1, 12, 200, 'h', 'i'},
                                TBytes{53, 1, 1, 12}, TBytes{53, 1, 1, 43, 9, 71, 4, 0, 1, 0, 0, 7}})
    {
        TBytes v = Datagram(vTail);
        v.shrink_to_fit();
        ASSERT_TRUE(ParseBytes(p, v));
        EXPECT_EQ(Opt(p, 53), "\x01");
        EXPECT_FALSE(p.HasOption(12));
    }
    EXPECT_EQ(Opt(p, 71, true), std::string("\x00\x01\x00\x00", 4));
    // Shorter than header and cookie: refused, the packet left empty.
    EXPECT_FALSE(ParseBytes(p, TBytes(239, 1)));
    EXPECT_EQ(p.OptionsLength(), 5);
    EXPECT_EQ(p.GetXid(), 0u);
}

TEST(DhcpPacket, OverloadWalksFileThenSnameAndFoldsTheNamesBack)
{
    TBytes v = Datagram({52, 1, 3, 255}, 300);
    const TBytes vSname = Cat({{12, 1, 's', 66, 4}, Text("tftp"), {255}});
    const TBytes vFile = Cat({{12, 1, 'f', 67, 3}, Text("x.0"), {255}});
    std::copy(vSname.begin(), vSname.end(), v.begin() + 44);
    std::copy(vFile.begin(), vFile.end(), v.begin() + 108);
    const struct
    {
        uint8_t nOverload;
        const char *sz12, *szSname, *szFile;  // nullptr: the field keeps its bytes
    } aCases[] = {{3, "f", "tftp", "x.0"}, {2, "s", "tftp", nullptr}, {1, "f", nullptr, "x.0"}, {4, "", nullptr, nullptr}};
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.nOverload);
        v[242] = c.nOverload;
        DhcpPacket p;
        ASSERT_TRUE(ParseBytes(p, v));
        EXPECT_EQ(Opt(p, 12), c.sz12);
        EXPECT_EQ(TBytes(p.Sname(), p.Sname() + 64), c.szSname ? Field(c.szSname, 64) : TBytes(v.begin() + 44, v.begin() + 108));
        EXPECT_EQ(TBytes(p.File(), p.File() + 128), c.szFile ? Field(c.szFile, 128) : TBytes(v.begin() + 108, v.begin() + 236));
        EXPECT_EQ(p.HasOption(52), c.nOverload == 4);  // gone once the fields hold names again
        ExpectRoundTrip(p);
    }
}

TEST(DhcpPacket, OptionLengthsAndTheirMaximum)
{
    DhcpPacket p;
    ASSERT_TRUE(ParseBytes(p, Datagram({53, 2, 1, 3, 80, 0, 255})));
    uint8_t a[2] = {0xEE, 0xEE};
    EXPECT_EQ(p.GetOption(53, a, 1), -2);  // too small: minus the length, nothing copied
    EXPECT_EQ(a[0], 0xEE);
    EXPECT_EQ(p.GetOption(53, nullptr, 0), 2);
    EXPECT_EQ(p.GetOption(54, a, 2), 0);
    EXPECT_TRUE(p.HasOption(80));  // zero length reads like absent, but is stored and counted
    EXPECT_EQ(p.OptionsLength(), 5 + 4 + 2);

    // The maximum follows the datagram's length modulo 65536 from 576 bytes on.
    for (const auto& c : {std::make_pair(600u, 364), {400u, 340}, {577u, 341}, {65536u + 400, 340}})
    {
        ASSERT_TRUE(ParseBytes(p, Datagram({255}, c.first)));
        EXPECT_EQ(p.MaxOptionsLength(), c.second) << c.first;
    }

    DhcpPacket q;
    const TBytes v(255, 'v');
    ASSERT_TRUE(q.SetOption(12, v.data(), 255));   // 5 + 257
    EXPECT_FALSE(q.SetOption(13, v.data(), 77));   // 341 > 340
    ASSERT_TRUE(q.SetOption(13, v.data(), 76));    // 340
    EXPECT_FALSE(q.SetVendorOption(1, v.data(), 0));
    EXPECT_FALSE(q.SetOption(13, v.data(), 77));   // the old value counts out first: 341
    ASSERT_TRUE(q.SetOption(13, v.data(), 10));
    q.RemoveOption(12);
    q.RemoveOption(12);
    EXPECT_EQ(q.OptionsLength(), 17);
    // Pad, END and option 43 are never stored; values hold 0 to 255 bytes.
    for (uint8_t n : {0, 255, 43})
        EXPECT_FALSE(q.SetOption(n, v.data(), 1)) << int(n);
    EXPECT_FALSE(q.SetOption(14, v.data(), 256) || q.SetOption(14, v.data(), -1));
    EXPECT_EQ(q.OptionsLength(), 17);
}

TEST(DhcpPacket, VariableFieldsStayWithinTheirBytes)
{
    DhcpPacket p;
    uint8_t a[256];
    EXPECT_EQ(p.CopyChaddr(a, 16), 0);  // hlen 0
    const TBytes vMac = {0x52, 0x54, 0, 0x12, 0x34, 0x56, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    p.SetChaddr(vMac.data(), 18);
    EXPECT_EQ(p.GetHlen(), 16);
    EXPECT_EQ(TBytes(p.Chaddr(), p.Chaddr() + 20), Cat({TBytes(vMac.begin(), vMac.begin() + 16), TBytes(4, 0)}));
    p.SetChaddr(vMac.data(), 6);
    EXPECT_EQ(TBytes(p.Chaddr() + 6, p.Chaddr() + 16), TBytes(10, 0));
    EXPECT_EQ(p.CopyChaddr(a, 5), 0);
    // hlen beyond chaddr's 16 bytes: only chaddr is copied, then zeros.
    p.SetHlen(200);
    p.SetFile("name", 4);
    std::memset(a, 0xEE, sizeof(a));
    EXPECT_EQ(p.CopyChaddr(a, 256), 200);
    EXPECT_EQ(TBytes(a, a + 201), Cat({TBytes(vMac.begin(), vMac.begin() + 6), TBytes(194, 0), {0xEE}}));
    p.SetFile(TBytes(200, 'f').data(), 200);
    EXPECT_EQ(TBytes(p.File(), p.File() + 128), TBytes(128, 'f'));
    EXPECT_EQ(TBytes(p.Cookie(), p.Cookie() + 4), (TBytes{99, 130, 83, 99}));
    p.SetFile("ab", 2);
    EXPECT_EQ(TBytes(p.File(), p.File() + 128), Field("ab", 128));
}

TEST(DhcpPacket, RealFirmwareDatagramsRoundTrip)
{
    for (const char* sz : {"ipxe-bios-discover-to-67", "ipxe-bios-request-to-67", "ipxe-bios-request-to-4011",
                           "edk2-uefi-discover-to-67", "edk2-uefi-request-to-67", "edk2-uefi-request-to-4011"})
    {
        SCOPED_TRACE(sz);
        const TBytes v = Capture(sz);
        DhcpPacket p;
        ASSERT_TRUE(ParseBytes(p, v));
        EXPECT_EQ(Opt(p, 60), "PXEClient");
        const TBytes vOut = Serialized(p);
        EXPECT_EQ(TBytes(vOut.begin(), vOut.begin() + 240), TBytes(v.begin(), v.begin() + 240));
        ExpectRoundTrip(p);
    }
}

TEST(CIPAddr, AcceptedAndRefusedTextsAndTheTwoByteOrders)
{
    const struct
    {
        const char* szText;
        const char* szDotted;  // nullptr: refused, 0.0.0.0
    } aCases[] = {{"192.168.001.010", "192.168.1.10"}, {"255.255.255.255", "255.255.255.255"}, {"0.0.0.0", "0.0.0.0"},
                  {"010.001.002.003", "10.1.2.3"}, {"any NIC", nullptr}, {"", nullptr}, {"1.2.3", nullptr},
                  {"1.2.3.4.5", nullptr}, {"1..2.3", nullptr}, {"1.2.3.256", nullptr}, {" 1.2.3.4", nullptr},
                  {"1.2.3.4 ", nullptr}, {"1.2.3.", nullptr}, {"1.2.3.4x", nullptr}, {"1.2.3.-4", nullptr},
                  {"1000.2.3.4", nullptr}, {"0010.001.002.003", nullptr}};  // the last: 16 characters
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szText);
        const std::string strDotted = c.szDotted ? c.szDotted : "0.0.0.0";
        CIPAddr addr("10.9.9.9");
        EXPECT_EQ(addr.Parse(c.szText), c.szDotted != nullptr);
        EXPECT_EQ(addr.ToString(), strDotted);
        EXPECT_EQ(CIPAddr(c.szText).GetValue(true), inet_addr(strDotted.c_str()));
    }
    EXPECT_EQ(CIPAddr(std::string("1.2.3.4\0", 8)).GetValue(false), 0u);  // a NUL ends the text early

    const CIPAddr addr("10.1.2.3");
    EXPECT_EQ(addr.GetValue(false), 0x0A010203u);
    const uint32_t n = addr.GetValue(true);
    EXPECT_EQ(TBytes(reinterpret_cast<const uint8_t*>(&n), reinterpret_cast<const uint8_t*>(&n) + 4), (TBytes{10, 1, 2, 3}));
    EXPECT_EQ(TBytes(addr.Octets(), addr.Octets() + 4), (TBytes{10, 1, 2, 3}));
    EXPECT_TRUE(addr.IsValidHost());
    EXPECT_FALSE(CIPAddr("10.1.2.255").IsValidHost() || CIPAddr("0.1.2.3").IsValidHost());
}

namespace
{
const uint8_t kServer[4] = {198, 18, 0, 1};
const TBytes kBase = Cat({{53, 1, 2, 54, 4, 198, 18, 0, 1, 60, 9}, Text("PXEClient")});
const TBytes kMenu = Cat({{9, 8, 0, 1, 5}, Text("Linux"), {10, 26, 0}, Text("Press F8 to view the menu")});

// The reply base the handler builds: options 53, 54, 60 and sub-option 71.
void ReplyBase(DhcpPacket& p, uint8_t nType, uint16_t nServerType, uint16_t nLayer)
{
    ASSERT_TRUE(p.SetOption(53, &nType, 1) && p.SetOption(54, kServer, 4) && p.SetOption(60, "PXEClient", 9));
    ASSERT_TRUE(SetBootItem(p, nServerType, nLayer));
}

// Serialized into TotalLength + 512 bytes as the handler does, then the boot menu step.
TBytes WithMenu(const DhcpPacket& p)
{
    TBytes v(static_cast<size_t>(p.TotalLength() + 512));
    int n = static_cast<int>(v.size());
    EXPECT_TRUE(p.Serialize(v.data(), n));
    PxeReplyBuffer b;
    b.pReply = v.data();
    b.nReplyLength = static_cast<uint16_t>(n);
    b.nReplyCapacity = static_cast<uint16_t>(v.size());
    EXPECT_TRUE(AddBootMenu(&b));
    v.resize(b.nReplyLength);
    return v;
}
}  // namespace

TEST(BootMenu, ProxyAndBootServerRepliesByteForByte)
{
    DhcpPacket proxy;
    ReplyBase(proxy, 2, 0, 0);
    ASSERT_TRUE(SetDiscoveryControl(proxy) && SetBootServers(proxy, kServer));
    EXPECT_EQ(WithMenu(proxy), Datagram(Cat({kBase, {43, 57, 6, 1, 7, 8, 7, 0, 1, 1, 198, 18, 0, 1}, kMenu,
                                             {71, 4, 0, 0, 0, 0, 255, 255}})));  // 320 bytes

    DhcpPacket boot;
    ReplyBase(boot, 5, 1, 0x0203);
    TBytes vBase = kBase;
    vBase[2] = 5;
    const TBytes vBoot = WithMenu(boot);
    EXPECT_EQ(vBoot, Datagram(Cat({vBase, {43, 45}, kMenu, {71, 4, 0, 1, 2, 3, 255, 255}})));  // 308 bytes

    // A menu already there is replaced, not repeated.
    DhcpPacket again;
    ASSERT_TRUE(ParseBytes(again, vBoot));
    ASSERT_TRUE(again.SetVendorOption(PXE_BOOT_MENU, "\x00\x02\x03Win", 6));
    ASSERT_TRUE(again.SetVendorOption(PXE_MENU_PROMPT, "\x05Wait", 5));
    EXPECT_EQ(WithMenu(again), vBoot);
}

TEST(BootMenu, ReplyTheMenuDoesNotFitIsLeftWhole)
{
    DhcpPacket p;
    ReplyBase(p, 2, 0, 0);
    TBytes v(400, 0);
    int n = 400;
    ASSERT_TRUE(p.Serialize(v.data(), n));
    ASSERT_EQ(n, 300);  // 308 with the menu
    const TBytes vBefore = v;
    PxeReplyBuffer b;
    b.pReply = v.data();
    b.nReplyLength = 300;
    b.nReplyCapacity = 307;
    EXPECT_FALSE(AddBootMenu(&b));
    EXPECT_EQ(b.nReplyLength, 300);
    EXPECT_EQ(v, vBefore);
    b.nReplyCapacity = 308;
    EXPECT_TRUE(AddBootMenu(&b));
    EXPECT_EQ(b.nReplyLength, 308);
    b.nReplyLength = 200;  // no DHCP message: left alone
    EXPECT_FALSE(AddBootMenu(&b));
    EXPECT_EQ(b.nReplyLength, 200);
}
