// The configuration check over made-up files and a made-up machine: each
// mistake an administrator met, and a clean set-up with nothing to say.
#include "config/check.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <net/if_arp.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

namespace
{
// A clean set-up, line by line.
const std::string kOwn = "<P>\n"
                         " <TFTP>\n"
                         "  <RootDirectory>/srv/tftp</RootDirectory>\n"
                         "  <Negotiate>yes</Negotiate>\n"
                         " </TFTP>\n"
                         " <BootServer>\n"
                         "  <RunWithDhcp>no</RunWithDhcp>\n"
                         "  <ArchFolders>0=bios/ 7=efi64/</ArchFolders>\n"
                         " </BootServer>\n"
                         " <Communication><ConsolePort>40003</ConsolePort></Communication>\n"
                         "</P>\n";
const std::string kNic = "198.18.0.1", kGateway = "<G><NIC>" + kNic + "</NIC></G>";

struct TCase
{
    std::string strFrom, strTo;  // a replacement everywhere in kOwn ("" for none)
    std::string strGateway;      // Gateway.cfg ("-": none)
    std::map<uint16_t, std::vector<TPortUser>> mapPorts;
    std::set<std::string> setFolders;  // the folders there are
    std::string strFound;              // the findings, one a line, paths below the test folder
};

class CheckTest : public ::testing::Test
{
protected:
    std::string Check(const TCase& c)
    {
        std::filesystem::remove_all(dir.Path());
        std::filesystem::create_directories(dir / "opt/bin");
        std::filesystem::create_directories(dir / "etc/Tarn/Quillon/Gateway");
        std::string strOwn = kOwn;
        for (size_t n = 0;
             !c.strFrom.empty() && (n = strOwn.find(c.strFrom, n)) != std::string::npos;
             n += c.strTo.size())
            strOwn.replace(n, c.strFrom.size(), c.strTo);
        WriteFile(dir / "opt/bin/pxeservice.cfg", strOwn);
        if (c.strGateway != "-")
            WriteFile(dir / "etc/Tarn/Quillon/Gateway/Gateway.cfg", c.strGateway);
        TConfigPlatform platform;
        platform.fnProgramPath = [this](std::string& s) {
            return s = dir / "opt/bin/pxeservice", true;
        };
        platform.fnAppDataFolder = [this](std::string& s) { return s = dir / "etc", true; };
        TCheckEnvironment environment;
        environment.fnAdapters = [](std::vector<TAdapter>& v) {
            return v = {{2, "eth0", ARPHRD_ETHER, false, {"198.18.0.1"}}}, 0;
        };
        environment.fnInterfaceOf = [](const std::string& s) { return s == kNic ? "eth0" : ""; };
        environment.fnFolderAccess = [&c](const std::string& s) {
            return c.setFolders.count(s) ? 0 : s == "/srv/file/" ? ENOTDIR : ENOENT;
        };
        environment.fnUdpPortUsers = [&c](uint16_t n) {
            return c.mapPorts.count(n) ? c.mapPorts.at(n) : std::vector<TPortUser>();
        };
        environment.fnConnect = [](const std::string& strHost, uint16_t) {
            return strHost == kNic ? 0 : EHOSTUNREACH;
        };
        std::string strFound;
        for (const TFinding& finding : CheckSetup(platform, environment))
            strFound += finding.Format() + "\n";
        for (size_t n; (n = strFound.find(dir.Path() + "/")) != std::string::npos;)
            strFound.erase(n, dir.Path().size() + 1);
        return strFound;
    }

    TTempDir dir;
};
}  // namespace

TEST_F(CheckTest, EachMistakeIsOneLineWithItsPlaceAndACleanSetUpHasNone)
{
    const std::set<std::string> setAll = {"/srv/tftp/", "/srv/tftp/bios/", "/srv/tftp/efi64/"};
    const std::string F = "opt/bin/pxeservice.cfg:", G = "etc/Tarn/Quillon/Gateway/Gateway.cfg:";
    const TPortUser dnsmasq{"0.0.0.0", 7, 812, "dnsmasq"}, self{"0.0.0.0", 8, 5, "pxeservice"};
    const std::string strHeld67 = "error: address already in use: UDP port 67 is held by dnsmasq "
                                  "(pid 812); set BootServer/RunWithDhcp to yes to leave it to "
                                  "that server\n";
    // clang-format off
    const TCase aCases[] = {
        {"", "", kGateway, {}, setAll, ""},
        // Accepted in silence by a start.
        {"", "", "<G><NIC>198.18.0.9</NIC></G>", {}, setAll,
         G + "1:4: error: <NIC> 198.18.0.9 is on no interface of this machine (its addresses: "
             "eth0 198.18.0.1); the console is looked for there and every boot fails\n" +
         F + "10:17: error: the console does not answer at 198.18.0.9 port 40003 (No route to "
             "host); no client gets an answer until it does: start it, or check <NIC> in "
             "Gateway.cfg and <ConsolePort>\n"},
        {"", "", kGateway, {}, {},
         F + "3:3: error: <RootDirectory> \"/srv/tftp\" does not exist; every boot file is "
             "looked for there\n"},
        {"/srv/tftp", "/srv/file", kGateway, {}, {},
         F + "3:3: error: <RootDirectory> \"/srv/file\" is not a folder; every boot file is "
             "looked for there\n"},
        {">yes<", ">true<", kGateway, {}, setAll,
         F + "4:3: warning: <Negotiate> is \"true\"; use yes or no (it reads as no)\n"},
        {"0=bios/ 7", "0=bios/,7", kGateway, {}, setAll,
         F + "8:3: error: <ArchFolders> gives architecture 0 the folder \"bios/,7=efi64/\", which "
             "holds \",\"; separate the pairs with blanks: 0=bios/ 7=efi64/\n"},
        {"7=efi64/", "7=efi/", kGateway, {}, setAll,
         F + "8:3: error: <ArchFolders> folder \"efi/\" of architecture 7 does not exist in the "
             "TFTP root /srv/tftp/\n"},
        // Errors that gave no reason.
        {" </TFTP>", " </TFPT>", kGateway, {}, setAll,
         F + "2:2: error: <TFTP> is malformed or has no matching end tag </TFTP> (missing or "
             "misspelt)\n"},
        {"<P>", "\xEF\xBB\xBF<P>", kGateway, {}, setAll,
         F + "1:1: error: the file starts with a UTF-8 byte-order mark; save it without one\n"},
        {"<RootDirectory>/srv/tftp</RootDirectory>", "<RootDirectry>/srv/tftp</RootDirectry>",
         kGateway, {}, setAll,
         F + "2:2: error: <RootDirectory> is missing (it belongs in <TFTP> below the root "
             "element); it is required (<RootDirectry> at line 3 is not read)\n" +
         F + "3:3: warning: <RootDirectry> is not a setting of <TFTP> and is ignored; did you "
             "mean <RootDirectory>?\n"},
        {"", "", kGateway, {{67, {dnsmasq, dnsmasq}}, {69, {{"198.18.0.1", 9, 0, ""}}}}, setAll,
         F + "7:3: " + strHeld67 +
         "opt/bin/pxeservice.cfg: error: address already in use: UDP port 69 is held by a "
         "program this user cannot see (try as root); stop it, or serve from a machine "
         "without it\n"},
        {">no<", ">yes<", kGateway, {{67, {dnsmasq}}, {4011, {self}}}, setAll,
         "opt/bin/pxeservice.cfg: warning: UDP port 4011 is held by pxeservice (pid 5): the "
         "service runs already\n"},
        {"", "", "-", {}, setAll,
         "opt/Gateway.cfg: error: Gateway.cfg is in none of the places looked at: "
         "etc/Tarn/Quillon/Gateway/Gateway.cfg, etc/Mervane/Quillon/Gateway/Gateway.cfg, "
         "opt/Gateway.cfg (the file cannot be opened: No such file or directory)\n"},
        // Values out of range, a misplaced or repeated element, a misspelt group.
        {"<Negotiate>yes</Negotiate>", "<MaxBlockSize>7</MaxBlockSize><RunWithDhcp/>", kGateway,
         {}, setAll,
         F + "4:3: error: <MaxBlockSize> is \"7\"; use a number from 8 to 65464\n" +
         F + "4:33: warning: <RunWithDhcp> is not a setting of <TFTP> and is ignored; it belongs "
             "in <BootServer>\n"},
        {"40003</ConsolePort>", "4000x</ConsolePort><ConsolePort>1</ConsolePort>", kGateway, {},
         setAll,
         F + "10:49: warning: <ConsolePort> is given again; only the first, at line 10, is read\n" +
         F + "10:17: warning: <ConsolePort> is \"4000x\"; use a port from 1 to 65535 (it reads "
             "as 4000)\n"},
        // The misspelt group hides RunWithDhcp: port 67 is asked for.
        {"BootServer>", "BootSever>", kGateway, {{67, {dnsmasq}}}, setAll,
         F + "6:2: warning: <BootSever> is not a group of settings and is ignored; did you mean "
             "<BootServer>?\n"
         "opt/bin/pxeservice.cfg: " + strHeld67},
        {"", "", "<G><Nic>198.18.0.1</Nic></G>", {}, setAll,
         G + "1:4: warning: <Nic> is not read; the element is <NIC> (names are compared with "
             "case)\n"},
    };
    // clang-format on
    for (const TCase& c : aCases)
        EXPECT_EQ(Check(c), c.strFound) << c.strFrom << " -> " << c.strTo;
}
