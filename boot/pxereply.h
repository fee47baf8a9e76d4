// The phases of one PXE request, in the order BuildPxeReply runs them:
// classify (what the request is and who sent it), the console gate, then one
// of the replies: the proxy offer, the boot-server acknowledgement, the
// console info, or the HTTP offer to a UEFI HTTP boot client. Each phase is
// free of socket I/O; only the console functions talk to the console.
#pragma once

#include "boot/dhcppacket.h"
#include "boot/pxeparser.h"

#include <cstdint>
#include <string>

// Which kind of client sent the request, as far as its options tell.
enum class EPxeClient
{
    Other,    // no PXE class identifier (a console-info request may still pass)
    PxeRom,   // class identifier "PXEClient"
    Ipxe,     // "PXEClient" with option 175 or the user class (option 77) "iPXE"
    UefiHttp  // class identifier "HTTPClient", taken only while HTTP boot is on
};

// What the classification makes of a request.
enum class EPxeVerdict
{
    Drop,           // dropped before the console is asked
    DropAfterGate,  // the console is asked, then the request is dropped
    Pass            // the console is asked; with a task the request is answered
};

struct TPxeRequestClass
{
    EPxeVerdict eVerdict = EPxeVerdict::Drop;
    uint8_t nType = 0;  // the message type (option 53)
    EPxeClient eClient = EPxeClient::Other;
    std::string strMac;         // hardware address text: the console's key
    bool bConsoleInfo = false;  // option 55 lists 201
    bool bBootItem = false;     // sub-option 71 of 4 bytes
    uint16_t nServerType = 0;   // the boot item (host order; 0 and 0 without one)
    uint16_t nLayer = 0;
    bool bProxy = false;    // no boot item; a discover, or a request or inform to 4011
    bool bNeither = false;  // a DHCPREQUEST to 67 that is neither boot nor proxy request
    std::string strCiaddr;  // the request's ciaddr, dotted
    bool bArch = false;     // option 93 names the client's architecture nArch
    uint16_t nArch = 0;
    std::string strReason;  // why a request is dropped, for its record
};

// Classifies a parsed request received on nPort. Free of I/O and of logging.
// bHttpBoot: HTTP boot is on, so that a UEFI HTTP boot client's discover
// passes (one with a boot item never does).
TPxeRequestClass ClassifyPxeRequest(uint16_t nPort, const DhcpPacket& request,
                                    bool bHttpBoot = false);

// Whether clients may be told HTTP URLs: HTTP/Port or HTTP/BaseUrl is set.
bool HttpBootOn();

// Whether option 77 (user class, as iPXE sends it or in its RFC 3004 form)
// or option 175 marks the request as iPXE's.
bool IsIpxeRequest(const DhcpPacket& request);

// The console gate: whether the console holds a task for the client;
// strTask as the console query leaves it.
bool PassConsoleGate(const TPxeRequestClass& cls, const TPxeConsole& console, std::string& strTask);

// What the reply phases share for one request.
struct TPxeReplyContext
{
    const PxeRequest* pRequest;
    const DhcpPacket& request;
    const TPxeRequestClass& cls;
    const TPxeConsole& console;
    uint32_t nService;  // this server's address as the reply names it (network order)
};

// This server's address as a reply names it: the configured one, or with no
// interface configured, the address the request arrived at.
uint32_t ReplyServiceAddress(const PxeRequest* pRequest);

// The reply base: op 2, the request's header fields, option 53 (OFFER for a
// DISCOVER, else ACK), 54 and 60 (szClassId).
void BuildReplyBase(const TPxeReplyContext& ctx, const char* szClassId, DhcpPacket& response);

// The URL of the boot file strFile as this server's HTTP serves it: the base
// URL, or http://<this server's address>:<port>/, followed by the name; ""
// when there is none (no address known).
std::string BootFileUrl(const TPxeReplyContext& ctx, const std::string& strFile);

// The replies. Each fills reply.vBytes, reply.eKind and, but for the console
// info, the record's event; a refused boot selection sets reply.iResult to 0
// and sends nothing. An iPXE client's boot file is a URL while HTTP boot is on
// and HTTP/ForIpxe allows it.
void BuildProxyOffer(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply);
void BuildBootServerAck(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply);
void BuildConsoleInfo(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply);
// The offer to a UEFI HTTP boot client: a proxy offer (yiaddr as the client
// sent it, 0) with class identifier "HTTPClient", siaddr and option 54 this
// server, the client's option 97 echoed, and the boot file's URL in option
// 67 and, when it fits, the file field; no PXE sub-options, no boot menu.
// The URL's host is an IPv4 address unless HTTP/BaseUrl names another, so
// that the firmware needs no DNS server. No URL that fits: nothing is sent.
void BuildHttpOffer(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply);
