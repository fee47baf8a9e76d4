#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#ifndef SIOCGIWNAME
#define SIOCGIWNAME 0x8B01
#endif

bool TAdapter::IsEthernet() const
{
    return iLinkType == ARPHRD_ETHER && !bWireless;
}

namespace
{
// Wireless devices answer the wireless-extensions name request; cfg80211
// devices also show a phy80211 link in sysfs.
bool IsWireless(int fd, const std::string& strName)
{
    if (fd >= 0)
    {
        // struct iwreq: the interface name followed by a 16-byte union.
        char req[IFNAMSIZ + 32] = {};
        strncpy(req, strName.c_str(), IFNAMSIZ - 1);
        if (ioctl(fd, SIOCGIWNAME, req) == 0)
            return true;
    }
    std::string strPhy = "/sys/class/net/" + strName + "/phy80211";
    return access(strPhy.c_str(), F_OK) == 0;
}

// The ARPHRD_* type; getifaddrs gives none for links without a hardware address (tun).
int LinkType(int fd, const std::string& strName, int iListed)
{
    struct ifreq req = {};
    strncpy(req.ifr_name, strName.c_str(), IFNAMSIZ - 1);
    if (fd >= 0 && ioctl(fd, SIOCGIFHWADDR, &req) == 0)
        return req.ifr_hwaddr.sa_family;
    return iListed;
}
}  // namespace

int GetAdapterList(std::vector<TAdapter>& vAdapters)
{
    vAdapters.clear();
    struct ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return -1;

    // Keyed by interface name; an IPv4 alias label "eth0:1" belongs to "eth0".
    std::map<std::string, TAdapter> mAdapters;
    std::map<std::string, bool> mLoopback;
    for (struct ifaddrs* p = pList; p != nullptr; p = p->ifa_next)
    {
        if (p->ifa_name == nullptr)
            continue;
        std::string strName = p->ifa_name;
        strName = strName.substr(0, strName.find(':'));
        if (p->ifa_flags & IFF_LOOPBACK)
            mLoopback[strName] = true;
        TAdapter& adapter = mAdapters[strName];
        adapter.strName = strName;
        if (p->ifa_addr == nullptr)
            continue;
        if (p->ifa_addr->sa_family == AF_PACKET)
        {
            const struct sockaddr_ll* pLink = reinterpret_cast<const struct sockaddr_ll*>(p->ifa_addr);
            adapter.iIndex = pLink->sll_ifindex;
            adapter.iLinkType = pLink->sll_hatype;
        }
        else if (p->ifa_addr->sa_family == AF_INET)
        {
            const struct sockaddr_in* pIn = reinterpret_cast<const struct sockaddr_in*>(p->ifa_addr);
            char szAddr[INET_ADDRSTRLEN] = {};
            if (inet_ntop(AF_INET, &pIn->sin_addr, szAddr, sizeof(szAddr)) != nullptr)
                adapter.vIpv4.push_back(szAddr);
        }
    }
    freeifaddrs(pList);

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (auto& entry : mAdapters)
    {
        if (mLoopback.count(entry.first))
            continue;
        TAdapter& adapter = entry.second;
        if (adapter.iIndex == 0)
            adapter.iIndex = static_cast<int>(if_nametoindex(adapter.strName.c_str()));
        adapter.iLinkType = LinkType(fd, adapter.strName, adapter.iLinkType);
        adapter.bWireless = IsWireless(fd, adapter.strName);
        vAdapters.push_back(adapter);
    }
    if (fd >= 0)
        close(fd);
    std::stable_sort(vAdapters.begin(), vAdapters.end(),
                     [](const TAdapter& a, const TAdapter& b) { return a.iIndex < b.iIndex; });
    return 0;
}
