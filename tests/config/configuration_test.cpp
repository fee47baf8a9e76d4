#include "config/configuration.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "common/testutil.h"
#include "logcapture.h"

#include <net/if_arp.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

namespace
{
TAdapter Adapter(int iIndex, int iLinkType, bool bWireless, std::vector<std::string> vIpv4)
{
    TAdapter adapter;
    adapter.iIndex = iIndex;
    adapter.strName = "if" + std::to_string(iIndex);
    adapter.iLinkType = iLinkType;
    adapter.bWireless = bWireless;
    adapter.vIpv4 = std::move(vIpv4);
    return adapter;
}
}  // namespace

// A program folder, an application-data folder and an adapter list, all made up.
class ConfigTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gSettings = TSettings();
        bAnyNic = false;
        std::filesystem::create_directories(dir / "opt/bin");
        vAdapters = {Adapter(2, ARPHRD_ETHER, true, {"198.18.0.3"}),     // wireless
                     Adapter(3, ARPHRD_NONE, false, {"198.18.0.4"}),     // tunnel
                     Adapter(4, ARPHRD_ETHER, false, {}),                // wired, no address
                     Adapter(5, ARPHRD_ETHER, false, {"198.18.0.5", "198.18.0.6"})};
    }

    TConfigPlatform Platform()
    {
        TConfigPlatform platform;
        platform.fnProgramPath = [this](std::string& strPath) {
            strPath = strProgram;
            return ++nProgramCalls != iFailProgramCall;
        };
        platform.fnAppDataFolder = [this](std::string& strFolder) {
            strFolder = dir / "etc";
            return bFolderOk;
        };
        platform.fnAdapters = [this](std::vector<TAdapter>& vList) {
            vList = vAdapters;
            return 0;
        };
        return platform;
    }

    void WriteOwn(const std::string& strBody) { WriteFile(dir / "opt/bin/pxeservice.cfg", strBody + "\n"); }
    std::string GatewayPath(const std::string& strVendor)
    {
        return strVendor.empty() ? dir / "opt/Gateway.cfg" : dir / ("etc/" + strVendor + "/Quillon/Gateway/Gateway.cfg");
    }
    void WriteGateway(const std::string& strVendor, const std::string& strBody)
    {
        std::filesystem::create_directories(std::filesystem::path(GatewayPath(strVendor)).parent_path());
        WriteFile(GatewayPath(strVendor), "<Gateway>" + strBody + "</Gateway>\n");
    }
    // Reads the configuration from fresh settings; returns the log.
    std::string Read()
    {
        TLogCapture log;
        ReadUncaptured();
        return log.Text();
    }
    // The same with the log on standard error, as death tests want it.
    void ReadUncaptured()
    {
        gSettings = TSettings();
        bAnyNic = false;
        nProgramCalls = 0;
        ReadConfiguration(Platform());
    }

    TTempDir dir;
    std::string strProgram = dir / "opt/bin/pxeservice.x";
    std::vector<TAdapter> vAdapters;
    int nProgramCalls = 0;
    int iFailProgramCall = 0;  // the call of fnProgramPath that fails (1 = first), 0 for none
    bool bFolderOk = true;
};

using ConfigDeathTest = ConfigTest;

TEST_F(ConfigTest, EveryValueConfigured)
{
    strProgram = dir / "opt/bin/pxeservice";  // no extension: ".cfg" is appended
    WriteOwn("<?xml version='1.0'?><Cfg><TFTP><RootDirectory>/srv/tftp</RootDirectory></TFTP>"
             "<BootServer><MultiCast>239.1.1.1</MultiCast><RunWithDhcp>Yes</RunWithDhcp></BootServer>"
             "<Communication><ConsolePort>4011</ConsolePort></Communication></Cfg>");
    WriteGateway("Tarn", "<NIC>198.18.0.1</NIC>");
    std::string strLog = Read();
    EXPECT_EQ(gSettings.strTftpRoot, "/srv/tftp/");
    EXPECT_EQ(gSettings.strMultiCast, "239.1.1.1");
    EXPECT_TRUE(gSettings.bRunWithDhcp);
    EXPECT_EQ(gSettings.strConsolePort, "4011");
    EXPECT_EQ(gSettings.strIpAddress, "198.18.0.1");
    EXPECT_FALSE(bAnyNic);
    size_t nDhcp = strLog.find("Running with dhcp at ");
    size_t nIp = strLog.find("Info: Use ip address 198.18.0.1 at ");
    ASSERT_NE(nDhcp, std::string::npos) << strLog;
    ASSERT_NE(nIp, std::string::npos) << strLog;
    EXPECT_LT(nDhcp, nIp);
    EXPECT_EQ(strLog.find("Set MultiCast"), std::string::npos);
    EXPECT_NE(strLog.find("(File:config/configuration.cpp|Line:"), std::string::npos);
}

TEST_F(ConfigTest, DefaultsAndTheAddressOfTheFirstWiredAdapterWithOne)
{
    WriteOwn("<Cfg><TFTP><RootDirectory>C:\\tftp</RootDirectory></TFTP></Cfg>");
    WriteGateway("", "");
    std::string strLog = Read();
    EXPECT_EQ(gSettings.strTftpRoot, "C:\\tftp/");
    EXPECT_EQ(gSettings.strMultiCast, "224.0.1.2");
    EXPECT_FALSE(gSettings.bRunWithDhcp);
    EXPECT_EQ(gSettings.strConsolePort, "40003");
    EXPECT_TRUE(bAnyNic);
    EXPECT_EQ(gSettings.strIpAddress, "198.18.0.5");
    EXPECT_NE(strLog.find("Set MultiCast to default 224.0.1.2 at "), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("Running alone without dhcp at "), std::string::npos) << strLog;
}

TEST_F(ConfigTest, ValueRules)
{
    WriteGateway("Tarn", "<NIC>198.18.0.1</NIC>");
    auto fnRead = [&](const std::string& strRoot, const std::string& strBoot, const std::string& strComm) {
        WriteOwn("<Cfg><TFTP><RootDirectory>" + strRoot + "</RootDirectory></TFTP>" + strBoot + strComm + "</Cfg>");
        return Read();
    };
    for (const char* szRoot : {"C:\\tftp\\", "/srv/tftp/"})
    {
        fnRead(szRoot, "", "");
        EXPECT_EQ(gSettings.strTftpRoot, szRoot);
    }
    const std::pair<const char*, bool> dhcp[] = {{"yesterday", true}, {"YES", true}, {"y", false},
                                                 {"no", false},       {"", false},   {"true", false}};
    for (const auto& c : dhcp)
    {
        std::string strLog = fnRead("/t", std::string("<BootServer><RunWithDhcp>") + c.first + "</RunWithDhcp></BootServer>", "");
        EXPECT_EQ(gSettings.bRunWithDhcp, c.second) << c.first;
        EXPECT_NE(strLog.find(c.second ? "Running with dhcp" : "Running alone without dhcp"), std::string::npos);
        // MultiCast missing under a present BootServer: default as well.
        EXPECT_EQ(gSettings.strMultiCast, "224.0.1.2");
    }
    const std::pair<const char*, const char*> ports[] = {{"abc", "40003"}, {"0", "40003"}, {"", "40003"},
                                                         {"4000x", "4000x"}, {"-1", "-1"}};
    for (const auto& c : ports)
    {
        fnRead("/t", "", std::string("<Communication><ConsolePort>") + c.first + "</ConsolePort></Communication>");
        EXPECT_EQ(gSettings.strConsolePort, c.second) << c.first;
    }
    fnRead("/t", "", "<Communication/>");
    EXPECT_EQ(gSettings.strConsolePort, "40003");
}

TEST_F(ConfigTest, GatewaySearchOrderAndNicValues)
{
    WriteOwn("<Cfg><TFTP><RootDirectory>/t/</RootDirectory></TFTP></Cfg>");
    WriteGateway("Tarn", "");  // read although it names no NIC
    WriteGateway("Mervane", "<NIC>198.18.0.7</NIC>");
    WriteGateway("", "<NIC>198.18.0.8</NIC>");
    Read();
    EXPECT_EQ(gSettings.strIpAddress, "198.18.0.5");
    EXPECT_TRUE(bAnyNic);
    std::filesystem::remove(GatewayPath("Tarn"));
    Read();
    EXPECT_EQ(gSettings.strIpAddress, "198.18.0.7");
    EXPECT_FALSE(bAnyNic);
    std::filesystem::remove(GatewayPath("Mervane"));
    Read();
    EXPECT_EQ(gSettings.strIpAddress, "198.18.0.8");

    const std::pair<const char*, const char*> nics[] = {
        {"ANY nic", "198.18.0.5"}, {"", "198.18.0.5"}, {"not an address", "not an address"}};
    for (const auto& c : nics)
    {
        WriteGateway("", std::string("<NIC>") + c.first + "</NIC>");
        Read();
        EXPECT_EQ(gSettings.strIpAddress, c.second) << c.first;
        EXPECT_EQ(bAnyNic, c.first != std::string("not an address")) << c.first;
    }

    // Only adapters that do not count: "any NIC" stays, and is logged as such.
    WriteGateway("", "");
    vAdapters.resize(3);
    std::string strLog = Read();
    EXPECT_EQ(gSettings.strIpAddress, "any NIC");
    EXPECT_TRUE(bAnyNic);
    EXPECT_NE(strLog.find("Info: Use ip address any NIC at "), std::string::npos) << strLog;

    // The third place is read without a test: its absence is the parser's error.
    std::filesystem::remove(GatewayPath(""));
    try
    {
        Read();
        ADD_FAILURE();
    }
    catch (const TTiXmlException& e)
    {
        EXPECT_EQ(std::string(e.Message()), "Invalid file name:" + GatewayPath(""));
    }
}

TEST(AdapterChoice, NoListOrNoAdaptersGiveLoopback)
{
    EXPECT_EQ(ChooseAdapterAddress(-1, {Adapter(2, ARPHRD_ETHER, false, {"198.18.0.1"})}), "127.0.0.1");
    EXPECT_EQ(ChooseAdapterAddress(0, {}), "127.0.0.1");
}

TEST_F(ConfigTest, UnreadableOwnFileAndEmptyRootDirectoryThrow)
{
    WriteGateway("Tarn", "");
    try
    {
        Read();
        ADD_FAILURE();
    }
    catch (const TTiXmlException& e)
    {
        EXPECT_EQ(std::string(e.Message()), "Invalid file name:" + dir / "opt/bin/pxeservice.cfg");
    }
    WriteOwn("<Cfg><TFTP><RootDirectory></RootDirectory></TFTP></Cfg>");
    EXPECT_THROW(Read(), std::out_of_range);
    WriteOwn("<Cfg><TFTP><RootDirectory>/t</RootDirectory></TFTP>");
    EXPECT_THROW(Read(), TTiXmlException);
}

TEST_F(ConfigDeathTest, FatalPathsExitWithMinusOne)
{
    WriteGateway("Tarn", "");
    const char* szTftpError = "Read TFTP setting error:  at ";
    for (const char* szOwn : {"<Cfg><BootServer/></Cfg>", "<Cfg><TFTP><Root/></TFTP></Cfg>", "<!-- no root -->"})
    {
        WriteOwn(szOwn);
        EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), szTftpError) << szOwn;
    }

    WriteOwn("<Cfg><TFTP><RootDirectory>/t</RootDirectory></TFTP></Cfg>");
    iFailProgramCall = 1;
    EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), "error: GetModuleFileName at ");
    // Only the third place of Gateway.cfg needs the program's path again.
    iFailProgramCall = 2;
    std::filesystem::remove(GatewayPath("Tarn"));
    EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), "error: GetModuleFileName at ");
    iFailProgramCall = 0;
    bFolderOk = false;
    EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), "error: GetCommonAppDataFolder at ");
}
