// Helpers shared by the boot tests: real firmware datagrams, requests, and the
// check of a reply against its request.
#pragma once

#include "boot/bootmenu.h"
#include "boot/dhcppacket.h"
#include "boot/pxeparser.h"
#include "common/testutil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;

// A datagram the firmware sent (tests/boot/captures/<name>.bin).
inline TBytes Capture(const std::string& strName)
{
    const std::string s = ReadFile(std::string(PXE_SOURCE_DIR) + "/tests/boot/captures/" + strName + ".bin");
    return TBytes(s.begin(), s.end());
}

// The value of an option (or of a vendor sub-option); empty when absent.
inline std::string Opt(const DhcpPacket& p, uint8_t nCode, bool bVendor = false)
{
    char a[255];
    const int n = bVendor ? p.GetVendorOption(nCode, a, sizeof(a)) : p.GetOption(nCode, a, sizeof(a));
    return std::string(a, n > 0 ? static_cast<size_t>(n) : 0);
}

inline TBytes Serialized(const DhcpPacket& p)
{
    TBytes v(2000);
    int n = static_cast<int>(v.size());
    EXPECT_TRUE(p.Serialize(v.data(), n));
    v.resize(static_cast<size_t>(std::max(n, 0)));
    return v;
}

// A PXE client's request of type nType (none when 0) from 52:54:00:12:34:56,
// changed by fnChange, zero-padded to nPadTo bytes.
inline TBytes Request(uint8_t nType, const std::function<void(DhcpPacket&)>& fnChange = nullptr, size_t nPadTo = 0)
{
    DhcpPacket p;
    p.SetOp(1);
    p.SetHtype(1);
    p.SetChaddr("\x52\x54\x00\x12\x34\x56", 6);
    p.SetXid(htonl(0x11223344));
    p.SetFlags(htons(0x8000));
    if (nType != 0)
        p.SetOption(53, &nType, 1);
    p.SetOption(60, "PXEClient:Arch:00000:UNDI:002001", 32);
    p.SetOption(55, "\x01\x03\x2b\x3c", 4);
    if (fnChange)
        fnChange(p);
    TBytes v = Serialized(p);
    v.resize(std::max(v.size(), nPadTo));
    return v;
}

// Checks a reply of kind eKind against its request: the header fields it
// copies, options 53, 54 and 60, and what that kind carries.
inline void ExpectReply(const TBytes& vReply, const TBytes& vRequest, EPxeReply eKind, const std::string& strFile)
{
    DhcpPacket req, rep;
    ASSERT_TRUE(req.Parse(vRequest.data(), static_cast<uint32_t>(vRequest.size())));
    ASSERT_GE(vReply.size(), 300u);
    ASSERT_TRUE(rep.Parse(vReply.data(), static_cast<uint32_t>(vReply.size())));
    const uint8_t* a = rep.Header();
    const uint8_t* b = req.Header();
    EXPECT_EQ(TBytes(a, a + 4), (TBytes{2, b[1], a[2], 0}));  // op, htype, hops
    for (const auto& r : {std::make_pair(4, 12), std::make_pair(16, 20), std::make_pair(24, 34)})
        EXPECT_EQ(TBytes(a + r.first, a + r.second), TBytes(b + r.first, b + r.second)) << "offset " << r.first;
    EXPECT_EQ(rep.GetCiaddr(), 0u);
    const bool bOffer = Opt(req, 53) == "\x01";
    EXPECT_EQ(Opt(rep, 53), bOffer ? "\x02" : "\x05");
    EXPECT_EQ(Opt(rep, 54), std::string("\xc6\x12\x00\x01", 4));
    EXPECT_EQ(Opt(rep, 60), "PXEClient");
    const bool bProxy = eKind == EPxeReply::Proxy || (eKind == EPxeReply::ConsoleInfo && bOffer);
    EXPECT_EQ(Opt(rep, PXE_DISCOVERY_CONTROL, true), bProxy ? "\x07" : "");
    EXPECT_EQ(Opt(rep, PXE_BOOT_SERVERS, true), bProxy ? std::string("\x00\x01\x01\xc6\x12\x00\x01", 7) : "");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rep.File()), strnlen(reinterpret_cast<const char*>(rep.File()), 128)),
              strFile);
    if (eKind == EPxeReply::ConsoleInfo)
    {
        EXPECT_EQ(Opt(rep, 201), "'198.18.0.1' '40003'");
        EXPECT_EQ(rep.GetSiaddr(), 0u);
        EXPECT_FALSE(rep.HasVendorOption(PXE_BOOT_MENU) || rep.HasVendorOption(PXE_BOOT_ITEM));
        return;
    }
    EXPECT_EQ(rep.GetSiaddr(), inet_addr("198.18.0.1"));
    EXPECT_EQ(Opt(rep, PXE_BOOT_MENU, true), std::string("\x00\x01\x05Linux", 8));
    EXPECT_EQ(Opt(rep, PXE_MENU_PROMPT, true), std::string("\x00Press F8 to view the menu", 26));
    EXPECT_EQ(Opt(rep, PXE_BOOT_ITEM, true),
              eKind == EPxeReply::BootServer ? Opt(req, PXE_BOOT_ITEM, true) : std::string(4, '\0'));
    // One option 43 right after options 53, 54 and 60.
    EXPECT_EQ(TBytes(vReply.begin() + 260, vReply.begin() + 262), (TBytes{43, static_cast<uint8_t>(bProxy ? 57 : 45)}));
    EXPECT_EQ(vReply.size(), bProxy ? 320u : 308u);
}
