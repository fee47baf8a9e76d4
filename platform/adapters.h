// The machine's network adapters, as the configuration reader sees them when
// no particular interface is configured.
#pragma once

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
