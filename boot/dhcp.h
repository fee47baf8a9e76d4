// The numbers of BOOTP/DHCP and of its PXE extensions: ports, message types,
// option codes, PXE vendor sub-option codes and the sizes of a message's
// fixed parts. Used by the codec, the request handler, the listener and the tools.
#pragma once

#include <cstdint>

// UDP ports.
constexpr uint16_t kDhcpServerPort = 67;  // DHCP server (and relays)
constexpr uint16_t kDhcpClientPort = 68;  // DHCP client
constexpr uint16_t kBinlPort = 4011;      // PXE boot server

// BOOTP op codes (the first header byte).
constexpr uint8_t kBootRequest = 1;
constexpr uint8_t kBootReply = 2;
// Hardware type Ethernet (htype) and the broadcast bit of the flags field (host order).
constexpr uint8_t kHtypeEthernet = 1;
constexpr uint16_t kDhcpBroadcastFlag = 0x8000;

// Message types (the value of option 53).
constexpr uint8_t kDhcpDiscover = 1;
constexpr uint8_t kDhcpOffer = 2;
constexpr uint8_t kDhcpRequest = 3;
constexpr uint8_t kDhcpAck = 5;
constexpr uint8_t kDhcpInform = 8;

// Option codes.
constexpr uint8_t kOptPad = 0;
constexpr uint8_t kOptVendorSpecific = 43;  // holds the PXE vendor sub-options
constexpr uint8_t kOptOverload = 52;
constexpr uint8_t kOptMessageType = 53;
constexpr uint8_t kOptServerId = 54;
constexpr uint8_t kOptParameterList = 55;
constexpr uint8_t kOptMaxMessageSize = 57;
constexpr uint8_t kOptClassId = 60;
constexpr uint8_t kOptTftpServerName = 66;
constexpr uint8_t kOptBootFileName = 67;
constexpr uint8_t kOptClientArch = 93;
constexpr uint8_t kOptClientNdi = 94;
constexpr uint8_t kOptClientGuid = 97;
constexpr uint8_t kOptConsoleInfo = 201;  // the service's address and console port
constexpr uint8_t kOptEnd = 255;

// PXE vendor sub-option codes (the content of option 43).
enum EPxeVendorOption : uint8_t
{
    PXE_DISCOVERY_CONTROL = 6,
    PXE_BOOT_SERVERS = 8,
    PXE_BOOT_MENU = 9,
    PXE_MENU_PROMPT = 10,
    PXE_BOOT_ITEM = 71
};

// The class identifier (option 60) of a PXE client, and what a PXE reply carries there.
inline constexpr char kPxeClassId[] = "PXEClient";
constexpr int kPxeClassIdLength = sizeof(kPxeClassId) - 1;
// The class identifier of a UEFI HTTP boot client, and what an offer to it carries there.
inline constexpr char kHttpClassId[] = "HTTPClient";
constexpr int kHttpClassIdLength = sizeof(kHttpClassId) - 1;

// The magic cookie between the fixed header and the options.
inline constexpr uint8_t kDhcpMagicCookie[] = {99, 130, 83, 99};

// Sizes of the fixed parts of a message.
constexpr int kDhcpHeaderSize = 236;                               // fixed BOOTP fields
constexpr int kDhcpCookieSize = sizeof(kDhcpMagicCookie);          // magic cookie after the header
constexpr int kDhcpFixedSize = kDhcpHeaderSize + kDhcpCookieSize;  // 240
constexpr int kDhcpMinMessageSize = 300;  // the BOOTP minimum of a sent message
constexpr int kDhcpChaddrSize = 16;
constexpr int kDhcpSnameSize = 64;
constexpr int kDhcpFileSize = 128;
