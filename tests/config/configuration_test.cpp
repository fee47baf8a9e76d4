#include "config/archfolders.h"
#include "config/configuration.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "common/testutil.h"
#include "common/logcapture.h"

#include <net/if_arp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <stdexcept>

// A program folder, an application-data folder and an adapter list, all made up.
class ConfigTest : public ::testing::Test
{
protected:
    // Writes the own file, then Gateway.cfg at Tarn's, at Mervane's and at the program's place (no
    // file where empty), reads the configuration from fresh settings and returns it in short, or
    // the message of what was thrown. The log lines go to strLog, or with bCapture false to
    // standard error.
    std::string Read(const std::array<std::string, 4>& files, bool bCapture = true)
    {
        const char* szPaths[] = {"opt/bin/pxeservice.cfg", "etc/Tarn/Quillon/Gateway/Gateway.cfg",
                                 "etc/Mervane/Quillon/Gateway/Gateway.cfg", "opt/Gateway.cfg"};
        std::filesystem::remove_all(dir.Path());
        for (size_t i = 0; i < files.size(); ++i)
            if (std::filesystem::create_directories(
                    std::filesystem::path(dir / szPaths[i]).parent_path()),
                !files[i].empty())
                WriteFile(dir / szPaths[i], files[i]);
        gSettings = TSettings();
        bAnyNic = false;
        nProgramCalls = 0;
        TConfigPlatform platform{
            [this](std::string& strPath) {
                return strPath = dir / "opt/bin/pxeservice.x", ++nProgramCalls != iFailProgramCall;
            },
            [this](std::string& strFolder) { return strFolder = dir / "etc", bFolderOk; },
            [this](std::vector<TAdapter>& vList) { return vList = vAdapters, 0; }, nullptr};
        std::unique_ptr<TLogCapture> log(bCapture ? new TLogCapture : nullptr);
        try
        {
            ReadConfiguration(platform);
        }
        catch (const TTiXmlException& e)
        {
            return e.Message();
        }
        catch (const std::out_of_range&)
        {
            return "out of range";
        }
        strLog = bCapture ? log->Texts("", " at ") : "";
        return gSettings.strTftpRoot + " " + gSettings.strMultiCast +
               (gSettings.bRunWithDhcp ? " dhcp " : " alone ") + gSettings.strConsolePort + " " +
               gSettings.strIpAddress + (bAnyNic ? " any" : "");
    }

    TTempDir dir;
    std::vector<TAdapter> vAdapters = {
        {2, "wlan", ARPHRD_ETHER, true, {"198.18.0.3"}},
        {3, "tun", ARPHRD_NONE, false, {"198.18.0.4"}},
        {4, "unaddressed", ARPHRD_ETHER, false, {}},
        {5, "wired", ARPHRD_ETHER, false, {"198.18.0.5", "198.18.0.6"}}};
    std::string strLog;
    // iFailProgramCall: the call of fnProgramPath that fails (1 = the first), 0 for none.
    int nProgramCalls = 0, iFailProgramCall = 0;
    bool bFolderOk = true;
};
using ConfigDeathTest = ConfigTest;

TEST_F(ConfigTest, ValuesDefaultsGatewaySearchOrderAndLogLines)
{
    EXPECT_EQ(Read({"<?xml version='1.0'?><C><TFTP><RootDirectory>/srv/tftp</RootDirectory></TFTP>"
                    "<BootServer><MultiCast>239.1.1.1</MultiCast><RunWithDhcp>Yes</RunWithDhcp>"
                    "</BootServer><Communication><ConsolePort>4011</ConsolePort></Communication>"
                    "</C>",
                    "<G><NIC>198.18.0.1</NIC></G>"}),
              "/srv/tftp/ 239.1.1.1 dhcp 4011 198.18.0.1");
    EXPECT_EQ(strLog, "Running with dhcp|Info: Use ip address 198.18.0.1");
    // Gateway.cfg without NIC: the first wired adapter with an address.
    EXPECT_EQ(Read({"<C><TFTP><RootDirectory>C:\\tftp</RootDirectory></TFTP></C>", "", "", "<G/>"}),
              "C:\\tftp/ 224.0.1.2 alone 40003 198.18.0.5 any");
    EXPECT_EQ(strLog, "Set MultiCast to default 224.0.1.2|Running alone without dhcp|"
                      "Info: Use ip address 198.18.0.5");

    const std::string C = "<C><TFTP><RootDirectory>/t</RootDirectory></TFTP>",
                      D = "<BootServer><RunWithDhcp>", P = "<Communication><ConsolePort>",
                      G = "<G/>", G1 = "<G><NIC>198.18.0.1</NIC></G>",
                      G7 = "<G><NIC>198.18.0.7</NIC></G>", G8 = "<G><NIC>198.18.0.8</NIC></G>",
                      T = "/t/ 224.0.1.2 alone ";
    const std::pair<std::array<std::string, 4>, std::string> cases[] = {
        {{"<C><TFTP><RootDirectory>C:\\tftp\\</RootDirectory></TFTP></C>", G1},
         "C:\\tftp\\ 224.0.1.2 alone 40003 198.18.0.1"},
        {{"<C><TFTP><RootDirectory>/srv/</RootDirectory></TFTP></C>", G1},
         "/srv/ 224.0.1.2 alone 40003 198.18.0.1"},
        {{C + D + "yesterday</RunWithDhcp></BootServer></C>", G1},
         "/t/ 224.0.1.2 dhcp 40003 198.18.0.1"},
        {{C + D + "y</RunWithDhcp></BootServer></C>", G1}, T + "40003 198.18.0.1"},
        {{C + P + "abc</ConsolePort></Communication></C>", G1}, T + "40003 198.18.0.1"},
        {{C + P + "4000x</ConsolePort></Communication></C>", G1}, T + "4000x 198.18.0.1"},
        {{C + P + "80006</ConsolePort></Communication></C>", G1}, T + "40003 198.18.0.1"},
        {{C + P + "65535</ConsolePort></Communication></C>", G1}, T + "65535 198.18.0.1"},
        {{"<C><TFTP><RootDirectory></RootDirectory></TFTP></C>", G1}, "out of range"},
        {{C + "<x></C>", G1}, "Element Parse error"},
        {{"", G1}, "Invalid file name:" + dir / "opt/bin/pxeservice.cfg"},
        // Tarn's file is taken although it names no NIC; the third place is read without a test.
        {{C + "</C>", G, G7, G8}, T + "40003 198.18.0.5 any"},
        {{C + "</C>", "", G7, G8}, T + "40003 198.18.0.7"},
        {{C + "</C>", "", "", G8}, T + "40003 198.18.0.8"},
        {{C + "</C>", "", "", ""}, "Invalid file name:" + dir / "opt/Gateway.cfg"},
        {{C + "</C>", "<G><NIC>ANY nic</NIC></G>"}, T + "40003 198.18.0.5 any"},
        {{C + "</C>", "<G><NIC></NIC></G>"}, T + "40003 198.18.0.5 any"},
        {{C + "</C>", "<G><NIC>not an address</NIC></G>"}, T + "40003 not an address"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Read(c.first), c.second) << c.first[0];
    // Only adapters that do not count: "any NIC" stays, and is logged as such.
    vAdapters.resize(3);
    EXPECT_EQ(Read({C + "</C>", G}), T + "40003 any NIC any");
    EXPECT_EQ(strLog, "Set MultiCast to default 224.0.1.2|Running alone without dhcp|"
                      "Info: Use ip address any NIC");
    // No adapter list, or no adapters at all.
    EXPECT_EQ(ChooseAdapterAddress(-1, vAdapters) + " " + ChooseAdapterAddress(0, {}),
              "127.0.0.1 127.0.0.1");
}

TEST_F(ConfigTest, TftpNegotiationIsLoggedOnlyWhenSwitchedOn)
{
    const std::string G1 = "<G><NIC>198.18.0.1</NIC></G>",
                      T = "<C><TFTP><RootDirectory>/t</RootDirectory>";
    const std::pair<std::string, std::string> cases[] = {
        {"", "off 1468 16"},
        {"<Negotiate>YESS</Negotiate><MaxBlockSize>8</MaxBlockSize>"
         "<MaxWindowSize>64</MaxWindowSize>",
         "on 8 64"},
        {"<Negotiate>ye</Negotiate><MaxBlockSize>65464</MaxBlockSize>"
         "<MaxWindowSize>1</MaxWindowSize>",
         "off 65464 1"},
    };
    for (const auto& c : cases)
    {
        Read({T + c.first + "</TFTP></C>", G1});
        EXPECT_EQ((gSettings.bTftpNegotiate ? "on " : "off ") +
                      std::to_string(gSettings.iTftpMaxBlockSize) + " " +
                      std::to_string(gSettings.iTftpMaxWindowSize),
                  c.second);
        EXPECT_EQ(
            strLog.find("TFTP option negotiation on: blocks up to 8 bytes, windows up to 64") == 0,
            gSettings.bTftpNegotiate)
            << strLog;
    }
}

TEST_F(ConfigDeathTest, FatalPathsExitWithMinusOne)
{
    auto ExitsWith = [&](const std::string& strOwn, const char* szLine) {
        EXPECT_EXIT(Read({strOwn, "", "", "<G/>"}, false), ::testing::ExitedWithCode(255),
                    std::string("\\(File:config/configuration.cpp\\|Line:[0-9]+\\) ") + szLine)
            << strOwn;
    };
    for (const char* szOwn :
         {"<C><BootServer/></C>", "<C><TFTP><Root/></TFTP></C>", "<!-- no root -->"})
        ExitsWith(szOwn, "Read TFTP setting error:  at ");
    // The program's path is needed for the own file, and again for the third place of Gateway.cfg
    // only.
    const std::string C = "<C><TFTP><RootDirectory>/t</RootDirectory></TFTP></C>";
    for (iFailProgramCall = 1; iFailProgramCall <= 2; ++iFailProgramCall)
        ExitsWith(C, "error: GetModuleFileName at ");
    const std::string T = "<C><TFTP><RootDirectory>/t</RootDirectory>";
    for (const char* szBad :
         {"<MaxBlockSize>7</MaxBlockSize>", "<MaxBlockSize>65465</MaxBlockSize>",
          "<MaxWindowSize>0</MaxWindowSize>", "<MaxWindowSize>+4</MaxWindowSize>",
          "<MaxWindowSize>65</MaxWindowSize>", "<MaxBlockSize>1k</MaxBlockSize>"})
        ExitsWith(T + szBad + "</TFTP></C>",
                  "Read TFTP setting error: Max(Block|Window)Size \".*\" is not a number");
    ExitsWith(T + "</TFTP><BootServer><ArchFolders>0=bios/ 7</ArchFolders></BootServer></C>",
              "Read ArchFolders setting error: '7': no '=' at ");
    iFailProgramCall = 0, bFolderOk = false;
    ExitsWith(C, "error: GetCommonAppDataFolder at ");
}

// BootServer/ArchFolders: each list gives the map shown, or the fault of its first bad pair.
TEST_F(ConfigTest, ArchFoldersGoodAndBadLists)
{
    const std::string strLong(101, 'f');
    const std::pair<std::string, std::string> cases[] = {
        {"6=efi32/ 7=efi64/ 9=efi64/ 11=arm64/", "6:efi32/ 7:efi64/ 9:efi64/ 11:arm64/"},
        {" \t0=bios\n 00007=uefi\\x64 65535=a..b/c ", "0:bios/ 7:uefi\\x64/ 65535:a..b/c/"},
        {"", ""},
        {"0=bios/ 7", "'7': no '='"},
        {"65536=big/", "'65536=big/': the architecture is not a number from 0 to 65535"},
        {"=x/", "'=x/': the architecture is not a number from 0 to 65535"},
        {"7=", "'7=': no folder"},
        {"7=/srv/", "'7=/srv/': the folder starts with a slash"},
        {"7=\\efi", "'7=\\efi': the folder starts with a slash"},
        {"7=efi/../..", "'7=efi/../..': the folder holds '..'"},
        {"7=..\\x", "'7=..\\x': the folder holds '..'"},
        {"7=" + strLong, "'7=" + strLong + "': the folder is longer than 100 characters"},
        {"7=a/ 7=b/", "'7=b/': the architecture is given twice"},
    };
    for (const auto& c : cases)
    {
        TArchFolders mapFolders = {{1, "kept/"}};  // replaced by a good list, kept after a bad one
        std::string strShown, strError;
        const bool bGood = ParseArchFolders(c.first, mapFolders, strError);
        for (const auto& [nArch, strFolder] : mapFolders)
            strShown += (strShown.empty() ? "" : " ") + std::to_string(nArch) + ":" + strFolder;
        EXPECT_EQ(bGood ? strShown : strError + (strShown == "1:kept/" ? "" : " changed"), c.second)
            << c.first;
    }
    // Read with the rest of the configuration.
    Read({"<C><TFTP><RootDirectory>/t</RootDirectory></TFTP><BootServer><ArchFolders>0=bios "
          "7=efi64/</ArchFolders></BootServer></C>",
          "<G/>"});
    EXPECT_EQ(gSettings.mapArchFolders, (TArchFolders{{0, "bios/"}, {7, "efi64/"}}));
}
