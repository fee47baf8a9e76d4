#include "boot/pxeparser.h"

#include "boot/bootmenu.h"
#include "boot/cipaddr.h"
#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "config/settings.h"
#include "console/bootselect.h"
#include "console/consolequery.h"
#include "core/logfile.h"
#include "platform/sockopts.h"

#include <ace/Log_Msg.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{
// Serializes the reply into a new buffer of TotalLength + 512 bytes (the
// room the boot menu needs); nLength receives the message's length. On
// failure the buffer is left empty.
bool SerializeReply(const DhcpPacket& packet, std::vector<unsigned char>& vBytes, int& nLength)
{
    vBytes.assign((uint16_t)(packet.TotalLength() + 512), 0);
    nLength = (int)vBytes.size();
    if (!packet.Serialize(vBytes.data(), nLength))
    {
        vBytes.clear();
        return false;
    }
    return true;
}

// The client's architecture (option 93: 16-bit numbers, the first one
// counts); false when the request names none.
bool ClientArch(const DhcpPacket& request, uint16_t& nArch)
{
    unsigned char aArch[256];
    const int nLength = request.GetOption(kOptClientArch, aArch, sizeof(aArch));
    if (nLength < 2 || nLength % 2 != 0)
        return false;
    nArch = (uint16_t)((aArch[0] << 8) | aArch[1]);
    return true;
}

// The folder that BootServer/ArchFolders names for the client's architecture, or null.
const std::string* ArchFolder(const DhcpPacket& request, uint16_t& nArch)
{
    if (gSettings.mapArchFolders.empty() || !ClientArch(request, nArch))
        return nullptr;
    const auto it = gSettings.mapArchFolders.find(nArch);
    return it == gSettings.mapArchFolders.end() ? nullptr : &it->second;
}

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

std::string DottedAddress(uint32_t nAddress)
{
    char szText[INET_ADDRSTRLEN] = "0.0.0.0";
    in_addr addr;
    addr.s_addr = nAddress;
    inet_ntop(AF_INET, &addr, szText, sizeof(szText));
    return szText;
}
}  // namespace

const TPxeConsole& TPxeConsole::Default()
{
    static const TPxeConsole console{QueryConsoleTask, SelectBootFile};
    return console;
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

    // Classification.
    const uint16_t nPort = pRequest->port;
    if (nPort != kDhcpServerPort && nPort != kBinlPort)
        return Drop("port " + std::to_string(nPort));
    uint8_t nType = 0;
    if (request.GetOption(kOptMessageType, &nType, 1) != 1)
        return Drop("no message type");
    if (nType != kDhcpDiscover && nType != kDhcpRequest && nType != kDhcpInform)
        return Drop("message type " + std::to_string(nType));
    // A broadcast DHCPREQUEST to port 67 without ciaddr is meant for the DHCP server.
    if (nType == kDhcpRequest && nPort == kDhcpServerPort && request.GetCiaddr() == 0)
        return Drop("request to a DHCP server");
    // A giaddr that is no relay agent's address would turn the reply into a
    // broadcast, or send it back to this machine: the console is not even asked.
    const std::vector<TLocalNetwork> vNoNetworks;
    reply.dest = ChooseReplyDestination(
        nPort, pRequest->saFrom, request.GetCiaddr(), request.GetGiaddr(),
        pRequest->pLocalNetworks != nullptr ? *pRequest->pLocalNetworks : vNoNetworks);
    if (reply.dest.bRefused)
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: relay address %s refused, request dropped at %D\n",
                   DottedAddress(request.GetGiaddr()).c_str()));
        return Drop("relay address refused");
    }

    unsigned char aChaddr[kDhcpChaddrSize] = {};
    request.CopyChaddr(aChaddr, sizeof(aChaddr));
    std::string strMac = FormatHardwareAddress(aChaddr);
    record.strMac = strMac;
    uint16_t nArch = 0;
    if (ClientArch(request, nArch))
        record.iArch = nArch;

    // A blank is never part of a word: still there, the console named none.
    std::string strTask = " ";
    if (!console.fnQueryTask(strMac, std::string(), strTask))
    {
        record.strEvent = "refused";
        if (strTask.empty())
            record.strTask = "allnone";
        return reply;
    }

    unsigned char aScratch[256];
    bool bConsoleInfo = false;
    int nLength = request.GetOption(kOptParameterList, aScratch, sizeof(aScratch));
    for (int i = 0; i < nLength; ++i)
        if (aScratch[i] == kOptConsoleInfo)
            bConsoleInfo = true;

    if (!bConsoleInfo)
    {
        nLength = request.GetOption(kOptClassId, aScratch, sizeof(aScratch));
        if (nLength != kPxeClassIdLength || memcmp(aScratch, kPxeClassId, kPxeClassIdLength) != 0)
            return Drop("not a PXE client");
    }

    unsigned char aChaddr2[kDhcpChaddrSize] = {};
    int nCopied = request.CopyChaddr(aChaddr2, sizeof(aChaddr2));
    static const unsigned char aZero[6] = {};
    if ((nCopied == 0 || memcmp(aChaddr2, aZero, sizeof(aZero)) == 0) && !bConsoleInfo)
        return Drop("no hardware address");
    strMac = FormatHardwareAddress(aChaddr2);
    const std::string strCiaddr = DottedAddress(request.GetCiaddr());

    unsigned char aBootItem[4] = {};
    const bool bBootItem = request.GetVendorOption(PXE_BOOT_ITEM, aScratch, sizeof(aScratch)) == 4;
    if (bBootItem)
        memcpy(aBootItem, aScratch, sizeof(aBootItem));

    bool bProxy = false;
    if (!bBootItem)
    {
        if (nType == kDhcpDiscover ||
            (nPort == kBinlPort && (nType == kDhcpRequest || nType == kDhcpInform)))
            bProxy = true;
        else if (nType == kDhcpRequest)
            ACE_DEBUG(
                (LM_DEBUG, LOG_PREFIX "Debug: Neither a boot request nor a proxy request at %D\n"));
    }

    // From here on the request has passed: the result is 1 whatever follows,
    // unless the boot selection refuses.
    reply.iResult = 1;

    // The reply base.
    response.SetOp(kBootReply);
    response.SetHtype(request.GetHtype());
    response.SetHlen(request.GetHlen());
    response.SetXid(request.GetXid());
    response.SetSecs(request.GetSecs());
    response.SetFlags(request.GetFlags());
    response.SetYiaddr(request.GetYiaddr());
    response.SetGiaddr(request.GetGiaddr());
    nCopied = request.CopyChaddr(aScratch, sizeof(aScratch));
    if (nCopied > 0)
        response.SetChaddr(aScratch, nCopied);
    const uint8_t nReplyType = nType == kDhcpDiscover ? kDhcpOffer : kDhcpAck;
    response.SetOption(kOptMessageType, &nReplyType, 1);
    // This server's address as the reply names it. With no interface
    // configured, that of the interface the request arrived on: on a machine
    // with several networks the only one the client can reach. The console
    // stays at the service's own address.
    uint32_t nService = CIPAddr(gSettings.strIpAddress).GetValue(true);
    if (bAnyNic && pRequest->nLocalAddr != 0)
        nService = pRequest->nLocalAddr;
    uint8_t aService[4];
    memcpy(aService, &nService, sizeof(aService));
    response.SetOption(kOptServerId, aService, 4);
    response.SetOption(kOptClassId, kPxeClassId, kPxeClassIdLength);
    if (bProxy)
    {
        SetDiscoveryControl(response);
        SetBootServers(response, aService);
    }

    if (!bBootItem && !bProxy && !bConsoleInfo)
        return Drop("neither a boot nor a proxy request");

    if (bConsoleInfo)
    {
        std::string strInfo = "'" + gSettings.strIpAddress + "' '" + gSettings.strConsolePort + "'";
        response.SetOption(kOptConsoleInfo, strInfo.data(),
                           (int)std::min<size_t>(strInfo.size(), 255));
        int nReplyLength = 0;
        if (SerializeReply(response, reply.vBytes, nReplyLength))
            reply.vBytes.resize((size_t)nReplyLength);
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Info: Get console info, Mac Address is %s at %D\n",
                   strMac.c_str()));
        reply.eKind = EPxeReply::ConsoleInfo;
        return reply;
    }

    // Boot reply (boot-server or proxy).
    uint16_t nServerType = 0;
    uint16_t nLayer = 0;
    if (bBootItem)
    {
        nServerType = (uint16_t)((aBootItem[0] << 8) | aBootItem[1]);
        nLayer = (uint16_t)((aBootItem[2] << 8) | aBootItem[3]);
    }
    SetBootItem(response, nServerType, nLayer);
    response.SetSiaddr(nService);
    std::string strBootFile;
    if (!console.fnSelectBootFile(nServerType, nLayer, strBootFile, strMac, strCiaddr))
    {
        reply.iResult = 0;
        record.strEvent = "refused";
        return reply;
    }
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: Get file %s at %D\n", strBootFile.c_str()));
    if (const std::string* pFolder = ArchFolder(request, nArch))
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: Folder %s for client architecture %d at %D\n",
                   pFolder->c_str(), (int)nArch));
        strBootFile = *pFolder + strBootFile;
    }
    std::replace(strBootFile.begin(), strBootFile.end(), '\\', '/');
    response.SetFile(strBootFile.data(), (int)strBootFile.size());
    int nReplyLength = 0;
    if (!SerializeReply(response, reply.vBytes, nReplyLength))
        return reply;

    PxeReplyBuffer buffer;
    buffer.nPort = nPort;
    buffer.pRequest = pRequest->payload;
    buffer.nRequestLength = (uint16_t)pRequest->length;
    buffer.pReply = reply.vBytes.data();
    buffer.nReplyLength = (uint16_t)nReplyLength;
    buffer.nReplyCapacity = (uint16_t)reply.vBytes.size();
    buffer.saClient = pRequest->saFrom;
    AddBootMenu(&buffer);
    reply.vBytes.resize(buffer.nReplyLength);
    reply.eKind = bBootItem ? EPxeReply::BootServer : EPxeReply::Proxy;
    record.strEvent = bBootItem ? "ack" : "offer";
    record.strFile = strBootFile;
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
