// pxeclient: plays a PXE client on one network interface, step by step.
//
//   pxeclient --interface IF [--mac MAC] [--arch N] [--type N] [--layer N]
//             [--timeout MS] [--tries N] [--fetch] [--output FILE]
//
// 1. broadcasts a DHCPDISCOVER with the PXE class identifier to port 67;
// 2. reads the proxy offer (DHCPOFFER carrying "PXEClient");
// 3. sends the boot-server DHCPREQUEST with the menu's boot item to port 4011
//    of the boot server that the offer names;
// 4. reads the acknowledgement and its boot file name;
// 5. with --fetch, reads the boot file by TFTP (asking for "tsize"), and
//    writes it to --output when given.
// Each step prints one line; the program exits non-zero at the first step
// that fails: 1 usage or set-up, 2 no offer, 3 no acknowledgement, 4 TFTP.
#include "boot/bootmenu.h"
#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "platform/interfaces.h"
#include "platform/sockopts.h"
#include "tftp/packet.h"
#include "tools/client/tftpread.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{
typedef std::chrono::steady_clock TClock;

struct TOptions
{
    std::string strInterface;
    uint8_t aMac[6] = {0x52, 0x54, 0x00, 0x00, 0x00, 0x01};
    int iArch = 0;
    int iType = -1;  // boot item type; default: the menu's first item
    int iLayer = 0;
    int iTimeoutMs = 2000;
    int iTries = 3;
    bool bFetch = false;
    std::string strOutput;
};

struct TDatagram
{
    std::vector<unsigned char> vData;
    sockaddr_in saFrom{};
};

std::string Dotted(uint32_t nAddress)
{
    in_addr a;
    a.s_addr = nAddress;
    return inet_ntoa(a);
}

std::string Endpoint(const sockaddr_in& sa)
{
    return Dotted(sa.sin_addr.s_addr) + ":" + std::to_string(ntohs(sa.sin_port));
}

bool ParseMac(const char* sz, uint8_t* aMac)
{
    unsigned a[6];
    char cEnd;
    if (sscanf(sz, "%x:%x:%x:%x:%x:%x%c", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &cEnd) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
    {
        if (a[i] > 255)
            return false;
        aMac[i] = (uint8_t)a[i];
    }
    return true;
}

int OpenSocket(const std::string& strInterface, uint16_t nPort)
{
    int sc = socket(AF_INET, SOCK_DGRAM, 0);
    if (sc < 0)
        return -1;
    int iOn = 1;
    setsockopt(sc, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof(iOn));
    setsockopt(sc, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    if (BindToDevice(sc, strInterface) != 0)
    {
        perror("pxeclient: SO_BINDTODEVICE");
        close(sc);
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    if (bind(sc, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
    {
        perror("pxeclient: bind");
        close(sc);
        return -1;
    }
    return sc;
}

// Waits until tEnd for one datagram; false on time-out.
bool Receive(int sc, TClock::time_point tEnd, TDatagram& dg)
{
    for (;;)
    {
        int iLeft = (int)std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - TClock::now())
                        .count();
        if (iLeft <= 0)
            return false;
        pollfd p{sc, POLLIN, 0};
        if (poll(&p, 1, iLeft) <= 0)
            continue;
        dg.vData.resize(2048);
        socklen_t nLen = sizeof(dg.saFrom);
        ssize_t n = recvfrom(sc, dg.vData.data(), dg.vData.size(), 0,
                             reinterpret_cast<sockaddr*>(&dg.saFrom), &nLen);
        if (n < 0)
            continue;
        dg.vData.resize((size_t)n);
        return true;
    }
}

std::vector<unsigned char> Encode(const DhcpPacket& p)
{
    std::vector<unsigned char> v(1500);
    int n = (int)v.size();
    if (!p.Serialize(v.data(), n))
        return std::vector<unsigned char>();
    v.resize((size_t)n);
    return v;
}

// The client's part of every request: header, class identifier, architecture, interface.
void FillRequest(DhcpPacket& p, const TOptions& o, uint32_t nXid, uint8_t nType, uint32_t nCiaddr)
{
    p.SetOp(kBootRequest);
    p.SetHtype(kHtypeEthernet);
    p.SetChaddr(o.aMac, 6);
    p.SetXid(nXid);
    p.SetFlags(htons(kDhcpBroadcastFlag));
    p.SetCiaddr(nCiaddr);
    p.SetOption(kOptMessageType, &nType, 1);
    const uint8_t aMaxSize[2] = {0x05, 0xc0};
    p.SetOption(kOptMaxMessageSize, aMaxSize, 2);
    const uint8_t aParams[] = {1, 3, 43, 60, 66, 67, 128, 129, 130, 131, 132, 133, 134, 135};
    p.SetOption(kOptParameterList, aParams, sizeof(aParams));
    const uint8_t aArch[2] = {(uint8_t)(o.iArch >> 8), (uint8_t)o.iArch};
    p.SetOption(kOptClientArch, aArch, 2);
    const uint8_t aUndi[3] = {1, 2, 1};
    p.SetOption(kOptClientNdi, aUndi, 3);
    uint8_t aGuid[17] = {0};
    memcpy(aGuid + 11, o.aMac, 6);
    p.SetOption(kOptClientGuid, aGuid, sizeof(aGuid));
    char szClass[40];
    snprintf(szClass, sizeof(szClass), "PXEClient:Arch:%05d:UNDI:002001", o.iArch);
    p.SetOption(kOptClassId, szClass, (int)strlen(szClass));
}

// Is dg a reply of type nType to our transaction?
bool IsReply(const TDatagram& dg, uint32_t nXid, const uint8_t* aMac, uint8_t nType, DhcpPacket& p)
{
    if (!p.Parse(dg.vData.data(), (uint32_t)dg.vData.size()))
        return false;
    uint8_t n = 0;
    if (p.GetOp() != kBootReply || p.GetXid() != nXid || memcmp(p.Chaddr(), aMac, 6) != 0)
        return false;
    return p.GetOption(kOptMessageType, &n, 1) == 1 && n == nType;
}

std::string FileName(const DhcpPacket& p)
{
    return std::string((const char*)p.File(), strnlen((const char*)p.File(), kDhcpFileSize));
}

// Step 5: one TFTP read of strFile from the server, with "tsize".
bool FetchFile(const TOptions& o, uint32_t nServer, const std::string& strFile)
{
    int sc = OpenSocket(o.strInterface, 0);
    if (sc < 0)
        return false;
    FILE* pOut = nullptr;
    if (!o.strOutput.empty() && (pOut = fopen(o.strOutput.c_str(), "wb")) == nullptr)
    {
        perror("pxeclient: output file");
        close(sc);
        return false;
    }
    sockaddr_in saServer{};
    saServer.sin_family = AF_INET;
    saServer.sin_addr.s_addr = nServer;
    saServer.sin_port = htons(kTftpPort);
    auto Send = [&](const std::string& s) {
        sendto(sc, s.data(), s.size(), 0, reinterpret_cast<sockaddr*>(&saServer), sizeof(saServer));
    };
    TTftpReadOptions options;
    options.bTsize = true;
    CTftpRead read(strFile, options);
    read.fnSend = Send;
    read.fnData = [&](uint64_t, const unsigned char* p, size_t n, std::string& strWhy) {
        if (pOut == nullptr || n == 0 || fwrite(p, 1, n, pOut) == n)
            return true;
        return (strWhy = "output file not written"), false;
    };
    int iTimeouts = 0;
    bool bFailed = false;
    Send(read.Request());
    while (!read.Done() && !bFailed)
    {
        TDatagram dg;
        if (!Receive(sc, TClock::now() + std::chrono::milliseconds(o.iTimeoutMs), dg))
        {
            if (++iTimeouts >= o.iTries)
            {
                printf("pxeclient: tftp %s: no answer from %s\n", strFile.c_str(),
                       Endpoint(saServer).c_str());
                bFailed = true;
            }
            else
                read.Retry();
            continue;
        }
        if (dg.saFrom.sin_addr.s_addr != nServer)
            continue;
        if (!read.Answered())
            saServer.sin_port = dg.saFrom.sin_port;  // the transfer's own port
        else if (dg.saFrom.sin_port != saServer.sin_port)
            continue;
        iTimeouts = 0;
        std::string strWhy;
        if (!read.OnDatagram(dg.vData.data(), dg.vData.size(), strWhy))
        {
            printf("pxeclient: tftp %s: %s\n", strFile.c_str(), strWhy.c_str());
            bFailed = true;
        }
    }
    close(sc);
    bool bOk = read.Done() && (read.Tsize() < 0 || (uint64_t)read.Tsize() == read.Bytes());
    if (pOut != nullptr && fclose(pOut) != 0)
        bOk = false;
    if (read.Done())
        printf("pxeclient: tftp %s from %s: tsize %lld, received %llu bytes%s\n", strFile.c_str(),
               Dotted(nServer).c_str(), (long long)read.Tsize(), (unsigned long long)read.Bytes(),
               bOk ? "" : " (size differs)");
    return bOk;
}

void Usage()
{
    fprintf(stderr, "usage: pxeclient --interface IF [--mac aa:bb:cc:dd:ee:ff] [--arch N] [--type "
                    "N] [--layer N]\n"
                    "                 [--timeout MS] [--tries N] [--fetch] [--output FILE]\n");
}
}  // namespace

int main(int argc, char** argv)
{
    TOptions o;
    static const option aLong[] = {{"interface", required_argument, nullptr, 'i'},
                                   {"mac", required_argument, nullptr, 'm'},
                                   {"arch", required_argument, nullptr, 'a'},
                                   {"type", required_argument, nullptr, 't'},
                                   {"layer", required_argument, nullptr, 'l'},
                                   {"timeout", required_argument, nullptr, 'w'},
                                   {"tries", required_argument, nullptr, 'n'},
                                   {"fetch", no_argument, nullptr, 'f'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "i:m:a:t:l:w:n:fo:", aLong, nullptr)) != -1)
    {
        switch (c)
        {
        case 'i':
            o.strInterface = optarg;
            break;
        case 'm':
            if (!ParseMac(optarg, o.aMac))
            {
                Usage();
                return 1;
            }
            break;
        case 'a':
            o.iArch = atoi(optarg);
            break;
        case 't':
            o.iType = atoi(optarg);
            break;
        case 'l':
            o.iLayer = atoi(optarg);
            break;
        case 'w':
            o.iTimeoutMs = atoi(optarg);
            break;
        case 'n':
            o.iTries = atoi(optarg);
            break;
        case 'f':
            o.bFetch = true;
            break;
        case 'o':
            o.strOutput = optarg;
            o.bFetch = true;
            break;
        default:
            Usage();
            return 1;
        }
    }
    if (o.strInterface.empty() || o.iTimeoutMs <= 0 || o.iTries <= 0)
    {
        Usage();
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const uint32_t nOwnAddress = AddressOfInterface(o.strInterface);
    int sc = OpenSocket(o.strInterface, kDhcpClientPort);
    if (sc < 0)
        return 1;
    std::mt19937 rng((unsigned)TClock::now().time_since_epoch().count());
    const uint32_t nXid = rng();

    // Steps 1 and 2: discover, proxy offer.
    DhcpPacket discover;
    FillRequest(discover, o, nXid, kDhcpDiscover, 0);
    std::vector<unsigned char> vDiscover = Encode(discover);
    sockaddr_in saBroadcast{};
    saBroadcast.sin_family = AF_INET;
    saBroadcast.sin_port = htons(kDhcpServerPort);
    saBroadcast.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    DhcpPacket offer;
    TDatagram dgOffer;
    bool bOffer = false;
    for (int iTry = 0; iTry < o.iTries && !bOffer; ++iTry)
    {
        if (sendto(sc, vDiscover.data(), vDiscover.size(), 0,
                   reinterpret_cast<sockaddr*>(&saBroadcast), sizeof(saBroadcast)) < 0)
        {
            perror("pxeclient: send discover");
            close(sc);
            return 2;
        }
        printf("pxeclient: discover sent on %s (%zu bytes, xid 0x%08x)\n", o.strInterface.c_str(),
               vDiscover.size(), ntohl(nXid));
        const TClock::time_point tEnd = TClock::now() + std::chrono::milliseconds(o.iTimeoutMs);
        while (!bOffer && Receive(sc, tEnd, dgOffer))
        {
            char szClass[16] = {};
            bOffer = IsReply(dgOffer, nXid, o.aMac, kDhcpOffer, offer) &&
                     offer.GetOption(kOptClassId, szClass, 15) == kPxeClassIdLength &&
                     strcmp(szClass, kPxeClassId) == 0;
        }
    }
    if (!bOffer)
    {
        printf("pxeclient: no proxy offer\n");
        close(sc);
        return 2;
    }
    // The boot server: the first of PXE_BOOT_SERVERS, else siaddr, else the server identifier.
    uint8_t aScratch[256];
    uint32_t nServer = offer.GetSiaddr();
    if (offer.GetVendorOption(PXE_BOOT_SERVERS, aScratch, sizeof(aScratch)) >= 7)
        memcpy(&nServer, aScratch + 3, 4);
    else if (nServer == 0 && offer.GetOption(kOptServerId, aScratch, sizeof(aScratch)) == 4)
        memcpy(&nServer, aScratch, 4);
    int iType = o.iType;
    std::string strItem;
    int nMenu = offer.GetVendorOption(PXE_BOOT_MENU, aScratch, sizeof(aScratch));
    if (nMenu >= 3 && aScratch[2] + 3 <= nMenu)
    {
        if (iType < 0)
            iType = (aScratch[0] << 8) | aScratch[1];
        strItem.assign((const char*)aScratch + 3, aScratch[2]);
    }
    printf("pxeclient: offer from %s (%zu bytes): boot server %s, file \"%s\", menu item \"%s\"\n",
           Endpoint(dgOffer.saFrom).c_str(), dgOffer.vData.size(), Dotted(nServer).c_str(),
           FileName(offer).c_str(), strItem.c_str());
    if (iType < 0 || nServer == 0)
    {
        printf("pxeclient: the offer names no boot server or boot item\n");
        close(sc);
        return 2;
    }

    // Steps 3 and 4: boot-server request, acknowledgement.
    DhcpPacket request;
    FillRequest(request, o, nXid, kDhcpRequest, nOwnAddress);
    SetBootItem(request, (uint16_t)iType, (uint16_t)o.iLayer);
    std::vector<unsigned char> vRequest = Encode(request);
    sockaddr_in saServer{};
    saServer.sin_family = AF_INET;
    saServer.sin_port = htons(kBinlPort);
    saServer.sin_addr.s_addr = nServer;
    DhcpPacket ack;
    TDatagram dgAck;
    bool bAck = false;
    for (int iTry = 0; iTry < o.iTries && !bAck; ++iTry)
    {
        if (sendto(sc, vRequest.data(), vRequest.size(), 0, reinterpret_cast<sockaddr*>(&saServer),
                   sizeof(saServer)) < 0)
        {
            perror("pxeclient: send request");
            break;
        }
        printf("pxeclient: request sent to %s, boot item type %d layer %d\n",
               Endpoint(saServer).c_str(), iType, o.iLayer);
        const TClock::time_point tEnd = TClock::now() + std::chrono::milliseconds(o.iTimeoutMs);
        while (!bAck && Receive(sc, tEnd, dgAck))
            bAck = IsReply(dgAck, nXid, o.aMac, kDhcpAck, ack) &&
                   ack.GetVendorOption(PXE_BOOT_ITEM, nullptr, 0) == 4;
    }
    close(sc);
    if (!bAck)
    {
        printf("pxeclient: no acknowledgement\n");
        return 3;
    }
    const std::string strFile = FileName(ack);
    uint32_t nTftp = ack.GetSiaddr() != 0 ? ack.GetSiaddr() : nServer;
    printf("pxeclient: ack from %s (%zu bytes): file \"%s\", next server %s\n",
           Endpoint(dgAck.saFrom).c_str(), dgAck.vData.size(), strFile.c_str(),
           Dotted(nTftp).c_str());
    if (strFile.empty())
        return 3;

    // Step 5: the boot file.
    if (o.bFetch && !FetchFile(o, nTftp, strFile))
    {
        printf("pxeclient: boot file not received\n");
        return 4;
    }
    printf("pxeclient: done\n");
    return 0;
}
