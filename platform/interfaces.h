// The machine's network interfaces and their IPv4 addresses: the adapter list
// the configuration reader looks at when no particular interface is
// configured, the lookups of one interface by its address or its name, and
// the machine's own networks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TAdapter
{
    int iIndex = 0;                  // interface index
    std::string strName;             // interface name
    int iLinkType = 0;               // ARPHRD_* link type
    bool bWireless = false;          // an 802.11 device (its link type says Ethernet too)
    std::vector<std::string> vIpv4;  // dotted IPv4 addresses, in the order the system lists them

    // Wired Ethernet: link type Ethernet and not wireless.
    bool IsEthernet() const;
};

// Every interface other than loopback, in interface-index order.
// 0 on success, -1 when the list cannot be had.
int GetAdapterList(std::vector<TAdapter>& vAdapters);

// Name of the interface that carries the IPv4 address strIp (dotted, as
// inet_aton reads it), as the system lists it: an alias address gives its
// label ("eth0:1"). Empty when no interface carries it, when strIp is no
// address, or when the list cannot be had.
std::string InterfaceOfAddress(const std::string& strIp);

// First IPv4 address (network order) listed under the name strName; 0 when it has none.
uint32_t AddressOfInterface(const std::string& strName);

// One IPv4 address of this machine with the netmask of its network (both in
// network order).
struct TLocalNetwork
{
    uint32_t nAddress = 0;
    uint32_t nNetmask = 0;
};

// Every IPv4 address the machine's interfaces carry, loopback included, with
// its netmask. 0 on success, -1 when the list cannot be had.
int GetLocalNetworks(std::vector<TLocalNetwork>& vNetworks);
