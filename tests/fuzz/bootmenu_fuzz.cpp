// libFuzzer target: AddBootMenu on arbitrary serialized replies, in a buffer
// of exactly the room the first two bytes give beyond the reply. A refused
// reply is left byte for byte; a reply with the menu fits its buffer, parses,
// carries the menu and the prompt, and keeps the header and every other
// option and sub-option of the reply as it parsed before.
#include "boot/bootmenu.h"
#include "boot/dhcppacket.h"
#include "fuzzcheck.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 2 || nSize - 2 > 60000)
        return 0;
    const size_t nReply = nSize - 2;
    const size_t nRoom = ((size_t(pData[0]) << 8) | pData[1]) % 1024;
    std::vector<uint8_t> vBuffer(pData + 2, pData + nSize);
    vBuffer.resize(nReply + nRoom);
    vBuffer.shrink_to_fit();
    PxeReplyBuffer buffer;
    buffer.pReply = vBuffer.data();
    buffer.nReplyLength = static_cast<uint16_t>(nReply);
    buffer.nReplyCapacity = static_cast<uint16_t>(vBuffer.size());

    if (!AddBootMenu(&buffer))
    {
        FUZZ_CHECK(buffer.nReplyLength == nReply &&
                       (nReply == 0 || std::memcmp(vBuffer.data(), pData + 2, nReply) == 0),
                   "a refused reply was changed");
        return 0;
    }
    // Written into a buffer of exactly its capacity: a longer reply is a sanitizer finding.
    DhcpPacket before, after;
    FUZZ_CHECK(before.Parse(pData + 2, static_cast<uint32_t>(nReply)),
               "a reply that does not parse got the menu");
    FUZZ_CHECK(after.Parse(vBuffer.data(), buffer.nReplyLength),
               "the reply with the menu does not parse");
    FUZZ_CHECK(std::memcmp(before.Header(), after.Header(), kDhcpHeaderSize) == 0,
               "header changed");
    std::map<int, std::vector<uint8_t>> mBefore = Tables(before), mAfter = Tables(after);
    FUZZ_CHECK(mAfter[256 + PXE_BOOT_MENU].size() == 8, "boot menu missing");
    FUZZ_CHECK(mAfter[256 + PXE_MENU_PROMPT].size() == 26, "menu prompt missing");
    mBefore[256 + PXE_BOOT_MENU] = mAfter[256 + PXE_BOOT_MENU];
    mBefore[256 + PXE_MENU_PROMPT] = mAfter[256 + PXE_MENU_PROMPT];
    FUZZ_CHECK(mBefore == mAfter, "an option or sub-option changed");
    return 0;
}
