// libFuzzer target: arbitrary text into CIPAddr. A text it takes is a dotted
// quad of at most 15 characters whose canonical form it gives back; its
// canonical form parses back to the same address, and so does the system's
// own parser; a refused text leaves 0.0.0.0.
#include "boot/cipaddr.h"
#include "fuzzcheck.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strText(reinterpret_cast<const char*>(pData), nSize);
    CIPAddr ip;
    const bool bParsed = ip.Parse(strText);
    const uint8_t* o = ip.Octets();
    uint32_t nNetwork;
    std::memcpy(&nNetwork, o, 4);
    FUZZ_CHECK(ip.GetValue(true) == nNetwork, "network-order value is not the octets as they lie");
    FUZZ_CHECK(ip.GetValue(false) == ntohl(nNetwork), "host-order value is not the octets");
    FUZZ_CHECK(CIPAddr(strText).GetValue(true) == nNetwork, "constructor and Parse differ");
    if (!bParsed)
    {
        FUZZ_CHECK(nNetwork == 0, "a refused text left an address");
        return 0;
    }
    FUZZ_CHECK(nSize <= 15 && strText.find_first_not_of("0123456789.") == std::string::npos,
               "not a dotted text");
    const std::string strCanonical = ip.ToString();
    CIPAddr again;
    FUZZ_CHECK(again.Parse(strCanonical) && again.GetValue(true) == nNetwork,
               "canonical text parsed differently");
    in_addr addr{};
    FUZZ_CHECK(inet_pton(AF_INET, strCanonical.c_str(), &addr) == 1 && addr.s_addr == nNetwork,
               "the system reads the canonical text differently");
    return 0;
}
