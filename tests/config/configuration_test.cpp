#include "config/configuration.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "common/testutil.h"
#include "logcapture.h"

#include <net/if_arp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

// A program folder, an application-data folder and an adapter list, all made up.
class ConfigTest : public ::testing::Test
{
protected:
    // Writes the own file, then Gateway.cfg at Tarn's, at Mervane's and at the program's place
    // (no file where empty).
    void Write(const std::array<std::string, 4>& files)
    {
        const char* szPaths[] = {"opt/bin/pxeservice.cfg", "etc/Tarn/Quillon/Gateway/Gateway.cfg",
                                 "etc/Mervane/Quillon/Gateway/Gateway.cfg", "opt/Gateway.cfg"};
        std::filesystem::remove_all(dir.Path());
        for (size_t i = 0; i < files.size(); ++i)
        {
            std::filesystem::create_directories(std::filesystem::path(dir / szPaths[i]).parent_path());
            if (!files[i].empty())
                WriteFile(dir / szPaths[i], files[i]);
        }
    }
    // Reads the configuration of those files from fresh settings; returns it in short, or what was thrown.
    std::string Read(const std::array<std::string, 4>& files, std::string* pLog = nullptr)
    {
        Write(files);
        TLogCapture log;
        try
        {
            ReadUncaptured();
        }
        catch (const TTiXmlException& e)
        {
            return e.Message();
        }
        catch (const std::out_of_range&)
        {
            return "out of range";
        }
        if (pLog != nullptr)
            *pLog = log.Texts("", " at ");
        EXPECT_EQ(log.Text().find("(File:config/configuration.cpp|Line:"), log.Text().find("(File:")) << log.Text();
        return gSettings.strTftpRoot + " " + gSettings.strMultiCast + (gSettings.bRunWithDhcp ? " dhcp " : " alone ") +
               gSettings.strConsolePort + " " + gSettings.strIpAddress + (bAnyNic ? " any" : "");
    }
    void ReadUncaptured()
    {
        gSettings = TSettings();
        bAnyNic = false;
        nProgramCalls = 0;
        TConfigPlatform platform;
        platform.fnProgramPath = [this](std::string& strPath) {
            strPath = dir / "opt/bin/pxeservice.x";
            return ++nProgramCalls != iFailProgramCall;
        };
        platform.fnAppDataFolder = [this](std::string& strFolder) { return strFolder = dir / "etc", bFolderOk; };
        platform.fnAdapters = [this](std::vector<TAdapter>& vList) { return vList = vAdapters, 0; };
        ReadConfiguration(platform);
    }

    TTempDir dir;
    std::vector<TAdapter> vAdapters = {{2, "wlan", ARPHRD_ETHER, true, {"198.18.0.3"}},
                                       {3, "tun", ARPHRD_NONE, false, {"198.18.0.4"}},
                                       {4, "unaddressed", ARPHRD_ETHER, false, {}},
                                       {5, "wired", ARPHRD_ETHER, false, {"198.18.0.5", "198.18.0.6"}}};
    int nProgramCalls = 0;
    int iFailProgramCall = 0;  // the call of fnProgramPath that fails (1 = first), 0 for none
    bool bFolderOk = true;
};
using ConfigDeathTest = ConfigTest;

TEST_F(ConfigTest, ValuesDefaultsGatewaySearchOrderAndLogLines)
{
    const std::string C = "<C><TFTP><RootDirectory>/t</RootDirectory></TFTP>", D = "<BootServer><RunWithDhcp>",
                      P = "<Communication><ConsolePort>", G = "<G/>", G1 = "<G><NIC>198.18.0.1</NIC></G>",
                      G7 = "<G><NIC>198.18.0.7</NIC></G>", G8 = "<G><NIC>198.18.0.8</NIC></G>",
                      T = "/t/ 224.0.1.2 alone 40003 ";
    const struct
    {
        std::array<std::string, 4> files;  // own, Gateway.cfg at Tarn's, Mervane's, the program's place
        std::string strSettings, strLog = "";  // the log lines when not empty
    } cases[] = {
        {{"<C><TFTP><RootDirectory>/srv/tftp</RootDirectory></TFTP><BootServer><MultiCast>239.1.1.1</MultiCast>"
          "<RunWithDhcp>Yes</RunWithDhcp></BootServer><Communication><ConsolePort>4011</ConsolePort></Communication></C>",
          G1}, "/srv/tftp/ 239.1.1.1 dhcp 4011 198.18.0.1", "Running with dhcp|Info: Use ip address 198.18.0.1"},
        // Gateway.cfg without NIC: the first wired adapter with an address.
        {{"<C><TFTP><RootDirectory>C:\\tftp</RootDirectory></TFTP></C>", "", "", G}, "C:\\tftp/ 224.0.1.2 alone 40003 198.18.0.5 any",
         "Set MultiCast to default 224.0.1.2|Running alone without dhcp|Info: Use ip address 198.18.0.5"},
        {{"<C><TFTP><RootDirectory>C:\\tftp\\</RootDirectory></TFTP></C>", G1}, "C:\\tftp\\ 224.0.1.2 alone 40003 198.18.0.1"},
        {{"<C><TFTP><RootDirectory>/srv/</RootDirectory></TFTP></C>", G1}, "/srv/ 224.0.1.2 alone 40003 198.18.0.1"},
        {{C + D + "yesterday</RunWithDhcp></BootServer></C>", G1}, "/t/ 224.0.1.2 dhcp 40003 198.18.0.1"},
        {{C + D + "y</RunWithDhcp></BootServer></C>", G1}, T + "198.18.0.1"},
        {{C + P + "abc</ConsolePort></Communication></C>", G1}, T + "198.18.0.1"},
        {{C + P + "4000x</ConsolePort></Communication></C>", G1}, "/t/ 224.0.1.2 alone 4000x 198.18.0.1"},
        {{C + P + "-1</ConsolePort></Communication></C>", G1}, "/t/ 224.0.1.2 alone -1 198.18.0.1"},
        {{"<C><TFTP><RootDirectory></RootDirectory></TFTP></C>", G1}, "out of range"},
        {{C + "<x></C>", G1}, "Element Parse error"},
        {{"", G1}, "Invalid file name:" + dir / "opt/bin/pxeservice.cfg"},
        // Tarn's file is taken although it names no NIC; the third place is read without a test.
        {{C + "</C>", G, G7, G8}, T + "198.18.0.5 any"},
        {{C + "</C>", "", G7, G8}, T + "198.18.0.7"},
        {{C + "</C>", "", "", G8}, T + "198.18.0.8"},
        {{C + "</C>", "", "", ""}, "Invalid file name:" + dir / "opt/Gateway.cfg"},
        {{C + "</C>", "<G><NIC>ANY nic</NIC></G>"}, T + "198.18.0.5 any"},
        {{C + "</C>", "<G><NIC></NIC></G>"}, T + "198.18.0.5 any"},
        {{C + "</C>", "<G><NIC>not an address</NIC></G>"}, T + "not an address"},
    };
    for (const auto& c : cases)
    {
        std::string strLog;
        EXPECT_EQ(Read(c.files, &strLog), c.strSettings) << c.files[0];
        EXPECT_EQ(c.strLog.empty() ? "" : strLog, c.strLog);
    }
    // Only adapters that do not count: "any NIC" stays, and is logged as such.
    vAdapters.resize(3);
    std::string strLog;
    EXPECT_EQ(Read({C + "</C>", G}, &strLog), T + "any NIC any");
    EXPECT_EQ(strLog, "Set MultiCast to default 224.0.1.2|Running alone without dhcp|Info: Use ip address any NIC");
    EXPECT_EQ(ChooseAdapterAddress(-1, vAdapters), "127.0.0.1");  // no list
}

TEST_F(ConfigDeathTest, FatalPathsExitWithMinusOne)
{
    for (const char* szOwn : {"<C><BootServer/></C>", "<C><TFTP><Root/></TFTP></C>", "<!-- no root -->"})
    {
        Write({szOwn, "<G/>"});
        EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), "Read TFTP setting error:  at ") << szOwn;
    }
    // The program's path is needed for the own file, and again for the third place of Gateway.cfg only.
    Write({"<C><TFTP><RootDirectory>/t</RootDirectory></TFTP></C>", "", "", "<G/>"});
    for (int iCall : {1, 2})
    {
        iFailProgramCall = iCall;
        EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), "error: GetModuleFileName at ");
    }
    iFailProgramCall = 0;
    bFolderOk = false;
    EXPECT_EXIT(ReadUncaptured(), ::testing::ExitedWithCode(255), "error: GetCommonAppDataFolder at ");
}

// The adapter list of a network namespace of this test's own.
TEST(AdapterList, InterfacesOtherThanLoopbackInIndexOrder)
{
    const std::string strNs = "pxecfg" + std::to_string(getpid());
    std::vector<TAdapter> vAdapters;
    auto List = [&] {
        std::string strList;
        TNetLab::RunIn(strNs, [&] { strList = GetAdapterList(vAdapters) == 0 ? "" : "failed"; });
        for (const TAdapter& a : vAdapters)
        {
            strList += a.strName + (a.IsEthernet() ? " eth" : a.iLinkType == ARPHRD_NONE ? " none" : " other");
            for (const std::string& strIp : a.vIpv4)
                strList += " " + strIp;
            strList += ";";
        }
        return strList;
    };
    RunCommand("ip netns del " + strNs + " 2>/dev/null");
    ASSERT_EQ(RunCommand("ip netns add " + strNs), 0);
    EXPECT_EQ(List(), "");  // loopback alone does not count
    EXPECT_EQ(ChooseAdapterAddress(0, vAdapters), "127.0.0.1");
    // A tunnel with an address, then a veth pair whose lower index has no address; names
    // run against the index order; a labelled second address belongs to its interface.
    for (const char* szCommand : {"tuntap add dev cfgtun mode tun", "addr add 198.18.0.9/24 dev cfgtun",
                                  "link add cfgz index 20 type veth peer name cfga index 30",
                                  "addr add 198.18.0.1/24 dev cfga", "addr add 198.18.0.2/24 dev cfga label cfga:1"})
        EXPECT_EQ(RunCommand("ip -n " + strNs + " " + szCommand), 0) << szCommand;
    EXPECT_EQ(List(), "cfgtun none 198.18.0.9;cfgz eth;cfga eth 198.18.0.1 198.18.0.2;");
    RunCommand("ip netns del " + strNs);
    ASSERT_EQ(vAdapters.size(), 3u);
    EXPECT_EQ(std::to_string(vAdapters[1].iIndex) + " " + std::to_string(vAdapters[2].iIndex), "20 30");
    EXPECT_EQ(ChooseAdapterAddress(0, vAdapters), "198.18.0.1");  // the wired one without an address is passed over
}
