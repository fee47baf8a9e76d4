// What a Secure Boot client loads after the firmware's boot file. The firmware loads the file of
// the boot-server acknowledgement (shim); shim then loads grubx64.efi from the folder of the
// proxy offer's boot file, from that offer's server address. Both replies must therefore name
// the same folder and the same server.
#include "boottest.h"
#include "config/settings.h"
#include "console/bootselect.h"

namespace
{
std::string Folder(const std::string& strFile)
{
    const size_t nSlash = strFile.rfind('/');
    return nSlash == std::string::npos ? "" : strFile.substr(0, nSlash + 1);
}

std::string FileField(const TBytes& v)
{
    const char* p = reinterpret_cast<const char*>(&v[108]);
    return std::string(p, strnlen(p, 128));
}

std::string Siaddr(const TBytes& v)
{
    in_addr a;
    memcpy(&a, &v[20], 4);
    return inet_ntoa(a);
}
}  // namespace

TEST(ShimPath, ProxyOfferAndAcknowledgementAgreeOnFolderAndServer)
{
    gSettings.strIpAddress = "198.18.0.1";
    gSettings.mapArchFolders = {{0, "bios/"}, {7, "efi64/"}, {9, "efi64/"}};
    // The names the console's task "Linux" selects, the proxy offer's without asking it.
    const TPxeConsole console{
        [](auto&, auto&, std::string& strTask) { return strTask = "Linux", true; },
        [](uint16_t nType, uint16_t nLayer, std::string& strFile, auto& strMac, auto& strIp) {
            return nType == 0 ? SelectBootFile(nType, nLayer, strFile, strMac, strIp)
                              : BootFileForTask("Linux", nLayer, strFile);
        }};
    // The datagrams OVMF sent: its discover to 67, its boot-server request to 4011.
    const TBytes vDiscover = Stored("edk2-uefi-discover-to-67"),
                 vRequest = Stored("edk2-uefi-request-to-4011");
    const PxeRequest discover{67, vDiscover.data(), (uint32_t)vDiscover.size()},
        request{4011, vRequest.data(), (uint32_t)vRequest.size()};
    const TPxeReply offer = BuildPxeReply(&discover, console),
                    ack = BuildPxeReply(&request, console);
    ASSERT_EQ(offer.eKind, EPxeReply::Proxy);
    ASSERT_EQ(ack.eKind, EPxeReply::BootServer);
    ASSERT_GE(offer.vBytes.size(), 236u);
    ASSERT_GE(ack.vBytes.size(), 236u);

    EXPECT_EQ(FileField(ack.vBytes), "efi64/linux.0");  // shim, loaded by the firmware
    EXPECT_EQ(FileField(offer.vBytes), "efi64/foo-image");
    EXPECT_EQ(Folder(FileField(offer.vBytes)), Folder(FileField(ack.vBytes)));  // grubx64.efi
    EXPECT_EQ(Siaddr(offer.vBytes), "198.18.0.1");
    EXPECT_EQ(Siaddr(ack.vBytes), Siaddr(offer.vBytes));
    gSettings.mapArchFolders.clear();
}
