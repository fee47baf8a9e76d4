// libFuzzer target: arbitrary bytes into the DHCP packet codec. Whatever
// parses must serialize, and the serialized message must parse back to the
// same header, options and vendor sub-options (the boot menu step on replies
// has its own target). Any difference aborts (a finding).
#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "fuzzcheck.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    DhcpPacket first;
    if (!first.Parse(pData, static_cast<uint32_t>(nSize)))
    {
        FUZZ_CHECK(nSize < 240, "a datagram of 240 bytes or more was refused");
        FUZZ_CHECK(first.OptionsLength() == 5, "a refused datagram left options behind");
        return 0;
    }
    // Options 0, 43 and 255 are never stored: the round trip below would lose them.
    const std::map<int, std::vector<uint8_t>> mFirst = Tables(first);
    int nCounted = 5;
    for (const auto& option : mFirst)
        nCounted += static_cast<int>(option.second.size()) + 2;
    FUZZ_CHECK(first.OptionsLength() == nCounted, "options length out of step with the tables");

    const int nMessage = first.MessageLength();
    FUZZ_CHECK(nMessage >= 300, "message shorter than 300 bytes");
    // One byte more than the message: Serialize also wants room beyond TotalLength.
    std::vector<uint8_t> vOut(static_cast<size_t>(nMessage) + 1, 0);
    int nOut = static_cast<int>(vOut.size());
    FUZZ_CHECK(first.Serialize(vOut.data(), nOut), "a parsed packet did not serialize");
    FUZZ_CHECK(nOut == nMessage, "serialized length differs from MessageLength");

    // The second packet's header is the one written: had its option 52 folded names into sname
    // or file, its tables would lack the 52 the first holds.
    DhcpPacket second;
    FUZZ_CHECK(second.Parse(vOut.data(), static_cast<uint32_t>(nOut)),
               "the serialized message did not parse");
    FUZZ_CHECK(std::memcmp(first.Header(), second.Header(), kDhcpHeaderSize) == 0,
               "header changed in the round trip");
    FUZZ_CHECK(std::memcmp(first.Cookie(), second.Cookie(), kDhcpCookieSize) == 0,
               "cookie changed in the round trip");
    FUZZ_CHECK(Tables(second) == mFirst, "option or sub-option changed in the round trip");
    FUZZ_CHECK(first.OptionsLength() == second.OptionsLength(),
               "options length changed in the round trip");
    return 0;
}
