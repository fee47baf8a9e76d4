#include "boot/bootmenu.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{
// Discovery control: bit 0 no broadcast discovery, bit 1 no multicast
// discovery, bit 2 use and accept only the servers of PXE_BOOT_SERVERS.
const uint8_t kDiscoveryControl = 0x07;
const char kMenuItem[] = "Linux";
const char kMenuPrompt[] = "Press F8 to view the menu";
}  // namespace

bool SetDiscoveryControl(DhcpPacket& packet)
{
    return packet.SetVendorOption(PXE_DISCOVERY_CONTROL, &kDiscoveryControl, 1);
}

bool SetBootServers(DhcpPacket& packet, const uint8_t* pServerAddr)
{
    // Server type (2 bytes), address count, then the addresses.
    uint8_t aValue[7] = {static_cast<uint8_t>(kPxeMenuServerType >> 8),
                         static_cast<uint8_t>(kPxeMenuServerType), 1};
    std::memcpy(aValue + 3, pServerAddr, 4);
    return packet.SetVendorOption(PXE_BOOT_SERVERS, aValue, sizeof(aValue));
}

bool SetBootMenu(DhcpPacket& packet)
{
    // Server type (2 bytes), description length, description.
    const size_t nItem = sizeof(kMenuItem) - 1;
    uint8_t aValue[3 + nItem] = {static_cast<uint8_t>(kPxeMenuServerType >> 8),
                                 static_cast<uint8_t>(kPxeMenuServerType),
                                 static_cast<uint8_t>(nItem)};
    std::memcpy(aValue + 3, kMenuItem, nItem);
    return packet.SetVendorOption(PXE_BOOT_MENU, aValue, sizeof(aValue));
}

bool SetMenuPrompt(DhcpPacket& packet)
{
    // Timeout 0 (the one item is taken at once), then the prompt without NUL.
    const size_t nPrompt = sizeof(kMenuPrompt) - 1;
    uint8_t aValue[1 + nPrompt] = {0};
    std::memcpy(aValue + 1, kMenuPrompt, nPrompt);
    return packet.SetVendorOption(PXE_MENU_PROMPT, aValue, sizeof(aValue));
}

bool SetBootItem(DhcpPacket& packet, uint16_t nServerType, uint16_t nLayer)
{
    const uint8_t aValue[4] = {static_cast<uint8_t>(nServerType >> 8),
                               static_cast<uint8_t>(nServerType), static_cast<uint8_t>(nLayer >> 8),
                               static_cast<uint8_t>(nLayer)};
    return packet.SetVendorOption(PXE_BOOT_ITEM, aValue, sizeof(aValue));
}

bool AddBootMenu(PxeReplyBuffer* pBuffer)
{
    if (pBuffer == nullptr || pBuffer->pReply == nullptr)
        return false;
    DhcpPacket packet;
    if (!packet.Parse(pBuffer->pReply, pBuffer->nReplyLength))
        return false;
    if (!SetMenuPrompt(packet) || !SetBootMenu(packet))
        return false;

    // TotalLength + 100 takes the menu in any reply of a few option 43
    // instances; MessageLength covers a vendor table split many times.
    std::vector<uint8_t> vMessage(
        static_cast<size_t>(std::max(packet.TotalLength() + 100, packet.MessageLength())), 0);
    int nLength = static_cast<int>(vMessage.size());
    if (!packet.Serialize(vMessage.data(), nLength))
        return false;
    // A reply cut to the buffer would lose its END option and part of its
    // options: one that does not fit is left as it was, without the menu.
    if (nLength > pBuffer->nReplyCapacity)
        return false;
    std::memcpy(pBuffer->pReply, vMessage.data(), static_cast<size_t>(nLength));
    pBuffer->nReplyLength = static_cast<uint16_t>(nLength);
    return true;
}
