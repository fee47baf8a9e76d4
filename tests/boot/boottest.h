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

inline TBytes Cat(std::initializer_list<TBytes> parts)
{
    TBytes v;
    for (const TBytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

// Text as bytes, zero-filled to at least n bytes.
inline TBytes Text(const std::string& s, size_t n = 0)
{
    TBytes v(s.begin(), s.end());
    v.resize(std::max(n, v.size()));
    return v;
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

// Checks a reply of kind eKind (None: no reply) against its request, byte for
// byte: the header fields it copies, and every option (a proxy reply has an
// option 43 of 57 bytes and 320 bytes in all, a boot-server reply 45 and 308).
inline void ExpectReply(const TBytes& vReply, const TBytes& vRequest, EPxeReply eKind, const std::string& strFile)
{
    EXPECT_EQ(vReply.empty(), eKind == EPxeReply::None);
    if (vReply.empty() || eKind == EPxeReply::None)
        return;
    DhcpPacket req, rep;
    ASSERT_TRUE(req.Parse(vRequest.data(), static_cast<uint32_t>(vRequest.size())));
    ASSERT_TRUE(rep.Parse(vReply.data(), static_cast<uint32_t>(vReply.size())));
    const uint8_t* a = rep.Header();
    const uint8_t* b = req.Header();
    EXPECT_EQ(TBytes(a, a + 4), (TBytes{2, b[1], a[2], 0}));  // op, htype, hops
    for (const auto& r : {std::make_pair(4, 12), std::make_pair(16, 20), std::make_pair(24, 34)})
        EXPECT_EQ(TBytes(a + r.first, a + r.second), TBytes(b + r.first, b + r.second)) << "offset " << r.first;
    EXPECT_EQ(rep.GetCiaddr(), 0u);
    EXPECT_EQ(rep.GetSiaddr(), eKind == EPxeReply::ConsoleInfo ? 0u : inet_addr("198.18.0.1"));
    EXPECT_EQ(TBytes(rep.File(), rep.File() + 128), Text(strFile, 128));

    const bool bOffer = Opt(req, 53) == "\x01";
    const bool bProxy = eKind == EPxeReply::Proxy || (eKind == EPxeReply::ConsoleInfo && bOffer);
    TBytes vOptions = Cat({{53, 1, static_cast<uint8_t>(bOffer ? 2 : 5), 54, 4, 198, 18, 0, 1, 60, 9}, Text("PXEClient")});
    TBytes vVendor = bProxy ? TBytes{6, 1, 7, 8, 7, 0, 1, 1, 198, 18, 0, 1} : TBytes();
    if (eKind == EPxeReply::ConsoleInfo)
        vOptions = Cat({vOptions, {201, 20}, Text("'198.18.0.1' '40003'")});
    else
        vVendor = Cat({vVendor, {9, 8, 0, 1, 5}, Text("Linux"), {10, 26, 0}, Text("Press F8 to view the menu"), {71, 4},
                       eKind == EPxeReply::BootServer ? Text(Opt(req, 71, true)) : TBytes(4, 0)});
    if (!vVendor.empty())
        vOptions = Cat({vOptions, {43, static_cast<uint8_t>(vVendor.size() + 1)}, vVendor, {255}});
    vOptions.push_back(255);
    EXPECT_EQ(TBytes(vReply.begin() + 240, vReply.end()), Text(std::string(vOptions.begin(), vOptions.end()), 60));
}
