// The PXE vendor sub-options of the replies and the boot menu step, byte for byte.
#include "boot/bootmenu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{
using TBytes = std::vector<uint8_t>;

const uint8_t kServer[4] = {198, 18, 0, 1};
const char kPrompt[] = "Press F8 to view the menu";

// The reply base every boot reply has: options 53, 54 and 60, and sub-option 71.
void FillReplyBase(DhcpPacket& reply, uint8_t nType, uint16_t nServerType, uint16_t nLayer)
{
    reply.SetOp(2);
    ASSERT_TRUE(reply.SetOption(53, &nType, 1));
    ASSERT_TRUE(reply.SetOption(54, kServer, 4));
    ASSERT_TRUE(reply.SetOption(60, "PXEClient", 9));
    ASSERT_TRUE(SetBootItem(reply, nServerType, nLayer));
}

// Serializes the reply into a buffer of TotalLength + nHeadroom, as the
// request handler does, and runs the boot menu step on it.
TBytes WithMenu(const DhcpPacket& reply, int nHeadroom, bool bExpectAdded = true)
{
    TBytes vBuffer(static_cast<size_t>(reply.TotalLength() + nHeadroom), 0);
    int nLength = static_cast<int>(vBuffer.size());
    EXPECT_TRUE(reply.Serialize(vBuffer.data(), nLength));
    PxeReplyBuffer buffer;
    buffer.nPort = 4011;
    buffer.pReply = vBuffer.data();
    buffer.nReplyLength = static_cast<uint16_t>(nLength);
    buffer.nReplyCapacity = static_cast<uint16_t>(vBuffer.size());
    EXPECT_EQ(AddBootMenu(&buffer), bExpectAdded);
    vBuffer.resize(buffer.nReplyLength);
    return vBuffer;
}

TBytes Bytes(std::initializer_list<uint8_t> list, const char* szText = "")
{
    TBytes v(list);
    v.insert(v.end(), szText, szText + std::strlen(szText));
    return v;
}

TBytes Concat(std::initializer_list<TBytes> parts)
{
    TBytes v;
    for (const TBytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

const TBytes kOptionsBase = Concat({Bytes({53, 1, 2}), Bytes({54, 4, 198, 18, 0, 1}), Bytes({60, 9}, "PXEClient")});
const TBytes kMenu = Bytes({9, 8, 0, 1, 5}, "Linux");
const TBytes kPromptOption = Bytes({10, 26, 0}, kPrompt);
}  // namespace

TEST(BootMenu, ProxyReplyCarriesAllSubOptionsInOneOption43Of57Bytes)
{
    DhcpPacket reply;
    FillReplyBase(reply, 2, 0, 0);
    ASSERT_TRUE(SetDiscoveryControl(reply));
    ASSERT_TRUE(SetBootServers(reply, kServer));
    const TBytes v = WithMenu(reply, 512);

    ASSERT_EQ(v.size(), 320u);
    const TBytes vExpected = Concat({kOptionsBase, Bytes({43, 57}), Bytes({6, 1, 7}), Bytes({8, 7, 0, 1, 1, 198, 18, 0, 1}),
                                     kMenu, kPromptOption, Bytes({71, 4, 0, 0, 0, 0}), Bytes({255, 255})});
    EXPECT_EQ(TBytes(v.begin() + 240, v.end()), vExpected);
    EXPECT_EQ(v[0], 2);
}

TEST(BootMenu, BootServerReplyCarriesMenuAndBootItemInOption43Of45Bytes)
{
    DhcpPacket reply;
    FillReplyBase(reply, 5, 1, 0x0203);
    reply.SetFile("linux.0", 7);
    const TBytes v = WithMenu(reply, 512);

    ASSERT_EQ(v.size(), 308u);
    TBytes vBase = kOptionsBase;
    vBase[2] = 5;
    const TBytes vExpected = Concat({vBase, Bytes({43, 45}), kMenu, kPromptOption, Bytes({71, 4, 0, 1, 2, 3}), Bytes({255, 255})});
    EXPECT_EQ(TBytes(v.begin() + 240, v.end()), vExpected);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.data()) + 108), "linux.0");
}

TEST(BootMenu, MenuAlreadyPresentIsReplacedNotRepeated)
{
    DhcpPacket reply;
    FillReplyBase(reply, 5, 1, 0);
    ASSERT_TRUE(reply.SetVendorOption(PXE_BOOT_MENU, "\x00\x02\x03Win", 6));
    ASSERT_TRUE(reply.SetVendorOption(PXE_MENU_PROMPT, "\x05Wait", 5));
    const TBytes vOnce = WithMenu(reply, 512);
    ASSERT_EQ(vOnce.size(), 308u);

    DhcpPacket parsed;
    ASSERT_TRUE(parsed.Parse(vOnce.data(), static_cast<uint32_t>(vOnce.size())));
    const TBytes vTwice = WithMenu(parsed, 100);
    EXPECT_EQ(vTwice, vOnce);
}

TEST(BootMenu, ReplyThatWouldNotFitIsLeftWhole)
{
    DhcpPacket reply;
    FillReplyBase(reply, 2, 0, 0);
    // 300 bytes exactly; with the menu 338.
    TBytes vFill(28, 'z');
    ASSERT_TRUE(reply.SetOption(12, vFill.data(), 28));
    TBytes vBuffer(400, 0);
    int nLength = 400;
    ASSERT_TRUE(reply.Serialize(vBuffer.data(), nLength));
    ASSERT_EQ(nLength, 300);
    const TBytes vBefore(vBuffer.begin(), vBuffer.begin() + 300);

    PxeReplyBuffer buffer;
    buffer.pReply = vBuffer.data();
    buffer.nReplyLength = 300;
    buffer.nReplyCapacity = 330;  // the menu needs 338
    EXPECT_FALSE(AddBootMenu(&buffer));
    EXPECT_EQ(buffer.nReplyLength, 300);
    EXPECT_EQ(TBytes(vBuffer.begin(), vBuffer.begin() + 300), vBefore);

    buffer.nReplyCapacity = 338;
    EXPECT_TRUE(AddBootMenu(&buffer));
    EXPECT_EQ(buffer.nReplyLength, 338);

    // Not a DHCP message at all: left alone.
    buffer.nReplyLength = 200;
    EXPECT_FALSE(AddBootMenu(&buffer));
    EXPECT_EQ(buffer.nReplyLength, 200);
    EXPECT_FALSE(AddBootMenu(nullptr));
}
