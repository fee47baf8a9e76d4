// One IPv4 address as four octets, parsed from dotted-decimal text.
#pragma once

#include <cstdint>
#include <string>

class CIPAddr
{
public:
    // 0.0.0.0.
    CIPAddr();
    // Parses strText; a text that is not a dotted address gives 0.0.0.0.
    explicit CIPAddr(const std::string& strText);

    // Replaces the octets with those of strText ("a.b.c.d", each 0 to 255,
    // leading zeros allowed, at most 15 characters). Returns true when the
    // text parsed; otherwise the address becomes 0.0.0.0 and false is returned.
    bool Parse(const std::string& strText);

    // The address as a 32-bit number. bNetworkOrder: the octets as they lie
    // in memory, the first octet at the lowest address (ready for a socket
    // address or a DHCP option). Otherwise the host-order number whose most
    // significant byte is the first octet.
    uint32_t GetValue(bool bNetworkOrder) const;

    // The four octets, first octet first.
    const uint8_t* Octets() const { return aOctets; }
    // Dotted-decimal text of the address.
    std::string ToString() const;

    // True when no octet is 0 or 255.
    virtual bool IsValidHost() const;

private:
    uint8_t aOctets[4];
};
