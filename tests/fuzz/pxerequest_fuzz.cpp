// libFuzzer target: the DHCP packet codec and the PXE request decision
// (BuildPxeReply) on arbitrary datagrams, with the console's answers taken
// from the input. Input: a flags byte (console has a task, boot selection
// succeeds, "any NIC", receiving port, whether this machine's networks are
// known: loopback and 198.18.0.1/24; two bits of HTTP: off, HTTP/Port set,
// HTTP/BaseUrl set, HTTP/Port set with HTTP/ForIpxe no), the 4-byte local
// address the request arrived at, the length and bytes of the boot file name,
// then the datagram, which is read from a buffer of exactly its size. A
// datagram that parses must serialize, and the message must parse back to the
// same header, options and vendor sub-options. Every reply is a whole DHCP message: op 2, the request's
// xid, OFFER for a DISCOVER and ACK otherwise, this server's address in option
// 54 (and siaddr, for boot replies), "PXEClient", and the boot file as the
// selection named it, or a URL of this server's HTTP: for a UEFI HTTP boot
// client ("HTTPClient", no PXE sub-options) or iPXE, and only while HTTP is
// on; the console is asked once at most for the gate and once for the
// selection. A reply to a relay never goes to a broadcast, multicast,
// loopback or own address.
#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "boot/pxeparser.h"
#include "boot/pxereply.h"
#include "config/settings.h"
#include "fuzzcheck.h"

#include <ace/Log_Msg.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // No log line is formatted or written: the fuzzer runs at full speed.
    ACE_Log_Msg::instance()->priority_mask(0, ACE_Log_Msg::PROCESS);
    gSettings.strIpAddress = "198.18.0.1";
    gSettings.strConsolePort = "40003";
    return 0;
}

static std::string Dotted(uint32_t nAddress)
{
    char sz[INET_ADDRSTRLEN];
    in_addr addr{nAddress};
    return inet_ntop(AF_INET, &addr, sz, sizeof(sz));
}

// The codec's round trip of a parsed packet.
static void CheckRoundTrip(const DhcpPacket& first)
{
    // Options 0, 43 and 255 are never stored: the round trip below would lose them.
    const std::map<int, std::vector<uint8_t>> mFirst = Tables(first);
    int nCounted = 5;
    for (const auto& option : mFirst)
        nCounted += static_cast<int>(option.second.size()) + 2;
    FUZZ_CHECK(first.OptionsLength() == nCounted, "options length out of step with the tables");
    const int nMessage = first.MessageLength();
    FUZZ_CHECK(nMessage >= 300, "message shorter than 300 bytes");
    // One byte more than the message: Serialize also wants room beyond TotalLength.
    std::vector<uint8_t> vOut(static_cast<size_t>(nMessage) + 1, 0);
    int nOut = static_cast<int>(vOut.size());
    FUZZ_CHECK(first.Serialize(vOut.data(), nOut) && nOut == nMessage,
               "a parsed packet did not serialize to MessageLength bytes");
    // The second packet's header is the one written: had its option 52 folded names into sname
    // or file, its tables would lack the 52 the first holds.
    DhcpPacket second;
    FUZZ_CHECK(second.Parse(vOut.data(), static_cast<uint32_t>(nOut)),
               "the serialized message did not parse");
    FUZZ_CHECK(std::memcmp(first.Header(), second.Header(), kDhcpHeaderSize) == 0 &&
                   std::memcmp(first.Cookie(), second.Cookie(), kDhcpCookieSize) == 0,
               "header or cookie changed in the round trip");
    FUZZ_CHECK(Tables(second) == mFirst && first.OptionsLength() == second.OptionsLength(),
               "option or sub-option changed in the round trip");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 6 || nSize < 6u + pData[5])
        return 0;
    const uint8_t nFlags = pData[0];
    static const uint16_t aPorts[4] = {67, 4011, 68, 0};
    PxeRequest request;
    request.port = aPorts[(nFlags >> 3) & 3];
    std::memcpy(&request.nLocalAddr, pData + 1, 4);
    bAnyNic = (nFlags & 4) != 0;
    static const std::vector<TLocalNetwork> vNetworks = {
        {inet_addr("127.0.0.1"), inet_addr("255.0.0.0")},
        {inet_addr("198.18.0.1"), inet_addr("255.255.255.0")}};
    if (nFlags & 32)
        request.pLocalNetworks = &vNetworks;
    const int iHttp = nFlags >> 6;
    gSettings.iHttpPort = iHttp == 1 || iHttp == 3 ? 8080 : 0;
    gSettings.strHttpBaseUrl = iHttp == 2 ? "http://boot.test/x/" : "";
    gSettings.bHttpForIpxe = iHttp != 3;
    const bool bHttp = iHttp != 0;
    const std::string strFile(reinterpret_cast<const char*>(pData) + 6, pData[5]);
    std::vector<uint8_t> vDatagram(pData + 6 + pData[5], pData + nSize);
    vDatagram.shrink_to_fit();  // sized exactly: ASan catches a read past the datagram
    request.payload = vDatagram.data();
    request.length = static_cast<uint32_t>(vDatagram.size());
    DhcpPacket in;
    const bool bParsed = in.Parse(request.payload, request.length);
    FUZZ_CHECK(bParsed || (request.length < 240 && in.OptionsLength() == 5),
               "a datagram of 240 bytes or more was refused, or left options behind");
    if (bParsed)
        CheckRoundTrip(in);

    int nQueries = 0, nSelections = 0;
    TPxeConsole console;
    console.fnQueryTask = [&](const std::string&, const std::string&, std::string& strTask) {
        ++nQueries;
        strTask = "Linux";
        return (nFlags & 1) != 0;
    };
    console.fnSelectBootFile = [&](uint16_t, uint16_t, std::string& strBootFile, const std::string&,
                                   const std::string&) {
        ++nSelections;
        strBootFile = strFile;
        return (nFlags & 2) != 0;
    };
    const TPxeReply reply = BuildPxeReply(&request, console);

    FUZZ_CHECK(nQueries <= 1 && nSelections <= 1, "the console was asked more than once");
    FUZZ_CHECK(reply.vBytes.empty() == (reply.eKind == EPxeReply::None) &&
                   (reply.iResult == 1 || reply.vBytes.empty()),
               "reply bytes, kind and result disagree");
    if (reply.vBytes.empty())
        return 0;
    if (request.port == 67 && in.GetCiaddr() == 0 && in.GetGiaddr() != 0)
    {
        const uint32_t nTo = ntohl(reply.dest.saTo.sin_addr.s_addr);
        const bool bLocal = (nFlags & 32) != 0 && (nTo >> 8) == 0xC61200u &&
                            ((nTo & 0xFF) == 0 || (nTo & 0xFF) == 1 || (nTo & 0xFF) == 255);
        FUZZ_CHECK(!reply.dest.bRefused && !reply.dest.bBroadcast && !bLocal &&
                       nTo == ntohl(in.GetGiaddr()) && (nTo >> 24) != 127 && (nTo >> 28) != 0xE &&
                       nTo != 0xFFFFFFFFu,
                   "a reply to a relay goes to an address that is no relay's");
    }
    DhcpPacket out;
    FUZZ_CHECK(bParsed, "a reply to a datagram that does not parse");
    FUZZ_CHECK(out.Parse(reply.vBytes.data(), static_cast<uint32_t>(reply.vBytes.size())),
               "the reply does not parse");
    FUZZ_CHECK(out.GetOp() == kBootReply && out.GetXid() == in.GetXid(), "op or xid wrong");
    const bool bDiscover = Opt(in, kOptMessageType) == std::string(1, kDhcpDiscover);
    FUZZ_CHECK(Opt(out, kOptMessageType) == std::string(1, bDiscover ? kDhcpOffer : kDhcpAck),
               "message type wrong");
    uint32_t nService = inet_addr("198.18.0.1");
    if (bAnyNic && request.nLocalAddr != 0)
        nService = request.nLocalAddr;
    FUZZ_CHECK(Opt(out, kOptServerId) == std::string(reinterpret_cast<const char*>(&nService), 4),
               "server identifier wrong");
    const bool bHttpOffer = reply.eKind == EPxeReply::HttpOffer;
    FUZZ_CHECK(Opt(out, kOptClassId) == (bHttpOffer ? kHttpClassId : kPxeClassId),
               "class identifier wrong");
    if (reply.eKind == EPxeReply::ConsoleInfo)
    {
        FUZZ_CHECK(Opt(out, kOptConsoleInfo) == "'198.18.0.1' '40003'" && nSelections == 0,
                   "console info wrong");
        return 0;
    }
    FUZZ_CHECK(nSelections == 1 && out.GetSiaddr() == nService,
               "boot reply without selection or siaddr");
    std::string strSent = strFile.substr(0, 128);
    std::replace(strSent.begin(), strSent.end(), '\\', '/');
    if (std::memcmp(out.File(), strSent.data(), strSent.size()) == 0 && !bHttpOffer)
        return 0;
    // A URL: of this server's HTTP, to a client that may be given one.
    const std::string strPrefix =
        iHttp == 2 ? gSettings.strHttpBaseUrl : "http://" + Dotted(nService) + ":8080/";
    const std::string strUrl =
        bHttpOffer ? Opt(out, kOptBootFileName)
                   : std::string(reinterpret_cast<const char*>(out.File()),
                                 strnlen(reinterpret_cast<const char*>(out.File()), kDhcpFileSize));
    FUZZ_CHECK(bHttp && strUrl.compare(0, strPrefix.size(), strPrefix) == 0,
               "boot file neither as selected nor a URL of this server");
    FUZZ_CHECK(bHttpOffer ? Opt(in, kOptClassId) == kHttpClassId && !out.HasVendorOption(71)
                          : gSettings.bHttpForIpxe && IsIpxeRequest(in),
               "a URL to a client not to be given one");
    return 0;
}
