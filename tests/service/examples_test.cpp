// The example configuration files that an install puts beside the program
// are read by the service as they stand.
#include "common/testutil.h"
#include "config/configuration.h"
#include "config/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(ExampleConfiguration, ExamplesReadAsDocumented)
{
    TTempDir dir;
    mkdir((dir / "bin").c_str(), 0755);
    ASSERT_EQ(RunCommand("cp '" PXE_SOURCE_DIR "/examples/pxeservice.cfg' '" + dir.Path() + "/bin/' && cp '"
                         PXE_SOURCE_DIR "/examples/Gateway.cfg' '" + dir.Path() + "/'"),
              0);
    TConfigPlatform platform;
    platform.fnProgramPath = [&](std::string& s) {
        s = dir / "bin/pxeservice";
        return true;
    };
    // No well-known folder holds a Gateway.cfg: the one above the program's folder counts.
    platform.fnAppDataFolder = [&](std::string& s) {
        s = dir / "nowhere";
        return true;
    };
    TAdapter eth;
    eth.strName = "eth0";
    eth.iLinkType = 1;  // Ethernet
    eth.vIpv4 = {"198.18.0.1"};
    platform.fnAdapters = [&](std::vector<TAdapter>& v) {
        v = {eth};
        return 0;
    };

    gSettings = TSettings();
    ReadConfiguration(platform);
    EXPECT_EQ(gSettings.strTftpRoot, "/opt/pxeservice/tftproot/");
    EXPECT_EQ(gSettings.strMultiCast, "224.0.1.2");
    EXPECT_FALSE(gSettings.bRunWithDhcp);
    EXPECT_EQ(gSettings.strConsolePort, "40003");
    // "any NIC": the first wired Ethernet adapter's address.
    EXPECT_TRUE(bAnyNic);
    EXPECT_EQ(gSettings.strIpAddress, "198.18.0.1");
}
