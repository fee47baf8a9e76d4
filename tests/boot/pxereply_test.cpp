// The phases of a request one by one: what the classification makes of real firmware datagrams
// and built requests. (The replies' bytes and where they go: pxeparser_test.cpp.)
#include "boot/pxereply.h"
#include "boottest.h"

namespace
{
const EPxeVerdict Drop = EPxeVerdict::Drop, After = EPxeVerdict::DropAfterGate,
                  Pass = EPxeVerdict::Pass;
const EPxeClient Other = EPxeClient::Other, Rom = EPxeClient::PxeRom, Ipxe = EPxeClient::Ipxe,
                 Http = EPxeClient::UefiHttp;

// What a classification says, in one line, for the table below.
std::string Said(const TPxeRequestClass& c)
{
    std::string s = c.strMac + " " + c.strCiaddr;
    s += c.bConsoleInfo ? " info" : "";
    s += c.bBootItem ? " item " + std::to_string(c.nServerType) + "/" + std::to_string(c.nLayer)
                     : "";
    s += c.bProxy ? " proxy" : "";
    s += c.bNeither ? " neither" : "";
    return s;
}

void UserClass(DhcpPacket& p, const std::string& str)
{
    p.SetOption(77, str.data(), (int)str.size());
}
}  // namespace

TEST(PxeRequestPhases, Classification)
{
    const std::string strRom = "52:54:00:12:34:56 ", strZero = "00:00:00:00:00:00 ";
    auto Ciaddr = [](DhcpPacket& p) { p.SetCiaddr(inet_addr("198.18.0.2")); };
    const struct
    {
        const char* szWhat;
        uint16_t nPort;
        TBytes vRequest;
        EPxeVerdict eVerdict;
        uint8_t nType;
        EPxeClient eClient;
        std::string strSaid;  // as Said writes it
        bool bHttpBoot = false;
    } aCases[] = {
        {"port 68", 68, Request(1), Drop, 0, Other, " "},
        {"DHCPRELEASE", 4011, Request(7), Drop, 0, Other, " "},
        {"no option 53", 67, Request(1, [](DhcpPacket& p) { p.RemoveOption(53); }), Drop, 0, Other,
         " "},
        {"DHCPREQUEST to 67 without ciaddr", 67, Stored("ipxe-bios-request-to-67"), Drop, 0, Other,
         " "},
        // Real firmware: iPXE tells itself by option 175 and its user class.
        {"iPXE discover", 67, Stored("ipxe-bios-discover-to-67"), Pass, 1, Ipxe,
         "52:54:00:5b:00:01 0.0.0.0 proxy"},
        {"iPXE boot request", 4011, Stored("ipxe-bios-request-to-4011"), Pass, 3, Ipxe,
         "52:54:00:5b:00:01 198.18.0.190 item 1/0"},
        {"EDK2 discover", 67, Stored("edk2-uefi-discover-to-67"), Pass, 1, Rom,
         "52:54:00:5b:00:02 0.0.0.0 proxy"},
        {"EDK2 boot request", 4011, Stored("edk2-uefi-request-to-4011"), Pass, 3, Rom,
         "52:54:00:5b:00:02 198.18.0.191 item 1/0"},
        // iPXE by one mark alone; a user class that only resembles it is none.
        {"option 175 alone", 67, Request(1, [](DhcpPacket& p) { p.SetOption(175, "\xb1\x05", 2); }),
         Pass, 1, Ipxe, strRom + "0.0.0.0 proxy"},
        {"user class alone", 67, Request(1, [](DhcpPacket& p) { UserClass(p, "iPXE"); }), Pass, 1,
         Ipxe, strRom + "0.0.0.0 proxy"},
        {"user class list", 67,
         Request(1,
                 [](DhcpPacket& p) {
                     UserClass(p, std::string("\x03"
                                              "abc\x04iPXE"));
                 }),
         Pass, 1, Ipxe, strRom + "0.0.0.0 proxy"},
        {"user class iPXEs", 67, Request(1, [](DhcpPacket& p) { UserClass(p, "iPXEs"); }), Pass, 1,
         Rom, strRom + "0.0.0.0 proxy"},
        {"user class list cut short", 67,
         Request(1, [](DhcpPacket& p) { UserClass(p, "\x05iPXE"); }), Pass, 1, Rom,
         strRom + "0.0.0.0 proxy"},
        // After the console: the class identifier and the hardware address.
        {"not a PXE client", 67,
         Request(1, [](DhcpPacket& p) { p.SetOption(kOptClassId, "MSFT 5.0", 8); }), After, 1,
         Other, strRom},
        {"not a PXE client asking for console info", 67,
         Request(1,
                 [](DhcpPacket& p) {
                     p.SetOption(kOptClassId, "MSFT 5.0", 8), p.SetOption(55, "\xc9", 1);
                 }),
         Pass, 1, Other, strRom + "0.0.0.0 info proxy"},
        // A UEFI HTTP boot client passes while HTTP boot is on, with its discover.
        {"UEFI HTTP boot discover", 67, HttpClientDiscover(16), After, 1, Other,
         "52:54:00:5b:00:02 "},
        {"UEFI HTTP boot discover, HTTP on", 67, HttpClientDiscover(19), Pass, 1, Http,
         "52:54:00:5b:00:02 0.0.0.0 proxy", true},
        {"UEFI HTTP boot, a boot item", 4011,
         WithOption(HttpClientDiscover(16), kOptVendorSpecific, {71, 4, 0, 1, 0, 0, 255}), After, 1,
         Other, "52:54:00:5b:00:02 ", true},
        {"HTTPClient of 9 letters", 67,
         WithOption(Stored("edk2-uefi-discover-to-67"), kOptClassId, Text("HTTPClien")), After, 1,
         Other, "52:54:00:5b:00:02 ", true},
        {"hlen 20", 67, Request(1, [](DhcpPacket& p) { p.SetHlen(20); }), After, 1, Rom, strZero},
        {"zero chaddr", 67, Request(1, [](DhcpPacket& p) { p.SetChaddr("\0\0\0\0\0\0", 6); }),
         After, 1, Rom, strZero},
        // Which request it is.
        {"DHCPREQUEST to 67", 67, Request(3, Ciaddr), Pass, 3, Rom, strRom + "198.18.0.2 neither"},
        {"DHCPINFORM to 67", 67, Request(8, Ciaddr), Pass, 8, Rom, strRom + "198.18.0.2"},
        {"DHCPINFORM to 4011", 4011, Request(8, Ciaddr), Pass, 8, Rom, strRom + "198.18.0.2 proxy"},
        {"boot item to 67", 67,
         Request(3, [&](DhcpPacket& p) { Ciaddr(p), SetBootItem(p, 0x8001, 0x0203); }), Pass, 3,
         Rom, strRom + "198.18.0.2 item 32769/515"},
        {"3-byte boot item", 4011,
         Request(3,
                 [&](DhcpPacket& p) {
                     Ciaddr(p), p.SetVendorOption(PXE_BOOT_ITEM, "\x00\x01\x00", 3);
                 }),
         Pass, 3, Rom, strRom + "198.18.0.2 proxy"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szWhat);
        DhcpPacket request;
        request.Parse(c.vRequest.data(), (uint32_t)c.vRequest.size());
        const TPxeRequestClass cls = ClassifyPxeRequest(c.nPort, request, c.bHttpBoot);
        EXPECT_EQ(cls.eVerdict, c.eVerdict);
        EXPECT_EQ(cls.nType, c.nType);
        EXPECT_EQ(cls.eClient, c.eClient);
        EXPECT_EQ(Said(cls), c.strSaid);
    }
}
