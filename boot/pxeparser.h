// Handling of one PXE request: classification, the reply, and its sending.
//
// The decision and the reply bytes (BuildPxeReply) are kept apart from the
// sending (SendReply), so that the decisions can be checked without sockets;
// HandlePxeRequest joins the two for the listener's workers.
#pragma once

#include "core/records.h"
#include "platform/interfaces.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One received datagram, as the listener hands it to the handler.
struct PxeRequest
{
    uint16_t port = 0;                       // receiving port, host order: 67 or 4011
    const unsigned char* payload = nullptr;  // exactly length bytes, owned by the caller
    uint32_t length = 0;
    sockaddr_in saFrom{};  // sender (network byte order)
    // Where the reply leaves from: the socket the request arrived on (not
    // owned here), so that the reply comes from the port the client sent to;
    // -1: a socket of the reply's own on an ephemeral port.
    int scReply = -1;
    int iIfIndex = 0;  // arrival interface; a broadcast reply leaves through it
    // The local address the request arrived at (network order; 0: unknown).
    // With no interface configured, replies name it as this server's address.
    uint32_t nLocalAddr = 0;
    // This machine's addresses and networks, which a relay address must not
    // name (not owned here; null: none known).
    const std::vector<TLocalNetwork>* pLocalNetworks = nullptr;
};

// The console's two answers that the handler asks for. The defaults ask the
// management console over TCP (QueryConsoleTask, SelectBootFile).
struct TPxeConsole
{
    std::function<bool(const std::string& strMac, const std::string& strIp, std::string& strTask)>
        fnQueryTask;
    std::function<bool(uint16_t nServerType, uint16_t nLayer, std::string& strBootFile,
                       const std::string& strMac, const std::string& strIp)>
        fnSelectBootFile;

    static const TPxeConsole& Default();
};

enum class EPxeReply
{
    None,         // nothing to send
    Proxy,        // proxy DHCP offer/ack naming this server and the boot menu
    BootServer,   // boot-server ack echoing the client's boot item
    ConsoleInfo,  // service address and console port in option 201
    HttpOffer     // proxy offer naming a URL to a UEFI HTTP boot client
};

// Where a reply goes: to the sender (port 4011), to ciaddr:68, to a relay's
// giaddr:67, or broadcast to 255.255.255.255:68 (bBroadcast).
struct TReplyDestination
{
    sockaddr_in saTo{};
    bool bBroadcast = false;
    // A giaddr that names no relay agent that could be sent to: this machine,
    // loopback, multicast, the limited broadcast, or the network or broadcast
    // address of a network of this machine. The request is dropped.
    bool bRefused = false;
};

// The destination of a reply to a request received on nPort from saFrom with
// that ciaddr and giaddr (network order), given this machine's addresses and
// networks.
TReplyDestination ChooseReplyDestination(uint16_t nPort, const sockaddr_in& saFrom,
                                         uint32_t nCiaddr, uint32_t nGiaddr,
                                         const std::vector<TLocalNetwork>& vLocalNetworks);

// The outcome of one request, before anything is sent.
struct TPxeReply
{
    int iResult = 0;  // 0: dropped before a reply was made; 1 otherwise
    EPxeReply eKind = EPxeReply::None;
    std::vector<unsigned char> vBytes;  // the serialized reply; empty when nothing is to be sent
    TReplyDestination dest;             // where it goes
    // The boot event: an offer or ack, a refused or dropped request (no event
    // for a console-info reply).
    TBootRecord record;
};

// Classifies the request, asks the console, and builds the reply. Free of
// socket I/O of its own (the console functions may talk to the console).
// A request relayed from a refused relay address is dropped, with a log line,
// before the console is asked.
TPxeReply BuildPxeReply(const PxeRequest* pRequest,
                        const TPxeConsole& console = TPxeConsole::Default());

// Sends one serialized reply for the request; always returns 1 (a reply that
// cannot be sent is lost, with a log line for socket failures).
int SendReply(const PxeRequest* pRequest, const TPxeReply& reply);

// The whole handling of one request: BuildPxeReply, then SendReply when there
// is something to send, then the record of the event. Returns 0 when the
// request was dropped, else 1.
int HandlePxeRequest(const PxeRequest* pRequest);

// "%02x:%02x:%02x:%02x:%02x:%02x" of the first six bytes of a 16-byte chaddr copy.
std::string FormatHardwareAddress(const unsigned char* pChaddr);
// An IPv4 address (network order) as dotted text.
std::string DottedAddress(uint32_t nAddress);
