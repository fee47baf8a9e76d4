#include "config/archfolders.h"
#include "config/configuration.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "common/testutil.h"
#include "common/logcapture.h"

#include <net/if_arp.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <tuple>

// A program folder, an application-data folder and an adapter list, all made up.
class ConfigTest : public ::testing::Test
{
protected:
    // Writes the own file, then Gateway.cfg at Tarn's, at Mervane's and at the program's place (no
    // file where empty), reads the configuration from fresh settings and returns it in short, the
    // message of a TTiXmlException, or "exit", the status and the last line logged for a
    // fatal error.
    std::string Read(const std::array<std::string, 4>& files)
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
            [this](std::vector<TAdapter>& vList) { return vList = vAdapters, 0; },
            [](int iStatus) { throw iStatus; }};
        TLogCapture log;
        strReason.clear();
        try
        {
            ReadConfiguration(platform);
        }
        catch (const TTiXmlException& e)
        {
            strReason = Relative(DescribeXmlFault(e));
            return e.Message();
        }
        catch (const TSettingFault& e)
        {
            strReason = Relative(e.strReason);
            return e.what();
        }
        catch (int iStatus)
        {
            // The fault's line, and the reason line after it.
            std::string strLines = log.Texts("", " at ");
            if (size_t n = strLines.rfind("|Reason: "); n != std::string::npos)
            {
                strReason = Relative(strLines.substr(n + 9));
                strLines.erase(n);
            }
            return "exit " + std::to_string(iStatus) + " " +
                   strLines.substr(strLines.rfind('|') + 1);
        }
        strLog = log.Texts("", " at ");
        return gSettings.strTftpRoot + (gSettings.bTftpNegotiate ? " on " : " off ") +
               std::to_string(gSettings.iTftpMaxBlockSize) + "/" +
               std::to_string(gSettings.iTftpMaxWindowSize) + " " + gSettings.strMultiCast +
               (gSettings.bRunWithDhcp ? " dhcp " : " alone ") + gSettings.strConsolePort + " " +
               gSettings.strIpAddress + (bAnyNic ? " any" : "");
    }

    // The text with the test's folder left out of every path.
    std::string Relative(std::string s)
    {
        for (size_t n; (n = s.find(dir.Path() + "/")) != std::string::npos;)
            s.erase(n, dir.Path().size() + 1);
        return s;
    }

    TTempDir dir;
    std::string strReason;  // of the last fatal fault read
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

TEST_F(ConfigTest, ValuesDefaultsGatewaySearchOrderFatalErrorsAndLogLines)
{
    EXPECT_EQ(Read({"<?xml version='1.0'?><C><TFTP><RootDirectory>/srv/tftp</RootDirectory>"
                    "<Negotiate>YESS</Negotiate><MaxBlockSize>8</MaxBlockSize><MaxWindowSize>64"
                    "</MaxWindowSize></TFTP><BootServer><MultiCast>239.1.1.1</MultiCast>"
                    "<RunWithDhcp>Yesterday</RunWithDhcp></BootServer><Communication>"
                    "<ConsolePort>4011</ConsolePort></Communication></C>",
                    "<G><NIC>198.18.0.1</NIC></G>"}),
              "/srv/tftp/ on 8/64 239.1.1.1 dhcp 4011 198.18.0.1");
    EXPECT_EQ(strLog, "TFTP option negotiation on: blocks up to 8 bytes, windows up to 64|"
                      "Running with dhcp|Info: Use ip address 198.18.0.1");
    // Gateway.cfg without NIC: the first wired adapter with an address; negotiation is not logged
    // when off.
    auto Root = [](const std::string& s) {
        return "<C><TFTP><RootDirectory>" + s + "</RootDirectory>";
    };
    EXPECT_EQ(Read({Root("C:\\tftp") + "</TFTP></C>", "", "", "<G/>"}),
              "C:\\tftp/ off 1468/16 224.0.1.2 alone 40003 198.18.0.5 any");
    EXPECT_EQ(strLog, "Set MultiCast to default 224.0.1.2|Running alone without dhcp|"
                      "Info: Use ip address 198.18.0.5");

    const std::string T = Root("/t"), C = T + "</TFTP>", P = "<Communication><ConsolePort>",
                      G = "<G/>", G1 = "<G><NIC>198.18.0.1</NIC></G>",
                      G7 = "<G><NIC>198.18.0.7</NIC></G>", G8 = "<G><NIC>198.18.0.8</NIC></G>",
                      O = " off 1468/16 224.0.1.2 alone ", R = "/t/" + O, E = C + "</C>",
                      X = "exit -1 Read TFTP setting error: ";
    const std::pair<std::array<std::string, 4>, std::string> cases[] = {
        {{Root("C:\\tftp\\") + "</TFTP></C>", G1}, "C:\\tftp\\" + O + "40003 198.18.0.1"},
        {{T + "<Negotiate>ye</Negotiate><MaxBlockSize>65464</MaxBlockSize><MaxWindowSize>1"
              "</MaxWindowSize></TFTP></C>",
          G1},
         "/t/ off 65464/1 224.0.1.2 alone 40003 198.18.0.1"},
        {{C + P + "4000x</ConsolePort></Communication></C>", G1}, R + "4000x 198.18.0.1"},
        {{C + P + "80006</ConsolePort></Communication></C>", G1}, R + "40003 198.18.0.1"},
        {{C + "<x></C>", G1}, "Element Parse error"},
        // Tarn's file is taken although it names no NIC; the third place is read without a test.
        {{E, G, G7, G8}, R + "40003 198.18.0.5 any"},
        {{E, "", G7, G8}, R + "40003 198.18.0.7"},
        {{E, "", "", G8}, R + "40003 198.18.0.8"},
        {{E, "", "", ""}, "Invalid file name:" + dir / "opt/Gateway.cfg"},
        {{E, "<G><NIC>ANY nic</NIC></G>"}, R + "40003 198.18.0.5 any"},
        {{E, "<G><NIC>not an address</NIC></G>"}, R + "40003 not an address"},
        // Fatal: the start-up ends with status -1 and the line of the fault.
        {{"<C><TFTP><Root/></TFTP></C>", G1}, X},
        {{T + "</TFTP><BootServer><ArchFolders>0=bios/ 7</ArchFolders></BootServer></C>", G1},
         "exit -1 Read ArchFolders setting error: '7': no '='"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Read(c.first), c.second) << c.first[0];
    // Each limit out of its range, or not plain digits.
    const std::tuple<std::string, std::string, std::string> aLimits[] = {
        {"MaxBlockSize", "65465", "8 to 65464"},
        {"MaxWindowSize", "+4", "1 to 64"},
        {"MaxTransfers", "0", "1 to 10000"},
        {"MaxTransfersPerClient", "257", "1 to 256"},
        {"MaxTimeout", "256", "1 to 255"}};
    for (const auto& [strName, strValue, strRange] : aLimits)
        EXPECT_EQ(Read({T + "<" + strName + ">" + strValue + "</" + strName + "></TFTP></C>", G1}),
                  X + strName + " \"" + strValue + "\" is not a number from " + strRange);
    // The reason given after each fatal fault: where it lies and what to do (one of each kind; the
    // others are the findings of the configuration check).
    const std::string F = "opt/bin/pxeservice.cfg:";
    const std::pair<std::array<std::string, 4>, std::string> aReasons[] = {
        {{Root("") + "</TFTP></C>", G1},
         F + "1:10: <RootDirectory> is empty; name the folder the files are served from"},
        {{T + "</TFTP><BootServer><ArchFolders>0=bios/ 7</ArchFolders></BootServer></C>", G1},
         F + "1:62: <ArchFolders> '7': no '='; write NUMBER=FOLDER pairs separated by blanks"},
        {{"", G1},
         F.substr(0, F.size() - 1) + ": the file cannot be opened: No such file or directory"},
    };
    for (const auto& [files, strExpected] : aReasons)
    {
        Read(files);
        EXPECT_EQ(strReason, strExpected) << files[0];
    }
    // The defaults of the bounds on TFTP transfers (values out of their ranges: above).
    EXPECT_EQ(Read({E, G1}), R + "40003 198.18.0.1");
    EXPECT_EQ(std::to_string(gSettings.iTftpMaxTransfers) + "/" +
                  std::to_string(gSettings.iTftpMaxTransfersPerClient) + "/" +
                  std::to_string(gSettings.iTftpMaxTimeout),
              "256/8/10");
    // The program's path is needed for the own file, and again for the third place of Gateway.cfg.
    for (iFailProgramCall = 1; iFailProgramCall <= 2; ++iFailProgramCall)
        EXPECT_EQ(Read({E, "", "", G8}), "exit -1 error: GetModuleFileName");
    iFailProgramCall = 0, bFolderOk = false;
    EXPECT_EQ(Read({E, G1}), "exit -1 error: GetCommonAppDataFolder");
    bFolderOk = true;
    // Only adapters that do not count: "any NIC" stays (and is the address logged).
    vAdapters.resize(3);
    EXPECT_EQ(Read({E, G}), R + "40003 any NIC any");
    // No adapter list, or no adapters at all.
    EXPECT_EQ(ChooseAdapterAddress(-1, vAdapters) + " " + ChooseAdapterAddress(0, {}),
              "127.0.0.1 127.0.0.1");
}

// BootServer/ArchFolders: each list gives the map shown, or the fault of its first bad pair.
TEST_F(ConfigTest, ArchFoldersGoodAndBadLists)
{
    const std::string strLong(101, 'f');
    const std::pair<std::string, std::string> cases[] = {
        {" \t0=bios\n 00007=uefi\\x64 65535=a..b/c ", "0:bios/ 7:uefi\\x64/ 65535:a..b/c/"},
        {"", ""},
        {"65536=big/", "'65536=big/': the architecture is not a number from 0 to 65535"},
        {"7=", "'7=': no folder"},
        {"7=\\efi", "'7=\\efi': the folder starts with a slash"},
        {"7=efi/../..", "'7=efi/../..': the folder holds '..'"},
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
    // Read with the rest of the configuration; two architectures may share a folder.
    Read({"<C><TFTP><RootDirectory>/t</RootDirectory></TFTP><BootServer><ArchFolders>0=bios "
          "7=efi64/ 9=efi64/</ArchFolders></BootServer></C>",
          "<G/>"});
    EXPECT_EQ(gSettings.mapArchFolders, (TArchFolders{{0, "bios/"}, {7, "efi64/"}, {9, "efi64/"}}));
}

TEST_F(ConfigTest, RecordsFileAndJournalAreReadFromLogOnly)
{
    const std::string strRoot = "<TFTP><RootDirectory>/t</RootDirectory></TFTP>";
    const std::tuple<std::string, std::string, bool> aCases[] = {
        {"<Log><Records>/var/log/r 1.json</Records><Journal>YESterday</Journal></Log>",
         "/var/log/r 1.json", true},
        {"<Records>/x</Records><Journal>yes</Journal>", "", false},
    };
    for (const auto& [strLog, strRecords, bJournal] : aCases)
        EXPECT_TRUE(Read({"<P>" + strRoot + strLog + "</P>", "<G/>"}).rfind("/t/ off", 0) == 0 &&
                    gSettings.strLogRecords == strRecords && gSettings.bLogJournal == bJournal)
            << strLog;
}

// The HTTP element: each one gives the settings shown in short, or the fatal line of its fault
// and the reason after it (its place and the remedy).
TEST_F(ConfigTest, HttpSettingsAndTheirFaults)
{
    auto Http = [this](const std::string& strHttp) {
        const std::string strRead =
            Read({"<C><TFTP><RootDirectory>/t</RootDirectory></TFTP>" + strHttp + "</C>",
                  "<G><NIC>198.18.0.1</NIC></G>"});
        if (strRead.compare(0, 4, "exit") == 0)
            return strRead + " | " + strReason;
        return std::to_string(gSettings.iHttpPort) + " " +
               std::to_string(gSettings.iHttpMaxConnections) + "/" +
               std::to_string(gSettings.iHttpMaxConnectionsPerClient) + " [" +
               gSettings.strHttpBaseUrl + "] " + (gSettings.bHttpForIpxe ? "ipxe" : "-");
    };
    const std::string X = "exit -1 Read HTTP setting error: ", F = "opt/bin/pxeservice.cfg:1:56: ";
    const std::pair<std::string, std::string> cases[] = {
        {"", "0 256/32 [] ipxe"},
        {"<HTTP><Port>8080</Port><MaxConnections>10000</MaxConnections>"
         "<MaxConnectionsPerClient>1</MaxConnectionsPerClient><ForIpxe>NO</ForIpxe></HTTP>",
         "8080 10000/1 [] -"},
        // A base URL alone: an external server, no server of this one.
        {"<HTTP><BaseUrl>https://boot.example/efi</BaseUrl><ForIpxe>yesterday</ForIpxe></HTTP>",
         "0 256/32 [https://boot.example/efi/] ipxe"},
        {"<HTTP><Port>0</Port></HTTP>", X + "Port \"0\" is not a number from 1 to 65535 | " + F +
                                            "<Port> is \"0\"; use a number from 1 to 65535"},
        {"<HTTP><BaseUrl>http://h/a b</BaseUrl></HTTP>",
         X +
             "BaseUrl \"http://h/a b\" holds a blank, a control character or a byte outside "
             "ASCII | " +
             F +
             "<BaseUrl> is \"http://h/a b\", which holds a blank, a control "
             "character or a byte outside ASCII; write http://HOST[:PORT]/[PATH]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Http(c.first), c.second) << c.first;
    Http("<HTTP><Port>8080</Port><BaseUrl>http://198.18.0.1:8080/</BaseUrl></HTTP>");
    EXPECT_EQ(strLog, "Set MultiCast to default 224.0.1.2|Running alone without dhcp|HTTP server "
                      "on TCP port 8080, up to 256 connections|HTTP base URL "
                      "http://198.18.0.1:8080/|Info: Use ip address 198.18.0.1");
}
