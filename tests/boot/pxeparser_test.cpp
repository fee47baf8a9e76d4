// Request handling without sockets: the whole classification over real
// firmware datagrams and built requests, with a scripted console that writes
// down what it is asked.
#include "boottest.h"
#include "config/settings.h"

#include <ace/Log_Msg.h>

#include <sstream>

TEST(PxeRequestHandling, ClassificationAndReplies)
{
    gSettings.strIpAddress = "198.18.0.1";
    gSettings.strConsolePort = "40003";
    const EPxeReply None = EPxeReply::None, Proxy = EPxeReply::Proxy, Boot = EPxeReply::BootServer,
                    Info = EPxeReply::ConsoleInfo;
    const std::string qIpxe = "q 52:54:00:5b:00:01;", qEdk2 = "q 52:54:00:5b:00:02;", q = "q 52:54:00:12:34:56;",
                      qZero = "q 00:00:00:00:00:00;", sProxy = "s 0/0 52:54:00:12:34:56 198.18.0.2;";
    auto Ciaddr = [](DhcpPacket& p) { p.SetCiaddr(inet_addr("198.18.0.2")); };
    auto AsksConsoleInfo = [](DhcpPacket& p) { p.SetOption(55, "\x01\xc9\x03", 3); };
    const struct
    {
        const char* szWhat;
        uint16_t nPort;
        TBytes vRequest;
        int iResult;
        EPxeReply eKind;
        const char* szFile;          // the reply's file field
        std::string strAsked;        // "q <mac>;" per task query, "s <type>/<layer> <mac> <ciaddr>;" per selection
        const char* szLog = nullptr; // a line logged (nullptr: none, when nothing is sent)
        bool bTask = true, bSelect = true;
    } aCases[] = {
        // Dropped before the console is asked, without a log line.
        {"port 68", 68, Request(1), 0, None, "", ""},
        {"no option 53", 67, Request(0), 0, None, "", ""},
        {"DHCPOFFER", 67, Request(2), 0, None, "", ""},
        {"DHCPRELEASE", 4011, Request(7), 0, None, "", ""},
        {"option 53 of two bytes", 67, Request(1, [](DhcpPacket& p) { p.SetOption(53, "\x01\x01", 2); }), 0, None, "", ""},
        {"iPXE DHCPREQUEST to 67, ciaddr 0", 67, Capture("ipxe-bios-request-to-67"), 0, None, "", ""},
        {"shorter than the header", 67, TBytes(200, 0), 0, None, "", ""},
        // The console gate, the class identifier and the hardware address.
        {"no task", 67, Capture("ipxe-bios-discover-to-67"), 0, None, "", qIpxe, nullptr, false},
        {"not a PXE client", 67, Request(1, [](DhcpPacket& p) { p.SetOption(60, "MSFT 5.0", 8); }), 0, None, "", q},
        {"long class of another kind", 67,
         Request(1, [](DhcpPacket& p) { p.SetOption(60, "anaconda-Linux 5.14 x86_64", 26); }), 0, None, "", q},
        {"hlen 20", 67, Request(1, [](DhcpPacket& p) { p.SetHlen(20); }), 0, None, "", qZero},
        {"selection refuses", 4011, Capture("ipxe-bios-request-to-4011"), 0, None, "",
         qIpxe + "s 1/0 52:54:00:5b:00:01 198.18.0.190;", nullptr, true, false},
        // The replies to real firmware.
        {"iPXE discover", 67, Capture("ipxe-bios-discover-to-67"), 1, Proxy, "foo-image",
         qIpxe + "s 0/0 52:54:00:5b:00:01 0.0.0.0;", "Debug: Get file foo-image at "},
        {"EDK2 discover", 67, Capture("edk2-uefi-discover-to-67"), 1, Proxy, "foo-image",
         qEdk2 + "s 0/0 52:54:00:5b:00:02 0.0.0.0;"},
        {"iPXE boot request", 4011, Capture("ipxe-bios-request-to-4011"), 1, Boot, "images/linux.0",
         qIpxe + "s 1/0 52:54:00:5b:00:01 198.18.0.190;", "Debug: Get file images\\linux.0 at "},
        {"EDK2 boot request", 4011, Capture("edk2-uefi-request-to-4011"), 1, Boot, "images/linux.0",
         qEdk2 + "s 1/0 52:54:00:5b:00:02 198.18.0.191;"},
        // A boot item makes a boot request on either port; one of the wrong size is none.
        {"boot item to 67", 67, Request(3, [&](DhcpPacket& p) { Ciaddr(p); SetBootItem(p, 1, 0x0203); }), 1, Boot,
         "images/linux.0", q + "s 1/515 52:54:00:12:34:56 198.18.0.2;"},
        {"3-byte boot item", 4011,
         Request(3, [&](DhcpPacket& p) { Ciaddr(p); p.SetVendorOption(PXE_BOOT_ITEM, "\x00\x01\x00", 3); }), 1, Proxy,
         "foo-image", q + sProxy},
        // Passed, but no reply on 67; proxy requests on 4011.
        {"DHCPINFORM to 67", 67, Request(8, Ciaddr), 1, None, "", q},
        {"DHCPREQUEST to 67 with ciaddr", 67, Request(3, Ciaddr), 1, None, "", q,
         "Debug: Neither a boot request nor a proxy request at "},
        {"DHCPINFORM to 4011", 4011, Request(8, Ciaddr), 1, Proxy, "foo-image", q + sProxy},
        // Console info: needs no PXE class identifier, no selection.
        {"console info, DHCPINFORM", 67,
         Request(8, [&](DhcpPacket& p) { Ciaddr(p); AsksConsoleInfo(p); p.RemoveOption(60); }), 1, Info, "", q,
         "Info: Get console info, Mac Address is 52:54:00:12:34:56 at "},
        {"console info, discover", 67, Request(1, AsksConsoleInfo), 1, Info, "", q},
        {"console info, hlen 20", 67, Request(1, [&](DhcpPacket& p) { AsksConsoleInfo(p); p.SetHlen(20); }), 1, Info,
         "", qZero},
    };
    // This thread's log lines go to a string.
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    std::ostringstream os;
    ACE_OSTREAM_TYPE* pOldStream = pLog->msg_ostream();
    const unsigned long iOldFlags = pLog->flags();
    pLog->msg_ostream(&os);
    pLog->clr_flags(ACE_Log_Msg::STDERR);
    pLog->set_flags(ACE_Log_Msg::OSTREAM);
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szWhat);
        std::string strAsked;
        TPxeConsole console;
        console.fnQueryTask = [&](const std::string& strMac, const std::string&, std::string& strTask) {
            strAsked += "q " + strMac + ";";
            strTask = "Linux";
            return c.bTask;
        };
        console.fnSelectBootFile = [&](uint16_t nType, uint16_t nLayer, std::string& strFile,
                                       const std::string& strMac, const std::string& strIp) {
            strAsked += "s " + std::to_string(nType) + "/" + std::to_string(nLayer) + " " + strMac + " " + strIp + ";";
            strFile = nType == 0 ? "foo-image" : "images\\linux.0";  // backslashes reach the client as slashes
            return c.bSelect;
        };
        const PxeRequest request{c.nPort, c.vRequest.data(), static_cast<uint32_t>(c.vRequest.size()), {}, -1, 0};
        os.str("");
        const TPxeReply reply = BuildPxeReply(&request, console);
        EXPECT_EQ(reply.iResult, c.iResult);
        EXPECT_EQ(reply.eKind, c.eKind);
        EXPECT_EQ(strAsked, c.strAsked);
        ExpectReply(reply.vBytes, c.vRequest, c.eKind, c.szFile);
        EXPECT_EQ(os.str().empty(), c.szLog == nullptr && c.eKind == None) << os.str();
        EXPECT_NE(os.str().find(c.szLog ? c.szLog : ""), std::string::npos) << os.str();
    }
    pLog->clr_flags(ACE_Log_Msg::OSTREAM);
    pLog->set_flags(iOldFlags);
    pLog->msg_ostream(pOldStream);
}
