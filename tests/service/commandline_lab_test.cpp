// The command line of pxeservice, run as a program in a mount and network
// namespace of its own: a folder of the test lies over /usr/local, so units
// land there, and a stand-in systemctl on PATH records its arguments.
#include "common/testutil.h"
#include "service/process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

TEST(CommandLine, EachOptionEndsWithItsStatusOutputAndSystemctlCalls)
{
    TTempDir dir;
    // Blanks and "%" in the program's path must survive into ExecStart.
    const std::string strProgram = dir / "my 100% pxe/pxeservice",
                      strUnitPath = dir / "local/lib/systemd/system/QvnPXE.service";
    WriteFile(dir / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + dir / "calls" + "'\nexit $(cat '" +
                                     dir / "status" + "')\n");
    ASSERT_EQ(RunCommand("cd '" + dir.Path() +
                         "' && mkdir 'my 100% pxe' local && chmod 755 systemctl && cp '" +
                         BuiltProgram("pxeservice") + "' '" + strProgram + "'"),
              0);
    // The exit status (-1 is 255); standard output and error in strOut, the systemctl calls in
    // strCalls.
    std::string strOut, strCalls;
    auto fnRun = [&](const std::string& strArgs, int iSystemctlStatus) {
        WriteFile(dir / "status", std::to_string(iSystemctlStatus));
        int r = RunCommand("exec unshare -m -n sh -c \"mount --bind '" + dir / "local" +
                               "' /usr/local && PATH='" + dir.Path() +
                               "':\\$PATH exec env -u NOTIFY_SOCKET '" + strProgram + "' " +
                               strArgs + "\"",
                           &strOut, 30);
        strCalls = ReadFile(dir / "calls");
        unlink((dir / "calls").c_str());
        return r;
    };
    const std::string strUsage =
        "Usage: PXE Service -i -r -s -k -d -v \n"
        "  -i: Install this program as an NT service, with specified startup\n"
        "  -r: Remove this program from the Service Manager\n  -s: Start the service\n"
        "  -k: Kill the service\n  -d: Debug; run as a regular application\n"
        "  -v: Display version\n";
    const std::string strNoManager =
        "Couldn't start service: Transport endpoint is not connected\n";
    const std::string strSvc = " QvnPXE.service\n", strReload = "daemon-reload\n",
                      strDesc = "X-Description=Quillon - PXE Service\n";
    const std::string strGateway = "Wants=QvnGateway.service\nAfter=QvnGateway.service\n";
    const std::string strUnit =
        "[Unit]\nDescription=Quillon Management PXE Service\n" + strGateway + strDesc +
        "\n[Service]\nType=notify\nExecStart=\"" + dir.Path() +
        "/my 100%% pxe/pxeservice\"\n\n[Install]\nWantedBy=multi-user.target\n";
    const std::string strOld = "[Unit]\nDescription=older\nAfter=network.target\n";
    struct TStep
    {
        std::string strArgs;
        int iSystemctl, iExit;
        std::string strCalls, strOut, strUnitAfter;  // "" after: no unit
        std::string strUnitBefore = "";              // written first unless ""
    };
    const TStep aSteps[] = {
        // The version, with status 1, comes before a foreground run.
        {"-d -v", 0, 1, "", "PXE Service version: " + std::string(ProgramVersion()) + "\r\n", ""},
        {"-s -k", 0, 1, "", strUsage, ""},
        {"-h -x", 0, 1, "", strUsage, ""},  // a wrong option beside the help
        {"", 0, 0, "", strNoManager, ""},
        {"-r", 0, 255, "", "", ""},
        // Installed on demand: written and reloaded, never enabled or started.
        {"-i", 0, 0, strReload + strReload, "", strUnit},
        {"-i", 0, 255, strReload, "", strUnit},
        {"-t 1", 0, 255, "", "", strUnit},
        {"-t 2", 0, 0, "unmask" + strSvc + "enable" + strSvc, "", strUnit},
        {"-t 3", 0, 0, "unmask" + strSvc + "disable" + strSvc, "", strUnit},
        {"-t 4", 0, 0, "mask" + strSvc, "", strUnit},
        // Each option only sets its flag; start and stop come first.
        {"-t 4 -s", 0, 0, "start" + strSvc, "", strUnit},
        {"-r", 0, 0, "disable" + strSvc + strReload, "", ""},
        // A failing systemctl fails the action; a failed disable does not keep the unit.
        {"-s", 5, 255, "start" + strSvc, "", strUnit, strUnit},
        {"-r", 5, 255, "disable" + strSvc + strReload, "", ""},
        // Over an existing unit that depends on something the gateway is not added.
        {"-i", 0, 255, strReload, "", strOld + strDesc, strOld},
    };
    for (const TStep& s : aSteps)
    {
        SCOPED_TRACE("\"" + s.strArgs + "\" with systemctl status " + std::to_string(s.iSystemctl));
        if (!s.strUnitBefore.empty())
            WriteFile(strUnitPath, s.strUnitBefore);
        EXPECT_EQ(fnRun(s.strArgs, s.iSystemctl), s.iExit);
        EXPECT_EQ(strOut, s.strOut);
        EXPECT_EQ(strCalls, s.strCalls);
        EXPECT_EQ(ReadFile(strUnitPath), s.strUnitAfter);
    }
    // The help goes to standard output alone, names every option, and ends the run with 0
    // before anything else is done.
    unlink(strUnitPath.c_str());
    EXPECT_EQ(fnRun("-i --help 2>/dev/null", 0), 0);
    const std::string strHelp = strOut;
    EXPECT_EQ(fnRun("-i --help >/dev/null", 0), 0);
    EXPECT_EQ(strOut + strCalls + ReadFile(strUnitPath), "");
    EXPECT_EQ(strHelp.rfind("Usage: pxeservice ", 0), 0u) << strHelp;
    for (const char* szOption : {"\n  -i ", "\n  -r ", "\n  -s ", "\n  -k ", "\n  -t N ", "\n  -d ",
                                 "\n  -v ", "\n  --check ", "\n  -h, --help "})
        EXPECT_EQ(CountOf(strHelp, szOption), 1) << szOption << strHelp;
    EXPECT_EQ(CountOf(strHelp, "NT service"), 0) << strHelp;
}
