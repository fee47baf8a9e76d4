// libFuzzer target: arbitrary bytes into the DHCP packet codec. Whatever
// parses must serialize, and the serialized message must parse back to the
// same header, options and vendor sub-options. Then the boot menu step on that
// message, in a buffer of exactly the room the datagram's last byte gives
// (twice its value) beyond it: refused, the message is left byte for byte;
// else the reply parses, carries the menu and the prompt, and keeps the header
// and every other option and sub-option. Any difference aborts (a finding).
#include "boot/bootmenu.h"
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

    std::vector<uint8_t> vReply(vOut.begin(), vOut.begin() + nOut);
    vReply.resize(vReply.size() + pData[nSize - 1] * 2u);
    if (vReply.size() > 65535)
        return 0;
    vReply.shrink_to_fit();  // written past its capacity: a sanitizer finding
    PxeReplyBuffer buffer;
    buffer.pReply = vReply.data();
    buffer.nReplyLength = static_cast<uint16_t>(nOut);
    buffer.nReplyCapacity = static_cast<uint16_t>(vReply.size());
    if (!AddBootMenu(&buffer))
    {
        FUZZ_CHECK(buffer.nReplyLength == nOut &&
                       std::memcmp(vReply.data(), vOut.data(), static_cast<size_t>(nOut)) == 0,
                   "a refused reply was changed");
        return 0;
    }
    DhcpPacket menu;
    FUZZ_CHECK(menu.Parse(vReply.data(), buffer.nReplyLength),
               "the reply with the menu does not parse");
    FUZZ_CHECK(std::memcmp(first.Header(), menu.Header(), kDhcpHeaderSize) == 0,
               "header changed by the menu");
    std::map<int, std::vector<uint8_t>> mMenu = Tables(menu), mExpected = mFirst;
    FUZZ_CHECK(mMenu[256 + PXE_BOOT_MENU].size() == 8, "boot menu missing");
    FUZZ_CHECK(mMenu[256 + PXE_MENU_PROMPT].size() == 26, "menu prompt missing");
    mExpected[256 + PXE_BOOT_MENU] = mMenu[256 + PXE_BOOT_MENU];
    mExpected[256 + PXE_MENU_PROMPT] = mMenu[256 + PXE_MENU_PROMPT];
    FUZZ_CHECK(mExpected == mMenu, "the menu changed an option or sub-option");
    return 0;
}
