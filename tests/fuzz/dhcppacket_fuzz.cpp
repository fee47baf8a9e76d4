// libFuzzer target: arbitrary bytes into the DHCP packet codec. Whatever
// parses must serialize, and the serialized message must parse back to the
// same header, options and vendor sub-options (the boot menu step on replies
// has its own target). Any difference aborts (a finding).
#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "fuzzcheck.h"

#include <cstring>
#include <vector>

namespace
{
// Options length recomputed from the two tables.
int CountedLength(const DhcpPacket& packet)
{
    int n = 5;
    for (int i = 0; i < 256; ++i)
    {
        const uint8_t nCode = static_cast<uint8_t>(i);
        if (packet.HasOption(nCode))
            n += packet.GetOption(nCode, nullptr, 0) + 2;
        if (packet.HasVendorOption(nCode))
            n += packet.GetVendorOption(nCode, nullptr, 0) + 2;
    }
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    DhcpPacket first;
    if (!first.Parse(pData, static_cast<uint32_t>(nSize)))
    {
        FUZZ_CHECK(nSize < 240, "a datagram of 240 bytes or more was refused");
        FUZZ_CHECK(first.OptionsLength() == 5, "a refused datagram left options behind");
        return 0;
    }
    FUZZ_CHECK(first.OptionsLength() == CountedLength(first),
               "options length out of step with the tables");
    FUZZ_CHECK(!first.HasOption(kOptVendorSpecific) && !first.HasOption(kOptPad) &&
                   !first.HasOption(kOptEnd) && !first.HasVendorOption(kOptPad) &&
                   !first.HasVendorOption(kOptEnd),
               "option 0, 43 or 255 stored");

    const int nMessage = first.MessageLength();
    FUZZ_CHECK(nMessage >= 300 && nMessage >= first.TotalLength(),
               "message shorter than its parts");
    std::vector<uint8_t> vOut(static_cast<size_t>(nMessage) + 1, 0);
    int nOut = static_cast<int>(vOut.size());
    FUZZ_CHECK(first.Serialize(vOut.data(), nOut), "a parsed packet did not serialize");
    FUZZ_CHECK(nOut == nMessage, "serialized length differs from MessageLength");
    FUZZ_CHECK(std::memcmp(vOut.data(), first.Header(), kDhcpHeaderSize) == 0,
               "header not written as held");

    DhcpPacket second;
    FUZZ_CHECK(second.Parse(vOut.data(), static_cast<uint32_t>(nOut)),
               "the serialized message did not parse");
    FUZZ_CHECK(std::memcmp(first.Header(), second.Header(), kDhcpHeaderSize) == 0,
               "header changed in the round trip");
    FUZZ_CHECK(std::memcmp(first.Cookie(), second.Cookie(), kDhcpCookieSize) == 0,
               "cookie changed in the round trip");
    FUZZ_CHECK(SameTables(first, second, [](uint8_t, bool) { return true; }),
               "option or sub-option changed in the round trip");
    FUZZ_CHECK(first.OptionsLength() == second.OptionsLength(),
               "options length changed in the round trip");
    return 0;
}
