// HTTP boot: which clients are told URLs. UEFI HTTP boot clients (EDK2's captured discover with
// option 60 made "HTTPClient:Arch:...") get an HTTP offer only while HTTP is on; iPXE gets URLs
// in its proxy offer and acknowledgement unless HTTP/ForIpxe says no; every other client keeps
// its TFTP names byte for byte. Replies are read in the text form of tests/boot/replytext.h.
#include "boottest.h"
#include "common/logcapture.h"
#include "config/archfolders.h"
#include "config/settings.h"

#include <sstream>

namespace
{
// The settings these tests change, put back after each.
class HttpBoot : public ::testing::Test
{
protected:
    void SetUp() override
    {
        saved = gSettings;
        bSavedAnyNic = bAnyNic;
        gSettings.strIpAddress = "198.18.0.1";
        gSettings.strConsolePort = "40003";
        gSettings.iHttpPort = 8080;
        gSettings.strHttpBaseUrl.clear();
        gSettings.bHttpForIpxe = true;
        bAnyNic = false;
        std::string strError;
        ASSERT_TRUE(
            ParseArchFolders("15=efi32/ 16=efi64 19=arm64/", gSettings.mapArchFolders, strError))
            << strError;
    }
    void TearDown() override
    {
        gSettings = saved;
        bAnyNic = bSavedAnyNic;
    }

    // The reply to vRequest on nPort, arrived at nLocalAddr; nQueries counts the task queries,
    // strLog holds what was logged.
    TPxeReply Reply(uint16_t nPort, const TBytes& vRequest, uint32_t nLocalAddr = 0)
    {
        nQueries = 0;
        const TPxeConsole console{
            [&](auto&, auto&, std::string& strTask) { return ++nQueries, strTask = "Linux", true; },
            [&](uint16_t nType, uint16_t, std::string& strFile, auto&, auto&) {
                return strFile = nType == 0 ? "foo-image" : "images\\linux.0", true;
            }};
        PxeRequest request{nPort, vRequest.data(), (uint32_t)vRequest.size()};
        request.nLocalAddr = nLocalAddr;
        TLogCapture log;
        const TPxeReply reply = BuildPxeReply(&request, console);
        strLog = log.All();
        return reply;
    }

    TSettings saved;
    bool bSavedAnyNic = false;
    int nQueries = 0;
    std::string strLog;
};

// The decoded lines of a reply that begin with one of the leads, joined by "|".
std::string Lines(const TBytes& v, std::initializer_list<const char*> aLeads)
{
    std::string strLines, s;
    std::istringstream in(replytext::Decode(v));
    while (std::getline(in, s))
        for (const char* szLead : aLeads)
            if (s.rfind(szLead, 0) == 0)
                strLines += (strLines.empty() ? "" : "|") + s;
    return strLines;
}

// The boot file names; the rest of a reply's shape is the stored replies'.
const auto Leads = {"file", "option 67"};
}  // namespace

TEST_F(HttpBoot, WhoIsToldUrls)
{
    const EPxeReply None = EPxeReply::None, Http = EPxeReply::HttpOffer, Proxy = EPxeReply::Proxy;
    auto UserClass = [](const std::string& str) {
        return Request(1, [str](DhcpPacket& p) { p.SetOption(77, str.data(), (int)str.size()); });
    };
    const TBytes vUserClass = UserClass("iPXE");
    const std::string strLong(200, 'x'), strTftp = "file \"foo-image\"",
                                         strHttp = "file \"http://198.18.0.1:8080/foo-image\"";
    const struct
    {
        const char* szWhat;
        uint16_t nPort;
        TBytes vRequest;
        int iHttpPort;
        std::string strBaseUrl;
        EPxeReply eKind;
        const char* szStored;  // the stored reply, or the lines Leads picks from it
        std::string strLines = "";
        bool bForIpxe = true;
    } aCases[] = {
        // UEFI HTTP boot clients: each architecture its folder; the URL's host is the address in
        // option 54 and siaddr.
        {"IA32", 67, HttpClientDiscover(15), 8080, "", Http, "http-offer-arch-15"},
        {"x86-64", 67, HttpClientDiscover(16), 8080, "", Http, "http-offer-arch-16"},
        {"ARM64", 67, HttpClientDiscover(19), 8080, "", Http, "http-offer-arch-19"},
        // A base URL is taken as it is, with a port of its own or without HTTP/Port.
        {"base URL", 67, HttpClientDiscover(16), 0, "http://198.18.0.7:81/boot/", Http, nullptr,
         "file \"http://198.18.0.7:81/boot/efi64/images/linux.0\"|option 67 boot file: "
         "\"http://198.18.0.7:81/boot/efi64/images/linux.0\""},
        // Too long for the file field: option 67 alone; too long for option 67: no reply.
        {"URL of 230 bytes", 67, HttpClientDiscover(16), 0, "http://h/" + strLong + "/", Http,
         nullptr,
         "file (128 zero bytes)|option 67 boot file: \"http://h/" + strLong +
             "/efi64/images/linux.0\""},
        {"URL of 261 bytes", 67, HttpClientDiscover(16), 0,
         "http://h/" + strLong + std::string(31, 'y') + "/", None, nullptr},
        // Off, or with a boot item: dropped after the console is asked, as before HTTP boot.
        {"HTTP off", 67, HttpClientDiscover(16), 0, "", None, nullptr},
        {"boot item", 67, WithOption(HttpClientDiscover(16), 43, {71, 4, 0, 1, 0, 0, 255}), 8080,
         "", None, nullptr},
        // iPXE, by option 175 or its user class, gets URLs in the offer and the acknowledgement.
        {"iPXE discover", 67, Stored("ipxe-bios-discover-to-67"), 8080, "", Proxy,
         "ipxe-http-discover"},
        {"iPXE boot request", 4011, Stored("ipxe-bios-request-to-4011"), 8080, "",
         EPxeReply::BootServer, "ipxe-http-boot-request"},
        {"user class alone", 67, vUserClass, 8080, "", Proxy, nullptr, strHttp},
        {"option 175 alone", 67, Request(1, [](DhcpPacket& p) { p.SetOption(175, "\xb1\x05", 2); }),
         8080, "", Proxy, nullptr, strHttp},
        {"user class list", 67, UserClass("\3abc\4iPXE"), 8080, "", Proxy, nullptr, strHttp},
        // A user class that only resembles iPXE's is none; HTTP/ForIpxe no, or a URL too long for
        // the file field, leaves the TFTP name.
        {"user class iPXEs", 67, UserClass("iPXEs"), 8080, "", Proxy, nullptr, strTftp},
        {"ForIpxe no", 67, vUserClass, 8080, "", Proxy, nullptr, strTftp, false},
        {"URL of 128 bytes", 67, vUserClass, 8080, "http://h/" + std::string(109, 'x') + "/", Proxy,
         nullptr, strTftp},
        // Other PXE clients keep their TFTP names byte for byte.
        {"EDK2 discover", 67, Stored("edk2-uefi-discover-to-67"), 8080, "", Proxy, "edk2-discover"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szWhat);
        gSettings.iHttpPort = c.iHttpPort;
        gSettings.strHttpBaseUrl = c.strBaseUrl;
        gSettings.bHttpForIpxe = c.bForIpxe;
        const TPxeReply reply = Reply(c.nPort, c.vRequest);
        EXPECT_EQ(nQueries, 1);
        EXPECT_EQ(reply.iResult, c.eKind != None);
        EXPECT_EQ(reply.eKind, c.eKind);
        if (c.szStored)
            ExpectStoredReply(c.szStored, reply.vBytes);
        else
            EXPECT_EQ(Lines(reply.vBytes, Leads), c.strLines);
        EXPECT_EQ(reply.record.strEvent,
                  c.eKind == None ? "dropped" : c.eKind == EPxeReply::BootServer ? "ack" : "offer");
    }
}

// Option 97 is echoed only as a machine identifier of 17 bytes (the stored offers carry one).
TEST_F(HttpBoot, ShortMachineIdentifierNotEchoed)
{
    const TPxeReply reply =
        Reply(67, WithOption(HttpClientDiscover(16), kOptClientGuid, {0, 1, 2, 3, 4}));
    EXPECT_EQ(Lines(reply.vBytes, {"option 60", "option 97"}),
              "option 60 class identifier: \"HTTPClient\"");
}

// Shim, the acknowledgement's file, loads grubx64.efi from its own folder at the server the
// proxy offer named; iPXE fetches both files over HTTP. So the offer and the acknowledgement of
// one boot name the same server and the same folder: the configured address, or with no interface
// configured the one the request arrived at, in siaddr, option 54 and the URL.
TEST_F(HttpBoot, ShimPathOfferAndAcknowledgementAgree)
{
    gSettings.mapArchFolders = {{0, "bios/"}, {7, "efi64/"}};
    const std::tuple<const char*, bool, const char*, const char*> aCases[] = {
        {"edk2-uefi", false, "198.18.0.1", "efi64/"},
        {"ipxe-bios", false, "198.18.0.1", "http://198.18.0.1:8080/bios/"},
        {"ipxe-bios", true, "198.18.0.5", "http://198.18.0.5:8080/bios/"}};
    for (const auto& [szClient, bAny, szServer, szFolder] : aCases)
    {
        SCOPED_TRACE(std::string(szClient) + (bAny ? " any NIC" : ""));
        bAnyNic = bAny;
        const std::string strClient = szClient, strSiaddr = std::string("siaddr ") + szServer,
                          strId = std::string("|option 54 server identifier: ") + szServer;
        const uint32_t nLocal = inet_addr("198.18.0.5");
        const TPxeReply offer = Reply(67, Stored(strClient + "-discover-to-67"), nLocal),
                        ack = Reply(4011, Stored(strClient + "-request-to-4011"), nLocal);
        const auto aLeads = {"siaddr", "option 54", "file"};
        EXPECT_EQ(Lines(offer.vBytes, aLeads),
                  strSiaddr + "|file \"" + szFolder + "foo-image\"" + strId);
        EXPECT_EQ(Lines(ack.vBytes, aLeads),
                  strSiaddr + "|file \"" + szFolder + "images/linux.0\"" + strId);
    }
}

// BootServer/ArchFolders: the client's architecture (option 93, its first number) puts a folder
// before the boot file name, with slashes for backslashes; an option 93 of odd length names none.
TEST_F(HttpBoot, BootFileFolderByArchitecture)
{
    gSettings.mapArchFolders = {{7, "efi\\x64\\"}};
    for (const auto& [vArch, szFile] :
         {std::make_pair(TBytes{0, 7, 0, 0}, "efi/x64/foo-image"), {TBytes{0, 7, 0}, "foo-image"}})
    {
        const TPxeReply reply =
            Reply(67, Request(1, [&](DhcpPacket& p) {
                      p.SetOption(kOptClassId, "PXEClient", 9);
                      p.SetOption(kOptClientArch, vArch.data(), (int)vArch.size());
                  }));
        EXPECT_EQ(Lines(reply.vBytes, {"file"}), std::string("file \"") + szFile + "\"");
        EXPECT_EQ(strLog.find("Debug: Folder efi\\x64\\ for client architecture 7 at ") !=
                      std::string::npos,
                  szFile[0] == 'e')
            << strLog;
    }
}
