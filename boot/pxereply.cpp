#include "boot/pxereply.h"

#include "boot/bootmenu.h"
#include "boot/cipaddr.h"
#include "boot/dhcp.h"
#include "config/baseurl.h"
#include "config/settings.h"
#include "core/logfile.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cstring>

namespace
{
// Option 175 holds iPXE's encapsulated options; option 77 is its user class.
constexpr uint8_t kOptUserClass = 77;
constexpr uint8_t kOptIpxeEncap = 175;
const char kIpxeUserClass[] = "iPXE";
// A client machine identifier (option 97): type 0 and a 16-byte GUID.
constexpr int kClientGuidLength = 17;
// Longest name the file field carries with room for its NUL.
constexpr size_t kMaxFileField = kDhcpFileSize - 1;
// Longest URL option 67 carries.
constexpr size_t kMaxBootFileOption = 255;

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

// Sub-options 6 and 8, which make a reply a proxy offer naming this server.
void SetProxySubOptions(const TPxeReplyContext& ctx, DhcpPacket& response)
{
    uint8_t aService[4];
    memcpy(aService, &ctx.nService, sizeof(aService));
    SetDiscoveryControl(response);
    SetBootServers(response, aService);
}

// The boot file of a boot reply: the name the selection gives for the boot
// item, behind the client architecture's folder, with slashes for
// backslashes. False when the selection refuses.
bool ChooseBootFile(const TPxeReplyContext& ctx, uint16_t nServerType, uint16_t nLayer,
                    std::string& strBootFile)
{
    if (!ctx.console.fnSelectBootFile(nServerType, nLayer, strBootFile, ctx.cls.strMac,
                                      ctx.cls.strCiaddr))
        return false;
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: Get file %s at %D\n", strBootFile.c_str()));
    uint16_t nArch = 0;
    if (const std::string* pFolder = ArchFolder(ctx.request, nArch))
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: Folder %s for client architecture %d at %D\n",
                   pFolder->c_str(), (int)nArch));
        strBootFile = *pFolder + strBootFile;
    }
    std::replace(strBootFile.begin(), strBootFile.end(), '\\', '/');
    return true;
}

// The part the proxy offer and the boot-server acknowledgement share: the
// boot item, siaddr, the boot file, the boot menu, and the record (szEvent).
void BuildBootReply(const TPxeReplyContext& ctx, uint16_t nServerType, uint16_t nLayer,
                    const char* szEvent, DhcpPacket& response, TPxeReply& reply)
{
    SetBootItem(response, nServerType, nLayer);
    response.SetSiaddr(ctx.nService);
    std::string strBootFile;
    if (!ChooseBootFile(ctx, nServerType, nLayer, strBootFile))
    {
        reply.iResult = 0;
        reply.record.strEvent = "refused";
        return;
    }
    // iPXE fetches its file over HTTP as well; a URL too long for the file
    // field leaves it the TFTP name.
    if (ctx.cls.eClient == EPxeClient::Ipxe && HttpBootOn() && gSettings.bHttpForIpxe)
    {
        const std::string strUrl = BootFileUrl(ctx, strBootFile);
        if (!strUrl.empty() && strUrl.size() <= kMaxFileField)
        {
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: HTTP URL %s at %D\n", strUrl.c_str()));
            strBootFile = strUrl;
        }
    }
    response.SetFile(strBootFile.data(), (int)strBootFile.size());
    int nReplyLength = 0;
    if (!SerializeReply(response, reply.vBytes, nReplyLength))
        return;

    PxeReplyBuffer buffer;
    buffer.nPort = ctx.pRequest->port;
    buffer.pRequest = ctx.pRequest->payload;
    buffer.nRequestLength = (uint16_t)ctx.pRequest->length;
    buffer.pReply = reply.vBytes.data();
    buffer.nReplyLength = (uint16_t)nReplyLength;
    buffer.nReplyCapacity = (uint16_t)reply.vBytes.size();
    buffer.saClient = ctx.pRequest->saFrom;
    AddBootMenu(&buffer);
    reply.vBytes.resize(buffer.nReplyLength);
    reply.record.strEvent = szEvent;
    reply.record.strFile = strBootFile;
}
}  // namespace

bool IsIpxeRequest(const DhcpPacket& request)
{
    if (request.HasOption(kOptIpxeEncap))
        return true;
    unsigned char aClass[256];
    const int nLength = request.GetOption(kOptUserClass, aClass, sizeof(aClass));
    const int nIpxe = (int)sizeof(kIpxeUserClass) - 1;
    if (nLength == nIpxe && memcmp(aClass, kIpxeUserClass, nIpxe) == 0)
        return true;
    // RFC 3004: classes, each a length byte and that many bytes.
    for (int i = 0; i < nLength; i += 1 + aClass[i])
        if (aClass[i] == nIpxe && i + 1 + nIpxe <= nLength &&
            memcmp(aClass + i + 1, kIpxeUserClass, nIpxe) == 0)
            return true;
    return false;
}

bool HttpBootOn() { return gSettings.iHttpPort != 0 || !gSettings.strHttpBaseUrl.empty(); }

TPxeRequestClass ClassifyPxeRequest(uint16_t nPort, const DhcpPacket& request, bool bHttpBoot)
{
    TPxeRequestClass cls;
    auto Drop = [&](const std::string& strReason) {
        cls.strReason = strReason;
        return cls;
    };
    // Every drop happens before the console is asked, without a log line.
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
    cls.nType = nType;

    // The console is asked from here on: by the hardware address, six zero
    // pairs when hlen is 0 or above 16.
    cls.eVerdict = EPxeVerdict::DropAfterGate;
    unsigned char aChaddr[kDhcpChaddrSize] = {};
    const int nCopied = request.CopyChaddr(aChaddr, sizeof(aChaddr));
    cls.strMac = FormatHardwareAddress(aChaddr);
    cls.bArch = ClientArch(request, cls.nArch);

    unsigned char aScratch[256];
    int nLength = request.GetOption(kOptParameterList, aScratch, sizeof(aScratch));
    for (int i = 0; i < nLength; ++i)
        if (aScratch[i] == kOptConsoleInfo)
            cls.bConsoleInfo = true;

    unsigned char aBootItem[256];
    const bool bBootItem =
        request.GetVendorOption(PXE_BOOT_ITEM, aBootItem, sizeof(aBootItem)) == 4;
    nLength = request.GetOption(kOptClassId, aScratch, sizeof(aScratch));
    if (nLength == kPxeClassIdLength && memcmp(aScratch, kPxeClassId, kPxeClassIdLength) == 0)
        cls.eClient = IsIpxeRequest(request) ? EPxeClient::Ipxe : EPxeClient::PxeRom;
    // An HTTP boot client asks no boot server: a boot item is none of its.
    else if (bHttpBoot && !bBootItem && nLength == kHttpClassIdLength &&
             memcmp(aScratch, kHttpClassId, kHttpClassIdLength) == 0)
        cls.eClient = EPxeClient::UefiHttp;
    if (cls.eClient == EPxeClient::Other && !cls.bConsoleInfo)
        return Drop("not a PXE client");

    static const unsigned char aZero[6] = {};
    if ((nCopied == 0 || memcmp(aChaddr, aZero, sizeof(aZero)) == 0) && !cls.bConsoleInfo)
        return Drop("no hardware address");
    cls.strCiaddr = DottedAddress(request.GetCiaddr());

    cls.bBootItem = bBootItem;
    if (bBootItem)
    {
        cls.nServerType = (uint16_t)((aBootItem[0] << 8) | aBootItem[1]);
        cls.nLayer = (uint16_t)((aBootItem[2] << 8) | aBootItem[3]);
    }
    else if (nType == kDhcpDiscover ||
             (nPort == kBinlPort && (nType == kDhcpRequest || nType == kDhcpInform)))
        cls.bProxy = true;
    else if (nType == kDhcpRequest)
        cls.bNeither = true;
    cls.eVerdict = EPxeVerdict::Pass;
    return cls;
}

bool PassConsoleGate(const TPxeRequestClass& cls, const TPxeConsole& console, std::string& strTask)
{
    return console.fnQueryTask(cls.strMac, std::string(), strTask);
}

uint32_t ReplyServiceAddress(const PxeRequest* pRequest)
{
    // With no interface configured, that of the interface the request arrived
    // on: on a machine with several networks the only one the client can
    // reach. The console stays at the service's own address.
    uint32_t nService = CIPAddr(gSettings.strIpAddress).GetValue(true);
    if (bAnyNic && pRequest->nLocalAddr != 0)
        nService = pRequest->nLocalAddr;
    return nService;
}

void BuildReplyBase(const TPxeReplyContext& ctx, const char* szClassId, DhcpPacket& response)
{
    const DhcpPacket& request = ctx.request;
    response.SetOp(kBootReply);
    response.SetHtype(request.GetHtype());
    response.SetHlen(request.GetHlen());
    response.SetXid(request.GetXid());
    response.SetSecs(request.GetSecs());
    response.SetFlags(request.GetFlags());
    response.SetYiaddr(request.GetYiaddr());
    response.SetGiaddr(request.GetGiaddr());
    unsigned char aScratch[256];
    const int nCopied = request.CopyChaddr(aScratch, sizeof(aScratch));
    if (nCopied > 0)
        response.SetChaddr(aScratch, nCopied);
    const uint8_t nReplyType = ctx.cls.nType == kDhcpDiscover ? kDhcpOffer : kDhcpAck;
    response.SetOption(kOptMessageType, &nReplyType, 1);
    uint8_t aService[4];
    memcpy(aService, &ctx.nService, sizeof(aService));
    response.SetOption(kOptServerId, aService, 4);
    response.SetOption(kOptClassId, szClassId, (int)strlen(szClassId));
}

void BuildProxyOffer(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply)
{
    SetProxySubOptions(ctx, response);
    BuildBootReply(ctx, 0, 0, "offer", response, reply);
    reply.eKind = reply.vBytes.empty() ? EPxeReply::None : EPxeReply::Proxy;
}

void BuildBootServerAck(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply)
{
    BuildBootReply(ctx, ctx.cls.nServerType, ctx.cls.nLayer, "ack", response, reply);
    reply.eKind = reply.vBytes.empty() ? EPxeReply::None : EPxeReply::BootServer;
}

void BuildConsoleInfo(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply)
{
    // A proxy request asking for console info gets the proxy sub-options too.
    if (ctx.cls.bProxy)
        SetProxySubOptions(ctx, response);
    std::string strInfo = "'" + gSettings.strIpAddress + "' '" + gSettings.strConsolePort + "'";
    response.SetOption(kOptConsoleInfo, strInfo.data(), (int)std::min<size_t>(strInfo.size(), 255));
    int nReplyLength = 0;
    if (SerializeReply(response, reply.vBytes, nReplyLength))
        reply.vBytes.resize((size_t)nReplyLength);
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Info: Get console info, Mac Address is %s at %D\n",
               ctx.cls.strMac.c_str()));
    reply.eKind = EPxeReply::ConsoleInfo;
}

std::string BootFileUrl(const TPxeReplyContext& ctx, const std::string& strFile)
{
    const std::string strHost = ctx.nService != 0 ? DottedAddress(ctx.nService) : std::string();
    return HttpFileUrl(gSettings.strHttpBaseUrl, gSettings.iHttpPort, strHost, strFile);
}

void BuildHttpOffer(const TPxeReplyContext& ctx, DhcpPacket& response, TPxeReply& reply)
{
    response.SetSiaddr(ctx.nService);
    unsigned char aGuid[256];
    if (ctx.request.GetOption(kOptClientGuid, aGuid, sizeof(aGuid)) == kClientGuidLength)
        response.SetOption(kOptClientGuid, aGuid, kClientGuidLength);
    // An HTTP boot client never asks a boot server: its offer names at once
    // the file the menu's boot item (server type 1, layer 0) would be given.
    std::string strBootFile;
    if (!ChooseBootFile(ctx, 1, 0, strBootFile))
    {
        reply.iResult = 0;
        reply.record.strEvent = "refused";
        return;
    }
    const std::string strUrl = BootFileUrl(ctx, strBootFile);
    if (strUrl.empty() || strUrl.size() > kMaxBootFileOption)
    {
        ACE_DEBUG(
            (LM_DEBUG, LOG_PREFIX "Debug: No HTTP URL for file %s at %D\n", strBootFile.c_str()));
        reply.iResult = 0;
        reply.record.strEvent = "dropped";
        reply.record.strReason = "no HTTP URL";
        return;
    }
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: HTTP URL %s at %D\n", strUrl.c_str()));
    if (strUrl.size() <= kMaxFileField)
        response.SetFile(strUrl.data(), (int)strUrl.size());
    response.SetOption(kOptBootFileName, strUrl.data(), (int)strUrl.size());
    int nReplyLength = 0;
    if (SerializeReply(response, reply.vBytes, nReplyLength))
        reply.vBytes.resize((size_t)nReplyLength);
    reply.eKind = reply.vBytes.empty() ? EPxeReply::None : EPxeReply::HttpOffer;
    if (!reply.vBytes.empty())
    {
        reply.record.strEvent = "offer";
        reply.record.strFile = strUrl;
    }
}
