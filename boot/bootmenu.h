// The PXE vendor sub-options (content of DHCP option 43) that the boot
// service puts into its replies, and the step that adds the boot menu and the
// menu prompt to a reply that is already serialized.
#pragma once

#include "boot/dhcppacket.h"

#include <netinet/in.h>

#include <cstdint>

// Server type of the one boot menu item ("Linux").
constexpr uint16_t kPxeMenuServerType = 1;

// Sub-option 6: no broadcast discovery, no multicast discovery, use and
// accept only the servers of PXE_BOOT_SERVERS (value 7).
bool SetDiscoveryControl(DhcpPacket& packet);
// Sub-option 8: server type 1, one address, pServerAddr (4 bytes, network order).
bool SetBootServers(DhcpPacket& packet, const uint8_t* pServerAddr);
// Sub-option 9: one item, server type 1, description "Linux".
bool SetBootMenu(DhcpPacket& packet);
// Sub-option 10: timeout 0, then "Press F8 to view the menu".
bool SetMenuPrompt(DhcpPacket& packet);
// Sub-option 71: server type and layer (host order in, big-endian on the wire).
bool SetBootItem(DhcpPacket& packet, uint16_t nServerType, uint16_t nLayer);

// What the request handler hands to AddBootMenu.
struct PxeReplyBuffer
{
    uint16_t nPort = 0;                 // receiving port: 67 or 4011
    const uint8_t* pRequest = nullptr;  // the received datagram
    uint16_t nRequestLength = 0;
    uint8_t* pReply = nullptr;    // the serialized reply, owned by the caller
    uint16_t nReplyLength = 0;    // in and out
    uint16_t nReplyCapacity = 0;  // size of pReply
    sockaddr_in saClient{};       // the request's sender
};

// Adds sub-options 9 and 10 (replacing any already there) to the serialized
// reply in pBuffer->pReply and updates pBuffer->nReplyLength. Returns true
// when the menu was added. When the reply cannot be parsed, or the new reply
// would not fit nReplyCapacity, the reply is left as it was and false is
// returned (a reply without the menu is still a whole reply; a cut one is not).
bool AddBootMenu(PxeReplyBuffer* pBuffer);
