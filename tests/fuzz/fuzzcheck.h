// What the fuzz targets share: a failed invariant aborts with its text (a
// finding), and a DHCP packet's options read as values (the boot tests read
// them so too).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#define FUZZ_CHECK(bOk, szWhat)                                                                    \
    ((bOk) ? (void)0 : (std::fprintf(stderr, "%s: %s\n", __FILE__, szWhat), std::abort()))

// The value of a DhcpPacket's option (or vendor sub-option) nCode; empty when absent.
template <class TPacket> std::string Opt(const TPacket& p, uint8_t nCode, bool bVendor = false)
{
    char a[255];
    const int n =
        bVendor ? p.GetVendorOption(nCode, a, sizeof(a)) : p.GetOption(nCode, a, sizeof(a));
    return std::string(a, static_cast<size_t>(std::max(n, 0)));
}

// Every option (key n) and vendor sub-option (key 256 + n) a DhcpPacket holds, with its value.
template <class TPacket> std::map<int, std::vector<uint8_t>> Tables(const TPacket& p)
{
    std::map<int, std::vector<uint8_t>> m;
    for (int i = 0; i < 512; ++i)
        if (i > 255 ? p.HasVendorOption(i & 255) : p.HasOption(i & 255))
        {
            const std::string str = Opt(p, i & 255, i > 255);
            m[i].assign(str.begin(), str.end());
        }
    return m;
}
