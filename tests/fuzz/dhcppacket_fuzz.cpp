// libFuzzer target: arbitrary bytes into the DHCP packet codec. Whatever
// parses must serialize, and the serialized message must parse back to the
// same header, options and vendor sub-options; the boot menu step must take
// any serialized reply. Any difference aborts (a finding).
#include "boot/bootmenu.h"
#include "boot/dhcppacket.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
void Check(bool bOk, const char* szWhat)
{
    if (!bOk)
    {
        std::fprintf(stderr, "dhcppacket_fuzz: %s\n", szWhat);
        std::abort();
    }
}

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

void CheckSameOption(int nA, const uint8_t* pA, int nB, const uint8_t* pB)
{
    Check(nA == nB, "option length changed in the round trip");
    Check(nA <= 0 || std::memcmp(pA, pB, static_cast<size_t>(nA)) == 0, "option value changed in the round trip");
}

void CheckSameTables(const DhcpPacket& a, const DhcpPacket& b)
{
    uint8_t aA[255];
    uint8_t aB[255];
    for (int i = 0; i < 256; ++i)
    {
        const uint8_t nCode = static_cast<uint8_t>(i);
        Check(a.HasOption(nCode) == b.HasOption(nCode), "option lost or added in the round trip");
        Check(a.HasVendorOption(nCode) == b.HasVendorOption(nCode), "sub-option lost or added in the round trip");
        CheckSameOption(a.GetOption(nCode, aA, sizeof(aA)), aA, b.GetOption(nCode, aB, sizeof(aB)), aB);
        CheckSameOption(a.GetVendorOption(nCode, aA, sizeof(aA)), aA, b.GetVendorOption(nCode, aB, sizeof(aB)), aB);
    }
    Check(a.OptionsLength() == b.OptionsLength(), "options length changed in the round trip");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    DhcpPacket first;
    if (!first.Parse(pData, static_cast<uint32_t>(nSize)))
    {
        Check(nSize < 240, "a datagram of 240 bytes or more was refused");
        Check(first.OptionsLength() == 5, "a refused datagram left options behind");
        return 0;
    }
    Check(first.OptionsLength() == CountedLength(first), "options length out of step with the tables");
    Check(!first.HasOption(43) && !first.HasOption(0) && !first.HasOption(255) && !first.HasVendorOption(0) &&
              !first.HasVendorOption(255),
          "option 0, 43 or 255 stored");

    const int nMessage = first.MessageLength();
    Check(nMessage >= 300 && nMessage >= first.TotalLength(), "message shorter than its parts");
    std::vector<uint8_t> vOut(static_cast<size_t>(nMessage) + 1, 0);
    int nOut = static_cast<int>(vOut.size());
    Check(first.Serialize(vOut.data(), nOut), "a parsed packet did not serialize");
    Check(nOut == nMessage, "serialized length differs from MessageLength");
    Check(std::memcmp(vOut.data(), first.Header(), kDhcpHeaderSize) == 0, "header not written as held");

    DhcpPacket second;
    Check(second.Parse(vOut.data(), static_cast<uint32_t>(nOut)), "the serialized message did not parse");
    Check(std::memcmp(first.Header(), second.Header(), kDhcpHeaderSize) == 0, "header changed in the round trip");
    Check(std::memcmp(first.Cookie(), second.Cookie(), kDhcpCookieSize) == 0, "cookie changed in the round trip");
    CheckSameTables(first, second);

    // The boot menu step on the serialized message, with the headroom the
    // request handler gives.
    if (nOut + 512 <= 65535)
    {
        std::vector<uint8_t> vReply(static_cast<size_t>(nOut) + 512, 0);
        std::memcpy(vReply.data(), vOut.data(), static_cast<size_t>(nOut));
        PxeReplyBuffer buffer;
        buffer.pReply = vReply.data();
        buffer.nReplyLength = static_cast<uint16_t>(nOut);
        buffer.nReplyCapacity = static_cast<uint16_t>(vReply.size());
        if (AddBootMenu(&buffer))
        {
            DhcpPacket menu;
            Check(menu.Parse(vReply.data(), buffer.nReplyLength), "the reply with the menu did not parse");
            Check(menu.GetVendorOption(PXE_BOOT_MENU, nullptr, 0) == 8, "boot menu missing");
            Check(menu.GetVendorOption(PXE_MENU_PROMPT, nullptr, 0) == 26, "menu prompt missing");
            Check(menu.GetVendorOption(PXE_BOOT_ITEM, nullptr, 0) == second.GetVendorOption(PXE_BOOT_ITEM, nullptr, 0),
                  "the menu step lost a sub-option");
        }
        else
        {
            Check(buffer.nReplyLength == nOut && std::memcmp(vReply.data(), vOut.data(), static_cast<size_t>(nOut)) == 0,
                  "a refused menu step changed the reply");
        }
    }
    return 0;
}
