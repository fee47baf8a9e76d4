// Request handling without sockets: the classification, the three replies
// byte by byte, and the choice of destination. The console is replaced by a
// scripted one that counts its calls.
#include "boot/bootmenu.h"
#include "boot/dhcppacket.h"
#include "boot/pxeparser.h"
#include "config/settings.h"
#include "common/testutil.h"

#include <ace/Log_Msg.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>

namespace
{
const char* const kServiceIp = "198.18.0.1";

std::vector<unsigned char> Capture(const std::string& strName)
{
    std::string s = ReadFile(std::string(PXE_SOURCE_DIR) + "/tests/boot/captures/" + strName + ".bin");
    return std::vector<unsigned char>(s.begin(), s.end());
}

// A console that answers from fixed values and records what it was asked.
struct TScriptedConsole
{
    bool bHasTask = true;
    bool bSelect = true;
    std::string strFile = "linux.0";
    int nQueries = 0;
    int nSelects = 0;
    std::string strLastMac;
    uint16_t nLastType = 0xffff, nLastLayer = 0xffff;
    std::string strLastIp;

    TPxeConsole Make()
    {
        TPxeConsole c;
        c.fnQueryTask = [this](const std::string& strMac, const std::string&, std::string& strTask) {
            ++nQueries;
            strLastMac = strMac;
            strTask = bHasTask ? "Linux" : "";
            return bHasTask;
        };
        c.fnSelectBootFile = [this](uint16_t nType, uint16_t nLayer, std::string& strOut, const std::string&,
                                    const std::string& strIp) {
            ++nSelects;
            nLastType = nType;
            nLastLayer = nLayer;
            strLastIp = strIp;
            if (!bSelect)
                return false;
            strOut = nType == 0 ? "foo-image" : strFile;
            return true;
        };
        return c;
    }
};

// Routes this thread's log lines into a string for the life of the object.
class TLogCapture
{
public:
    TLogCapture()
    {
        ACE_Log_Msg* p = ACE_Log_Msg::instance();
        pOld = p->msg_ostream();
        iOldFlags = p->flags();
        p->msg_ostream(&os);
        p->clr_flags(ACE_Log_Msg::STDERR);
        p->set_flags(ACE_Log_Msg::OSTREAM);
    }
    ~TLogCapture()
    {
        ACE_Log_Msg* p = ACE_Log_Msg::instance();
        p->clr_flags(ACE_Log_Msg::OSTREAM);
        p->set_flags(iOldFlags);
        p->msg_ostream(pOld);
    }
    std::string Text() const { return os.str(); }

private:
    std::ostringstream os;
    ACE_OSTREAM_TYPE* pOld;
    unsigned long iOldFlags;
};

// A request as a DHCP client builds it.
struct TRequestSpec
{
    int iType = 1;                // option 53; 0: none
    std::string strClass = "PXEClient:Arch:00000:UNDI:002001";
    std::vector<uint8_t> vParams = {1, 3, 43, 60, 66, 67};
    int iBootType = -1;           // sub-option 71 when >= 0
    int iLayer = 0;
    uint32_t nCiaddr = 0;         // network order
    uint32_t nGiaddr = 0;
    uint8_t nHlen = 6;
};

std::vector<unsigned char> BuildRequest(const TRequestSpec& spec)
{
    DhcpPacket p;
    p.SetOp(1);
    p.SetHtype(1);
    const uint8_t aMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    p.SetChaddr(aMac, 6);
    p.SetHlen(spec.nHlen);
    p.SetXid(htonl(0x11223344));
    p.SetSecs(htons(4));
    p.SetFlags(htons(0x8000));
    p.SetCiaddr(spec.nCiaddr);
    p.SetGiaddr(spec.nGiaddr);
    if (spec.iType > 0)
    {
        uint8_t n = (uint8_t)spec.iType;
        p.SetOption(53, &n, 1);
    }
    if (!spec.strClass.empty())
        p.SetOption(60, spec.strClass.data(), (int)spec.strClass.size());
    if (!spec.vParams.empty())
        p.SetOption(55, spec.vParams.data(), (int)spec.vParams.size());
    if (spec.iBootType >= 0)
        SetBootItem(p, (uint16_t)spec.iBootType, (uint16_t)spec.iLayer);
    std::vector<unsigned char> v(1024);
    int n = (int)v.size();
    EXPECT_TRUE(p.Serialize(v.data(), n));
    v.resize((size_t)n);
    return v;
}

// The datagram v with one change made to it.
std::vector<unsigned char> Modified(const std::vector<unsigned char>& v, const std::function<void(DhcpPacket&)>& fnChange)
{
    DhcpPacket p;
    EXPECT_TRUE(p.Parse(v.data(), (uint32_t)v.size()));
    fnChange(p);
    std::vector<unsigned char> vOut(1024);
    int n = (int)vOut.size();
    EXPECT_TRUE(p.Serialize(vOut.data(), n));
    vOut.resize((size_t)n);
    return vOut;
}

PxeRequest MakeRequest(uint16_t nPort, const std::vector<unsigned char>& v)
{
    PxeRequest r;
    r.port = nPort;
    r.payload = v.data();
    r.length = (uint32_t)v.size();
    r.saFrom.sin_family = AF_INET;
    r.saFrom.sin_port = htons(68);
    r.saFrom.sin_addr.s_addr = inet_addr("198.18.0.2");
    return r;
}

uint32_t Ip(const char* sz)
{
    return inet_addr(sz);
}

class PxeRequestHandling : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gSettings.strIpAddress = kServiceIp;
        gSettings.strConsolePort = "40003";
    }

    TPxeReply Handle(uint16_t nPort, const std::vector<unsigned char>& v)
    {
        PxeRequest r = MakeRequest(nPort, v);
        return BuildPxeReply(&r, console.Make());
    }

    // Parses a reply and checks what every reply carries.
    void ExpectReplyBase(const TPxeReply& reply, const std::vector<unsigned char>& vRequest, uint8_t nType,
                         DhcpPacket& out)
    {
        ASSERT_FALSE(reply.vBytes.empty());
        ASSERT_TRUE(out.Parse(reply.vBytes.data(), (uint32_t)reply.vBytes.size()));
        DhcpPacket req;
        ASSERT_TRUE(req.Parse(vRequest.data(), (uint32_t)vRequest.size()));
        EXPECT_EQ(out.GetOp(), 2);
        EXPECT_EQ(out.GetHtype(), req.GetHtype());
        EXPECT_EQ(out.GetXid(), req.GetXid());
        EXPECT_EQ(out.GetSecs(), req.GetSecs());
        EXPECT_EQ(out.GetFlags(), req.GetFlags());
        EXPECT_EQ(out.GetYiaddr(), req.GetYiaddr());
        EXPECT_EQ(out.GetGiaddr(), req.GetGiaddr());
        EXPECT_EQ(out.GetCiaddr(), 0u);
        EXPECT_EQ(out.GetHops(), 0);
        EXPECT_EQ(memcmp(out.Chaddr(), req.Chaddr(), 6), 0);
        uint8_t n = 0;
        EXPECT_EQ(out.GetOption(53, &n, 1), 1);
        EXPECT_EQ(n, nType);
        uint8_t aId[4];
        ASSERT_EQ(out.GetOption(54, aId, 4), 4);
        EXPECT_EQ(memcmp(aId, "\xc6\x12\x00\x01", 4), 0);
        char szClass[16] = {};
        EXPECT_EQ(out.GetOption(60, szClass, 16), 9);
        EXPECT_STREQ(szClass, "PXEClient");
    }

    std::string File(const DhcpPacket& p) { return std::string((const char*)p.File(), strnlen((const char*)p.File(), 128)); }

    TScriptedConsole console;
};
}  // namespace

TEST_F(PxeRequestHandling, DroppedSilentlyBeforeTheConsoleIsAsked)
{
    TLogCapture log;
    struct
    {
        const char* szWhat;
        uint16_t nPort;
        std::vector<unsigned char> v;
    } aCases[] = {
        {"port 68", 68, BuildRequest(TRequestSpec())},
        {"no option 53", 67, BuildRequest([] { TRequestSpec s; s.iType = 0; return s; }())},
        {"DHCPOFFER", 67, BuildRequest([] { TRequestSpec s; s.iType = 2; return s; }())},
        {"DHCPRELEASE", 4011, BuildRequest([] { TRequestSpec s; s.iType = 7; return s; }())},
        {"DHCPREQUEST to 67 without ciaddr", 67, BuildRequest([] { TRequestSpec s; s.iType = 3; return s; }())},
        {"iPXE request to the DHCP server", 67, Capture("ipxe-bios-request-to-67")},
        {"EDK2 request to the DHCP server", 67, Capture("edk2-uefi-request-to-67")},
        {"shorter than the header", 67, std::vector<unsigned char>(200, 0)},
    };
    for (auto& c : aCases)
    {
        TPxeReply reply = Handle(c.nPort, c.v);
        EXPECT_EQ(reply.iResult, 0) << c.szWhat;
        EXPECT_TRUE(reply.vBytes.empty()) << c.szWhat;
    }
    EXPECT_EQ(console.nQueries, 0);
    EXPECT_EQ(log.Text(), "");

    // Option 53 with two bytes is no message type.
    EXPECT_EQ(Handle(67, Modified(BuildRequest(TRequestSpec()), [](DhcpPacket& p) { p.SetOption(53, "\x01\x01", 2); }))
                  .iResult,
              0);
    EXPECT_EQ(console.nQueries, 0);
}

TEST_F(PxeRequestHandling, ConsoleGateAndClassIdentifier)
{
    // No task: dropped after one query, nothing selected.
    console.bHasTask = false;
    TPxeReply reply = Handle(67, Capture("ipxe-bios-discover-to-67"));
    EXPECT_EQ(reply.iResult, 0);
    EXPECT_TRUE(reply.vBytes.empty());
    EXPECT_EQ(console.nQueries, 1);
    EXPECT_EQ(console.strLastMac, "52:54:00:5b:00:01");
    EXPECT_EQ(console.nSelects, 0);

    // Not a PXE client, no console info asked: the console is still asked, then dropped.
    console.bHasTask = true;
    TRequestSpec s;
    s.strClass = "MSFT 5.0";
    reply = Handle(67, BuildRequest(s));
    EXPECT_EQ(reply.iResult, 0);
    EXPECT_EQ(console.nQueries, 2);
    // A long class identifier of another kind is no PXE client either.
    s.strClass = "anaconda-Linux 5.14 x86_64";
    EXPECT_EQ(Handle(67, BuildRequest(s)).iResult, 0);
    EXPECT_EQ(console.nSelects, 0);

    // hlen above 16: the console hears six zero pairs; dropped without console info.
    s = TRequestSpec();
    s.nHlen = 20;
    reply = Handle(67, BuildRequest(s));
    EXPECT_EQ(console.strLastMac, "00:00:00:00:00:00");
    EXPECT_EQ(reply.iResult, 0);
    // ...and a zero hardware address likewise.
    s.nHlen = 0;
    EXPECT_EQ(Handle(67, BuildRequest(s)).iResult, 0);
    EXPECT_EQ(console.nSelects, 0);
}

TEST_F(PxeRequestHandling, RepliesToRealFirmware)
{
    struct
    {
        const char* szCapture;
        uint16_t nPort;
        EPxeReply eKind;
        size_t nSize;
        uint8_t nType, nOption43Length;
        const char* szFile;
        const char* szItem;
    } aCases[] = {
        {"ipxe-bios-discover-to-67", 67, EPxeReply::Proxy, 320, 2, 57, "foo-image", "\x00\x00\x00\x00"},
        {"edk2-uefi-discover-to-67", 67, EPxeReply::Proxy, 320, 2, 57, "foo-image", "\x00\x00\x00\x00"},
        {"ipxe-bios-request-to-4011", 4011, EPxeReply::BootServer, 308, 5, 45, "images/linux.0", "\x00\x01\x00\x00"},
        {"edk2-uefi-request-to-4011", 4011, EPxeReply::BootServer, 308, 5, 45, "images/linux.0", "\x00\x01\x00\x00"},
    };
    for (auto& c : aCases)
    {
        SCOPED_TRACE(c.szCapture);
        std::vector<unsigned char> vRequest = Capture(c.szCapture);
        console = TScriptedConsole();
        console.strFile = "images\\linux.0";  // backslashes reach the client as slashes
        TPxeReply reply = Handle(c.nPort, vRequest);
        ASSERT_EQ(reply.iResult, 1);
        EXPECT_EQ(reply.eKind, c.eKind);
        EXPECT_EQ(reply.vBytes.size(), c.nSize);
        DhcpPacket out;
        ExpectReplyBase(reply, vRequest, c.nType, out);
        EXPECT_EQ(out.GetSiaddr(), Ip(kServiceIp));
        EXPECT_EQ(File(out), c.szFile);
        EXPECT_EQ(console.nQueries, 1);  // the gate; the selection asks on its own
        EXPECT_EQ(console.nSelects, 1);
        uint8_t aItem[4];
        ASSERT_EQ(out.GetVendorOption(PXE_BOOT_ITEM, aItem, 4), 4);
        EXPECT_EQ(memcmp(aItem, c.szItem, 4), 0);
        EXPECT_EQ(console.nLastType, aItem[1]);
        EXPECT_EQ(console.nLastLayer, 0);
        const bool bProxy = c.eKind == EPxeReply::Proxy;
        EXPECT_EQ(out.GetVendorOption(PXE_DISCOVERY_CONTROL, nullptr, 0), bProxy ? 1 : 0);
        EXPECT_EQ(out.GetVendorOption(PXE_BOOT_SERVERS, nullptr, 0), bProxy ? 7 : 0);
        EXPECT_EQ(out.GetVendorOption(PXE_BOOT_MENU, nullptr, 0), 8);
        EXPECT_EQ(out.GetVendorOption(PXE_MENU_PROMPT, nullptr, 0), 26);
        // One option 43, after options 53, 54 and 60.
        EXPECT_EQ(reply.vBytes[260], 43);
        EXPECT_EQ(reply.vBytes[261], c.nOption43Length);
    }
}

TEST_F(PxeRequestHandling, BootSelectionRefusing)
{
    // The boot selection refusing: result 0, nothing to send.
    console = TScriptedConsole();
    console.bSelect = false;
    TPxeReply reply = Handle(4011, Capture("ipxe-bios-request-to-4011"));
    EXPECT_EQ(reply.iResult, 0);
    EXPECT_TRUE(reply.vBytes.empty());
}

TEST_F(PxeRequestHandling, BootItemLayerAndCiaddrReachTheSelection)
{
    TRequestSpec s;
    s.iType = 3;
    s.iBootType = 1;
    s.iLayer = 0x0203;
    s.nCiaddr = Ip("198.18.0.2");
    console.strFile = "dos.515";
    // On port 67 too: a boot item makes it a boot request whatever the port.
    TPxeReply reply = Handle(67, BuildRequest(s));
    ASSERT_EQ(reply.eKind, EPxeReply::BootServer);
    EXPECT_EQ(console.nLastLayer, 0x0203);
    EXPECT_EQ(console.strLastIp, "198.18.0.2");
    DhcpPacket out;
    ASSERT_TRUE(out.Parse(reply.vBytes.data(), (uint32_t)reply.vBytes.size()));
    uint8_t aItem[4];
    ASSERT_EQ(out.GetVendorOption(PXE_BOOT_ITEM, aItem, 4), 4);
    EXPECT_EQ(memcmp(aItem, "\x00\x01\x02\x03", 4), 0);
    EXPECT_EQ(reply.nCiaddr, Ip("198.18.0.2"));
    // A boot item of the wrong size is none: on 4011 a proxy reply.
    reply = Handle(4011, Modified(BuildRequest(s), [](DhcpPacket& p) { p.SetVendorOption(PXE_BOOT_ITEM, "\x00\x01\x00", 3); }));
    EXPECT_EQ(reply.eKind, EPxeReply::Proxy);
    EXPECT_EQ(console.nLastType, 0);
}

TEST_F(PxeRequestHandling, RequestsWithoutReply)
{
    TLogCapture log;
    // A DHCPINFORM on port 67, no console info wanted: asked, passed, nothing sent.
    TRequestSpec s;
    s.iType = 8;
    s.nCiaddr = Ip("198.18.0.2");
    TPxeReply reply = Handle(67, BuildRequest(s));
    EXPECT_EQ(reply.iResult, 1);
    EXPECT_TRUE(reply.vBytes.empty());
    EXPECT_EQ(log.Text().find("Neither"), std::string::npos);
    // A DHCPREQUEST to 67 with ciaddr set and no boot item: logged, nothing sent.
    s.iType = 3;
    reply = Handle(67, BuildRequest(s));
    EXPECT_EQ(reply.iResult, 1);
    EXPECT_TRUE(reply.vBytes.empty());
    EXPECT_NE(log.Text().find("Debug: Neither a boot request nor a proxy request at "), std::string::npos);
    EXPECT_EQ(console.nQueries, 2);
    EXPECT_EQ(console.nSelects, 0);
    // The same two on port 4011 are proxy requests, answered with DHCPACK.
    for (int iType : {3, 8})
    {
        s.iType = iType;
        reply = Handle(4011, BuildRequest(s));
        EXPECT_EQ(reply.eKind, EPxeReply::Proxy) << iType;
        DhcpPacket out;
        ASSERT_TRUE(out.Parse(reply.vBytes.data(), (uint32_t)reply.vBytes.size()));
        uint8_t n = 0;
        out.GetOption(53, &n, 1);
        EXPECT_EQ(n, 5);
    }
}

TEST_F(PxeRequestHandling, ConsoleInfoReply)
{
    TLogCapture log;
    TRequestSpec s;
    s.iType = 8;
    s.strClass = "";  // console info needs no PXE class identifier
    s.vParams = {1, 201, 3};
    s.nCiaddr = Ip("198.18.0.2");
    std::vector<unsigned char> vRequest = BuildRequest(s);
    TPxeReply reply = Handle(67, vRequest);
    ASSERT_EQ(reply.eKind, EPxeReply::ConsoleInfo);
    EXPECT_EQ(reply.iResult, 1);
    DhcpPacket out;
    ExpectReplyBase(reply, vRequest, 5, out);
    char szInfo[256] = {};
    ASSERT_EQ(out.GetOption(201, szInfo, 255), 20);
    EXPECT_STREQ(szInfo, "'198.18.0.1' '40003'");
    EXPECT_EQ(out.GetSiaddr(), 0u);
    EXPECT_EQ(File(out), "");
    EXPECT_EQ(out.GetVendorOption(PXE_BOOT_MENU, nullptr, 0), 0);
    EXPECT_EQ(out.GetVendorOption(PXE_BOOT_ITEM, nullptr, 0), 0);
    EXPECT_EQ(out.GetVendorOption(PXE_DISCOVERY_CONTROL, nullptr, 0), 0);
    EXPECT_EQ(console.nSelects, 0);
    EXPECT_NE(log.Text().find("Info: Get console info, Mac Address is 52:54:00:12:34:56 at "), std::string::npos);

    // A discover asking for it: DHCPOFFER, still no menu, but the proxy sub-options 6 and 8.
    s.iType = 1;
    s.nCiaddr = 0;
    vRequest = BuildRequest(s);
    reply = Handle(67, vRequest);
    ASSERT_EQ(reply.eKind, EPxeReply::ConsoleInfo);
    ExpectReplyBase(reply, vRequest, 2, out);
    EXPECT_EQ(out.GetVendorOption(PXE_DISCOVERY_CONTROL, nullptr, 0), 1);
    EXPECT_EQ(out.GetVendorOption(PXE_BOOT_SERVERS, nullptr, 0), 7);
    EXPECT_EQ(out.GetVendorOption(PXE_BOOT_MENU, nullptr, 0), 0);

    // hlen above 16 with console info: answered, chaddr cut to 16 bytes.
    s.nHlen = 20;
    reply = Handle(67, BuildRequest(s));
    ASSERT_EQ(reply.eKind, EPxeReply::ConsoleInfo);
    ASSERT_TRUE(out.Parse(reply.vBytes.data(), (uint32_t)reply.vBytes.size()));
    EXPECT_EQ(out.GetHlen(), 16);
    EXPECT_EQ(memcmp(out.Chaddr(), "\x52\x54\x00\x12\x34\x56", 6), 0);
}

TEST(PxeReplyDestination, ChosenByPortCiaddrAndGiaddr)
{
    sockaddr_in saFrom{};
    saFrom.sin_family = AF_INET;
    saFrom.sin_port = htons(4011);
    saFrom.sin_addr.s_addr = inet_addr("198.18.0.2");
    const uint32_t nCi = inet_addr("198.18.0.7"), nGi = inet_addr("198.18.0.9");

    struct
    {
        uint16_t nPort;
        uint32_t nCiaddr, nGiaddr;
        const char* szTo;
        int iPort;
        bool bBroadcast;
    } aCases[] = {
        {4011, nCi, nGi, "198.18.0.2", 4011, false},  // back to the sender, whatever the header says
        {4011, 0, 0, "198.18.0.2", 4011, false},
        {67, nCi, nGi, "198.18.0.7", 68, false},
        {67, 0, nGi, "198.18.0.9", 67, false},  // through the relay agent
        {67, 0, 0, "255.255.255.255", 68, true},
    };
    for (auto& c : aCases)
    {
        TReplyDestination d = ChooseReplyDestination(c.nPort, saFrom, c.nCiaddr, c.nGiaddr);
        char sz[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &d.saTo.sin_addr, sz, sizeof(sz));
        EXPECT_STREQ(sz, c.szTo);
        EXPECT_EQ(ntohs(d.saTo.sin_port), c.iPort);
        EXPECT_EQ(d.saTo.sin_family, AF_INET);
        EXPECT_EQ(d.bBroadcast, c.bBroadcast);
    }
}

