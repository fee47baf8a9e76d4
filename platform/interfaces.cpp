#include "platform/interfaces.h"

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

bool TAdapter::IsEthernet() const { return iLinkType == ARPHRD_ETHER && !bWireless; }

namespace
{
// One entry of the system's address list: an interface, or an IPv4 alias
// label of one, with at most one address.
struct TListedAddress
{
    std::string strLabel;     // "eth0", or an alias label "eth0:1"
    unsigned nFlags = 0;      // IFF_*
    int iFamily = AF_UNSPEC;  // of the address; AF_UNSPEC when the entry has none
    int iIndex = 0;           // AF_PACKET: the interface index
    int iLinkType = 0;        // AF_PACKET: the ARPHRD_* link type
    in_addr addr{};           // AF_INET: the address
    in_addr mask{};           // AF_INET: its netmask (0 when the system gives none)
};

// The address list in the order the system gives it; false when it cannot be had.
bool ListAddresses(std::vector<TListedAddress>& vList)
{
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return false;
    for (ifaddrs* p = pList; p != nullptr; p = p->ifa_next)
    {
        if (p->ifa_name == nullptr)
            continue;
        TListedAddress listed;
        listed.strLabel = p->ifa_name;
        listed.nFlags = p->ifa_flags;
        if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_PACKET)
        {
            const sockaddr_ll* pLink = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
            listed.iFamily = AF_PACKET;
            listed.iIndex = pLink->sll_ifindex;
            listed.iLinkType = pLink->sll_hatype;
        }
        else if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_INET)
        {
            listed.iFamily = AF_INET;
            listed.addr = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr;
            if (p->ifa_netmask != nullptr && p->ifa_netmask->sa_family == AF_INET)
                listed.mask = reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr;
        }
        vList.push_back(listed);
    }
    freeifaddrs(pList);
    return true;
}

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
    std::vector<TListedAddress> vList;
    if (!ListAddresses(vList))
        return -1;

    // Keyed by interface name; an IPv4 alias label "eth0:1" belongs to "eth0".
    std::map<std::string, TAdapter> mAdapters;
    std::map<std::string, bool> mLoopback;
    for (const TListedAddress& listed : vList)
    {
        const std::string strName = listed.strLabel.substr(0, listed.strLabel.find(':'));
        if (listed.nFlags & IFF_LOOPBACK)
            mLoopback[strName] = true;
        TAdapter& adapter = mAdapters[strName];
        adapter.strName = strName;
        if (listed.iFamily == AF_PACKET)
        {
            adapter.iIndex = listed.iIndex;
            adapter.iLinkType = listed.iLinkType;
        }
        else if (listed.iFamily == AF_INET)
        {
            char szAddr[INET_ADDRSTRLEN] = {};
            if (inet_ntop(AF_INET, &listed.addr, szAddr, sizeof(szAddr)) != nullptr)
                adapter.vIpv4.push_back(szAddr);
        }
    }

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

std::string InterfaceOfAddress(const std::string& strIp)
{
    in_addr addr{};
    std::vector<TListedAddress> vList;
    if (inet_aton(strIp.c_str(), &addr) == 0 || !ListAddresses(vList))
        return std::string();
    for (const TListedAddress& listed : vList)
        if (listed.iFamily == AF_INET && listed.addr.s_addr == addr.s_addr)
            return listed.strLabel;
    return std::string();
}

uint32_t AddressOfInterface(const std::string& strName)
{
    std::vector<TListedAddress> vList;
    if (!ListAddresses(vList))
        return 0;
    for (const TListedAddress& listed : vList)
        if (listed.iFamily == AF_INET && listed.strLabel == strName)
            return listed.addr.s_addr;
    return 0;
}

int GetLocalNetworks(std::vector<TLocalNetwork>& vNetworks)
{
    vNetworks.clear();
    std::vector<TListedAddress> vList;
    if (!ListAddresses(vList))
        return -1;
    for (const TListedAddress& listed : vList)
        if (listed.iFamily == AF_INET)
            vNetworks.push_back({listed.addr.s_addr, listed.mask.s_addr});
    return 0;
}
