#include "boot/pxeparser.h"

#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "boot/pxereply.h"
#include "console/bootselect.h"
#include "console/consolequery.h"
#include "core/logfile.h"
#include "platform/sockopts.h"

#include <ace/Log_Msg.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace
{
// Whether a reply may be sent to giaddr nGiaddr (network order, not 0) as a
// relay agent's unicast address.
bool IsRelayAddress(uint32_t nGiaddr, const std::vector<TLocalNetwork>& vLocalNetworks)
{
    const uint32_t nHost = ntohl(nGiaddr);
    if ((nHost >> 24) == 127 || (nHost >> 28) == 0xE || nHost == INADDR_BROADCAST)
        return false;  // loopback, multicast, the limited broadcast
    for (const TLocalNetwork& network : vLocalNetworks)
    {
        if (nGiaddr == network.nAddress)
            return false;
        // Networks of /31 and /32 have no network or broadcast address: both
        // addresses of a /31 are hosts.
        const uint32_t nMask = ntohl(network.nNetmask);
        if (nMask > 0xFFFFFFFCu)
            continue;
        const uint32_t nNetwork = ntohl(network.nAddress) & nMask;
        if (nHost == nNetwork || nHost == (nNetwork | ~nMask))
            return false;
    }
    return true;
}
}  // namespace

const TPxeConsole& TPxeConsole::Default()
{
    static const TPxeConsole console{QueryConsoleTask, SelectBootFile};
    return console;
}

std::string DottedAddress(uint32_t nAddress)
{
    char szText[INET_ADDRSTRLEN] = "0.0.0.0";
    in_addr addr;
    addr.s_addr = nAddress;
    inet_ntop(AF_INET, &addr, szText, sizeof(szText));
    return szText;
}

std::string FormatHardwareAddress(const unsigned char* pChaddr)
{
    char szMac[18];
    snprintf(szMac, sizeof(szMac), "%02x:%02x:%02x:%02x:%02x:%02x", pChaddr[0], pChaddr[1],
             pChaddr[2], pChaddr[3], pChaddr[4], pChaddr[5]);
    return szMac;
}

TPxeReply BuildPxeReply(const PxeRequest* pRequest, const TPxeConsole& console)
{
    TPxeReply reply;
    TBootRecord& record = reply.record;
    record.nAddress = pRequest->saFrom.sin_addr.s_addr;
    // Every drop returns 0 without a reply and without a log line.
    auto Drop = [&](const std::string& strReason) {
        record.strEvent = "dropped";
        record.strReason = strReason;
        return reply;
    };
    DhcpPacket request;
    // A datagram too short for the header leaves the packet empty: no option 53, dropped below.
    request.Parse(pRequest->payload, pRequest->length);
    DhcpPacket response;

    const TPxeRequestClass cls = ClassifyPxeRequest(pRequest->port, request, HttpBootOn());
    if (cls.eVerdict == EPxeVerdict::Drop)
        return Drop(cls.strReason);
    // A giaddr that is no relay agent's address would turn the reply into a
    // broadcast, or send it back to this machine: the console is not even asked.
    const std::vector<TLocalNetwork> vNoNetworks;
    reply.dest = ChooseReplyDestination(
        pRequest->port, pRequest->saFrom, request.GetCiaddr(), request.GetGiaddr(),
        pRequest->pLocalNetworks != nullptr ? *pRequest->pLocalNetworks : vNoNetworks);
    if (reply.dest.bRefused)
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: relay address %s refused, request dropped at %D\n",
                   DottedAddress(request.GetGiaddr()).c_str()));
        return Drop("relay address refused");
    }

    record.strMac = cls.strMac;
    if (cls.bArch)
        record.iArch = cls.nArch;
    // A blank is never part of a word: still there, the console named none.
    std::string strTask = " ";
    if (!PassConsoleGate(cls, console, strTask))
    {
        record.strEvent = "refused";
        if (strTask.empty())
            record.strTask = "allnone";
        return reply;
    }
    if (cls.eVerdict == EPxeVerdict::DropAfterGate)
        return Drop(cls.strReason);
    if (cls.bNeither)
        ACE_DEBUG(
            (LM_DEBUG, LOG_PREFIX "Debug: Neither a boot request nor a proxy request at %D\n"));

    // From here on the request has passed: the result is 1 whatever follows,
    // unless the boot selection refuses.
    reply.iResult = 1;

    const TPxeReplyContext ctx{pRequest, request, cls, console, ReplyServiceAddress(pRequest)};
    const bool bHttpOffer = cls.eClient == EPxeClient::UefiHttp && !cls.bConsoleInfo;
    BuildReplyBase(ctx, bHttpOffer ? kHttpClassId : kPxeClassId, response);
    if (cls.bConsoleInfo)
        BuildConsoleInfo(ctx, response, reply);
    else if (bHttpOffer && cls.bProxy)
        BuildHttpOffer(ctx, response, reply);
    else if (cls.bBootItem)
        BuildBootServerAck(ctx, response, reply);
    else if (cls.bProxy)
        BuildProxyOffer(ctx, response, reply);
    else
        return Drop("neither a boot nor a proxy request");
    return reply;
}

TReplyDestination ChooseReplyDestination(uint16_t nPort, const sockaddr_in& saFrom,
                                         uint32_t nCiaddr, uint32_t nGiaddr,
                                         const std::vector<TLocalNetwork>& vLocalNetworks)
{
    TReplyDestination dest;
    if (nPort == kBinlPort)
    {
        dest.saTo = saFrom;
        return dest;
    }
    dest.saTo.sin_family = AF_INET;
    if (nCiaddr != 0)
    {
        dest.saTo.sin_addr.s_addr = nCiaddr;
        dest.saTo.sin_port = htons(kDhcpClientPort);
    }
    else if (nGiaddr != 0)
    {
        dest.saTo.sin_addr.s_addr = nGiaddr;
        dest.saTo.sin_port = htons(kDhcpServerPort);
        dest.bRefused = !IsRelayAddress(nGiaddr, vLocalNetworks);
    }
    else
    {
        dest.saTo.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        dest.saTo.sin_port = htons(kDhcpClientPort);
        dest.bBroadcast = true;
    }
    return dest;
}

int SendReply(const PxeRequest* pRequest, const TPxeReply& reply)
{
    if (reply.vBytes.empty() || reply.dest.bRefused)
        return 1;
    // The reply leaves from the socket the request arrived on, so that it
    // comes from the port the client sent to (firmware ignores replies from
    // any other port). Without one, a socket of its own on an ephemeral port.
    int sc = pRequest->scReply;
    bool bOwnSocket = false;
    if (sc < 0)
    {
        sc = socket(AF_INET, SOCK_DGRAM, 0);
        if (sc < 0)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: socket() error at %D\n"));
            return 1;
        }
        bOwnSocket = true;
        int iOn = -1;
        if (setsockopt(sc, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: setsockopt() error at %D\n"));
            close(sc);
            return 1;
        }
        sockaddr_in saLocal{};
        saLocal.sin_family = AF_INET;
        saLocal.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(sc, reinterpret_cast<sockaddr*>(&saLocal), sizeof(saLocal)) != 0)
        {
            close(sc);
            return 1;
        }
    }

    TReplyDestination dest = reply.dest;
    if (dest.bBroadcast)
    {
        int iOn = 1;
        if (setsockopt(sc, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn)) != 0)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: setsockopt() error at %D\n"));
            if (bOwnSocket)
                close(sc);
            return 1;
        }
    }

    iovec iov{const_cast<unsigned char*>(reply.vBytes.data()), reply.vBytes.size()};
    msghdr msg{};
    msg.msg_name = &dest.saTo;
    msg.msg_namelen = sizeof(dest.saTo);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    // A limited broadcast has no route of its own: it leaves through the
    // interface the request arrived on.
    alignas(cmsghdr) unsigned char aControl[kInterfaceControlSize];
    if (dest.bBroadcast && pRequest->iIfIndex > 0)
        SetOutgoingInterface(msg, aControl, pRequest->iIfIndex);
    sendmsg(sc, &msg, 0);
    if (bOwnSocket)
        close(sc);
    return 1;
}

int HandlePxeRequest(const PxeRequest* pRequest)
{
    TPxeReply reply = BuildPxeReply(pRequest);
    const int iResult = reply.iResult == 0 ? 0 : SendReply(pRequest, reply);
    if (!reply.record.strEvent.empty())
        Record(reply.record);
    return iResult;
}
