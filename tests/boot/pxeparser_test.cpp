// Request handling without sockets: the whole classification over real firmware datagrams and
// built requests, with a scripted console that writes down what it is asked, and every reply
// checked byte for byte against tests/boot/replies/ and read in the text form beside it (a proxy
// reply is 320 bytes with an option 43 of 57, a boot-server reply 308 with 45; the header is the
// request's but for op 2, hops 0, ciaddr 0 and siaddr this server).
#include "boottest.h"
#include "common/logcapture.h"
#include "config/settings.h"

#include <cctype>

namespace
{
// A record in one line: the event, why it was dropped, the console's word, the architecture and
// the file; "" for none.
std::string Recorded(const TBootRecord& r)
{
    if (r.strEvent.empty())
        return "";
    return r.strEvent + (r.strReason.empty() ? "" : " (" + r.strReason + ")") +
           (r.strTask.empty() ? "" : " task " + r.strTask) +
           (r.iArch < 0 ? "" : " arch " + std::to_string(r.iArch)) +
           (r.strFile.empty() ? "" : " " + r.strFile);
}
}  // namespace

TEST(PxeRequestHandling, ClassificationRepliesAndRecords)
{
    gSettings.strIpAddress = "198.18.0.1";
    gSettings.strConsolePort = "40003";
    const EPxeReply None = EPxeReply::None, Proxy = EPxeReply::Proxy, Boot = EPxeReply::BootServer,
                    Info = EPxeReply::ConsoleInfo;
    const std::string qIpxe = "q 52:54:00:5b:00:01;", q = "q 52:54:00:12:34:56;",
                      qZero = "q 00:00:00:00:00:00;",
                      sIpxeBoot = "s 1/0 52:54:00:5b:00:01 198.18.0.190;";
    auto Ciaddr = [](DhcpPacket& p) { p.SetCiaddr(inet_addr("198.18.0.2")); };
    auto AsksInfo = [](DhcpPacket& p) { p.SetOption(kOptParameterList, "\x01\xc9\x03", 3); };
    const struct
    {
        const char* szWhat;  // in lower case, words joined by "-": the name of the stored reply
        uint16_t nPort;
        TBytes vRequest;
        int iResult;
        EPxeReply eKind;
        // "q <mac>;" per task query, "s <type>/<layer> <mac> <ciaddr>;" per selection.
        std::string strAsked;
        const char* szRecord;               // as Recorded writes it
        const char* szLog = nullptr;        // a line logged (nullptr: none, when nothing is sent)
        bool bTask = true, bSelect = true;  // without a task the console's word is "allnone"
    } aCases[] = {
        // Dropped before the console is asked, without a log line.
        {"port 68", 68, Request(1), 0, None, "", "dropped (port 68)"},
        {"DHCPRELEASE", 4011, Request(7), 0, None, "", "dropped (message type 7)"},
        {"option 53 of two bytes", 67,
         Request(1, [](DhcpPacket& p) { p.SetOption(kOptMessageType, "\x01\x01", 2); }), 0, None,
         "", "dropped (no message type)"},
        {"iPXE DHCPREQUEST to 67, ciaddr 0", 67, Stored("ipxe-bios-request-to-67"), 0, None, "",
         "dropped (request to a DHCP server)"},
        // A relay address that would make the reply a broadcast: dropped, with a line.
        {"relayed from 255.255.255.255", 67,
         Request(1, [](DhcpPacket& p) { p.SetGiaddr(INADDR_BROADCAST); }), 0, None, "",
         "dropped (relay address refused)",
         "Debug: relay address 255.255.255.255 refused, request dropped at "},
        // The console gate, the class identifier and the hardware address.
        {"no task", 67, Stored("ipxe-bios-discover-to-67"), 0, None, qIpxe,
         "refused task allnone arch 0", nullptr, false},
        {"not a PXE client", 67,
         Request(1, [](DhcpPacket& p) { p.SetOption(kOptClassId, "MSFT 5.0", 8); }), 0, None, q,
         "dropped (not a PXE client)"},
        {"hlen 20", 67, Request(1, [](DhcpPacket& p) { p.SetHlen(20); }), 0, None, qZero,
         "dropped (no hardware address) arch 0"},
        {"selection refuses", 4011, Stored("ipxe-bios-request-to-4011"), 0, None, qIpxe + sIpxeBoot,
         "refused arch 0", nullptr, true, false},
        // The replies to real firmware.
        {"iPXE discover", 67, Stored("ipxe-bios-discover-to-67"), 1, Proxy,
         qIpxe + "s 0/0 52:54:00:5b:00:01 0.0.0.0;", "offer arch 0 foo-image",
         "Debug: Get file foo-image at "},
        {"iPXE boot request", 4011, Stored("ipxe-bios-request-to-4011"), 1, Boot, qIpxe + sIpxeBoot,
         "ack arch 0 images/linux.0", "Debug: Get file images\\linux.0 at "},
        // A boot item makes a boot request on either port; one of the wrong size is none.
        {"boot item to 67", 67,
         Request(3, [&](DhcpPacket& p) { Ciaddr(p), SetBootItem(p, 1, 0x0203); }), 1, Boot,
         q + "s 1/515 52:54:00:12:34:56 198.18.0.2;", "ack arch 0 images/linux.0"},
        {"3-byte boot item", 4011, Request(3, [&](DhcpPacket& p) {
             Ciaddr(p), p.SetVendorOption(PXE_BOOT_ITEM, "\x00\x01\x00", 3);
         }), 1, Proxy, q + "s 0/0 52:54:00:12:34:56 198.18.0.2;", "offer arch 0 foo-image"},
        // Passed, but no reply on 67.
        {"DHCPREQUEST to 67 with ciaddr", 67, Request(3, Ciaddr), 1, None, q,
         "dropped (neither a boot nor a proxy request) arch 0",
         "Debug: Neither a boot request nor a proxy request at "},
        // Console info: needs no PXE class identifier, no hardware address, no selection, and
        // leaves no record.
        {"console info DHCPINFORM", 67,
         Request(8, [&](DhcpPacket& p) { Ciaddr(p), AsksInfo(p), p.RemoveOption(kOptClassId); }), 1,
         Info, q, "", "Info: Get console info, Mac Address is 52:54:00:12:34:56 at "},
        {"console info hlen 20", 67, Request(1, [&](DhcpPacket& p) { AsksInfo(p), p.SetHlen(20); }),
         1, Info, qZero, ""},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.szWhat);
        std::string strAsked, strName = c.szWhat;
        // The file's backslashes reach the client as slashes.
        const TPxeConsole console{
            [&](auto& strMac, auto&, std::string& strTask) {
                strAsked += "q " + strMac + ";";
                return strTask = c.bTask ? "Linux" : "", c.bTask;
            },
            [&](uint16_t nType, uint16_t nLayer, std::string& strFile, auto& strMac, auto& strIp) {
                strAsked += "s " + std::to_string(nType) + "/" + std::to_string(nLayer) + " " +
                            strMac + " " + strIp + ";";
                return strFile = nType == 0 ? "foo-image" : "images\\linux.0", c.bSelect;
            }};
        const PxeRequest request{c.nPort, c.vRequest.data(), (uint32_t)c.vRequest.size()};
        TLogCapture log;
        const TPxeReply reply = BuildPxeReply(&request, console);
        EXPECT_EQ(reply.iResult, c.iResult);
        EXPECT_EQ(reply.eKind, c.eKind);
        EXPECT_EQ(strAsked, c.strAsked);
        EXPECT_EQ(Recorded(reply.record), c.szRecord);
        for (char& ch : strName)
            ch = std::isalnum((unsigned char)ch) ? (char)std::tolower(ch) : '-';
        if (c.eKind == None)
            EXPECT_EQ(reply.vBytes, TBytes());
        else
            ExpectStoredReply(strName, reply.vBytes);
        const std::string strLog = log.All();
        EXPECT_EQ(strLog.empty(), c.szLog == nullptr && c.eKind == None) << strLog;
        EXPECT_NE(strLog.find(c.szLog ? c.szLog : ""), std::string::npos) << strLog;
    }
}

// Where a reply goes. A relay's giaddr is taken only when it is a unicast address that names
// neither this machine nor the network or broadcast address of one of its networks.
TEST(PxeRequestHandling, ReplyDestinations)
{
    auto Network = [](const char* szAddress, const char* szMask) {
        return TLocalNetwork{inet_addr(szAddress), inet_addr(szMask)};
    };
    const std::vector<TLocalNetwork> vNetworks = {
        Network("127.0.0.1", "255.0.0.0"), Network("198.18.0.1", "255.255.255.0"),
        Network("198.18.0.129", "255.255.255.252"), Network("198.18.0.135", "255.255.255.254")};
    const sockaddr_in saClient{AF_INET, htons(4242), {inet_addr("198.18.0.2")}, {}};
    const char *szBroadcast = "255.255.255.255", *szRefused = "refused";
    // Port, ciaddr and giaddr; the destination (szRefused: the request is dropped) and its port.
    const std::tuple<uint16_t, const char*, const char*, const char*, uint16_t> aCases[] = {
        {4011, "0.0.0.0", "255.255.255.255", "198.18.0.2", 4242},  // always the sender
        {67, "198.18.0.3", "255.255.255.255", "198.18.0.3", 68},   // ciaddr before giaddr
        {67, "0.0.0.0", "0.0.0.0", szBroadcast, 68},               // no relay
        {67, "0.0.0.0", "198.18.0.77", "198.18.0.77", 67},         // a relay on a network of ours
        {67, "0.0.0.0", "198.18.0.134", "198.18.0.134", 67},       // a /31 has no broadcast
        {67, "0.0.0.0", "198.18.0.255", szRefused, 0},             // a broadcast address of ours
        {67, "0.0.0.0", "198.18.0.1", szRefused, 0},               // this machine
        {67, "0.0.0.0", "224.0.0.1", szRefused, 0},                // multicast
    };
    for (const auto& [nPort, szCiaddr, szGiaddr, szTo, nToPort] : aCases)
    {
        SCOPED_TRACE(std::string(szCiaddr) + " " + szGiaddr + " to " + std::to_string(nPort));
        const TReplyDestination dest = ChooseReplyDestination(nPort, saClient, inet_addr(szCiaddr),
                                                              inet_addr(szGiaddr), vNetworks);
        EXPECT_EQ(dest.bRefused, szTo == szRefused);
        EXPECT_EQ(dest.bBroadcast, szTo == szBroadcast);
        if (szTo == szRefused)
            continue;
        EXPECT_EQ(dest.saTo.sin_family, AF_INET);
        EXPECT_EQ(dest.saTo.sin_addr.s_addr, inet_addr(szTo));
        EXPECT_EQ(ntohs(dest.saTo.sin_port), nToPort);
    }
    // What is known of this machine counts: without its networks, only what no machine's
    // networks could make a relay address (loopback) is refused.
    EXPECT_FALSE(ChooseReplyDestination(67, saClient, 0, inet_addr("198.18.0.255"), {}).bRefused);
    EXPECT_TRUE(ChooseReplyDestination(67, saClient, 0, inet_addr("127.0.0.2"), {}).bRefused);
}
