// Helpers shared by the boot tests: real firmware datagrams and built requests. Opt and Tables,
// the options read as values, come with the fuzz targets' checks.
#pragma once

#include "boot/bootmenu.h"
#include "boot/dhcp.h"
#include "boot/dhcppacket.h"
#include "boot/pxeparser.h"
#include "common/testutil.h"
#include "fuzz/fuzzcheck.h"
#include "replytext.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

using TBytes = std::vector<uint8_t>;

// Text as bytes, zero-filled to at least n bytes.
inline TBytes Text(const std::string& s, size_t n = 0)
{
    TBytes v(s.begin(), s.end());
    v.resize(std::max(n, v.size()));
    return v;
}

// The bytes of tests/boot/<folder>/<name>.bin: a datagram the firmware sent, or a stored reply.
inline TBytes Stored(const std::string& strName, const char* szFolder = "captures")
{
    return Text(
        ReadFile(std::string(PXE_SOURCE_DIR) + "/tests/boot/" + szFolder + "/" + strName + ".bin"));
}

inline TBytes Serialized(const DhcpPacket& p)
{
    TBytes v(2000);
    int n = static_cast<int>(v.size());
    EXPECT_TRUE(p.Serialize(v.data(), n));
    v.resize(static_cast<size_t>(std::max(n, 0)));
    return v;
}

// A PXE client's request of type nType from 52:54:00:12:34:56, changed by fnChange, zero-padded
// to nPadTo bytes.
inline TBytes Request(
    uint8_t nType, const std::function<void(DhcpPacket&)>& fnChange = [](DhcpPacket&) {},
    size_t nPadTo = 0)
{
    DhcpPacket p;
    p.SetOp(kBootRequest);
    p.SetChaddr("\x52\x54\x00\x12\x34\x56", 6);
    p.SetOption(kOptMessageType, &nType, 1);
    p.SetOption(kOptClassId, "PXEClient:Arch:00000:UNDI:002001", 32);
    fnChange(p);
    TBytes v = Serialized(p);
    v.resize(std::max(v.size(), nPadTo));
    return v;
}

// A reply against tests/boot/replies/<strName>.bin and its text form <strName>.txt, which says
// field by field what the bytes hold. With PXETEST_WRITE_REPLIES set in the environment, both
// files are first written from vReply: the way to store a new reply, to be read in its .txt.
inline void ExpectStoredReply(const std::string& strName, const TBytes& vReply)
{
    const std::string strPath = std::string(PXE_SOURCE_DIR) + "/tests/boot/replies/" + strName;
    if (getenv("PXETEST_WRITE_REPLIES") != nullptr)
    {
        WriteFile(strPath + ".bin", std::string(vReply.begin(), vReply.end()));
        WriteFile(strPath + ".txt", replytext::Decode(vReply));
    }
    EXPECT_EQ(vReply, Stored(strName, "replies")) << strName;
    EXPECT_EQ(replytext::Decode(vReply), ReadFile(strPath + ".txt")) << strName;
}

// The datagram v with the value of option nCode replaced by vValue (or appended before the END
// when v has none), its other bytes as they were: a real firmware request made into another.
inline TBytes WithOption(const TBytes& v, uint8_t nCode, const TBytes& vValue)
{
    TBytes vOut(v.begin(), v.begin() + 240), vNew = {nCode, (uint8_t)vValue.size()};
    vNew.insert(vNew.end(), vValue.begin(), vValue.end());
    size_t i = 240;
    for (; i + 1 < v.size() && v[i] != 255; i += v[i] ? 2 + v[i + 1] : 1)
        if (v[i] == nCode)
            vOut.insert(vOut.end(), vNew.begin(), vNew.end()), vNew.clear();
        else
            vOut.insert(vOut.end(), v.begin() + i,
                        v.begin() + std::min(v.size(), i + (v[i] ? 2 + v[i + 1] : 1)));
    vOut.insert(vOut.end(), vNew.begin(), vNew.end());
    vOut.insert(vOut.end(), v.begin() + std::min(i, v.size()), v.end());
    return vOut;
}

// EDK2's discover as its HTTP boot client sends it for architecture nArch (15 IA32, 16 x86-64,
// 19 ARM64): option 60 "HTTPClient:Arch:<nArch>:UNDI:003000" and option 93 = nArch.
inline TBytes HttpClientDiscover(uint16_t nArch)
{
    char szClass[40];
    snprintf(szClass, sizeof(szClass), "HTTPClient:Arch:%05u:UNDI:003000", nArch);
    return WithOption(WithOption(Stored("edk2-uefi-discover-to-67"), kOptClassId, Text(szClass)),
                      kOptClientArch, {(uint8_t)(nArch >> 8), (uint8_t)nArch});
}
