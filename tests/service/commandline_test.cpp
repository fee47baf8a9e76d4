// The command line of pxeservice, run as a program in a mount and network
// namespace of its own: a folder of the test lies over /usr/local, so units
// land there, and a stand-in systemctl on PATH records its arguments.
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace
{
const std::string kUsage = "Usage: PXE Service -i -r -s -k -d -v \n"
                           "  -i: Install this program as an NT service, with specified startup\n"
                           "  -r: Remove this program from the Service Manager\n"
                           "  -s: Start the service\n"
                           "  -k: Kill the service\n"
                           "  -d: Debug; run as a regular application\n"
                           "  -v: Display version\n";
const std::string kNoManager = "Couldn't start service: Transport endpoint is not connected\n";

class CommandLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteFile(dir / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + dir / "calls" + "'\nexit $(cat '" +
                                         dir / "status" + "')\n");
        ASSERT_EQ(chmod((dir / "systemctl").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "local").c_str(), 0755), 0);
    }

    // The exit status (-1 is 255); standard output and error in *pOut, the systemctl calls in *pCalls.
    int Run(const std::string& strArgs, int iSystemctlStatus, std::string* pOut, std::string* pCalls)
    {
        WriteFile(dir / "status", std::to_string(iSystemctlStatus));
        int r = RunCommand("exec unshare -m -n sh -c \"mount --bind '" + dir / "local" + "' /usr/local && PATH='" +
                               dir.Path() + "':\\$PATH exec env -u NOTIFY_SOCKET '" + strProgram + "' " + strArgs +
                               "\"",
                           pOut, 30);
        *pCalls = ReadFile(dir / "calls");
        unlink((dir / "calls").c_str());
        return r;
    }

    TTempDir dir;
    std::string strProgram = BuiltProgram("pxeservice");
};
}  // namespace

TEST_F(CommandLine, EachOptionEndsWithItsStatusOutputAndSystemctlCalls)
{
    const std::string strSvc = " QvnPXE.service\n", strReload = "daemon-reload\n";
    const std::string strGateway = "Requires=QvnGateway.service\nAfter=QvnGateway.service\n";
    const std::string strDesc = "X-Description=Quillon - PXE Service\n";
    const std::string strUnit = "[Unit]\nDescription=Quillon Management PXE Service\n" + strGateway + strDesc +
                                "\n[Service]\nType=notify\nExecStart=" + strProgram +
                                "\n\n[Install]\nWantedBy=multi-user.target\n";
    const std::string strOld = "[Unit]\nDescription=older\nAfter=network.target\n";
    struct TStep
    {
        std::string strUnitBefore, strArgs;  // unit written first unless ""
        int iSystemctl, iExit;
        std::string strCalls, strOut, strUnitAfter;  // "" after: no unit
    };
    const TStep aSteps[] = {
        {"", "-x", 0, 1, "", kUsage, ""},
        {"", "-t 0", 0, 1, "", kUsage, ""},
        {"", "-t abc", 0, 1, "", kUsage, ""},
        {"", "-t", 0, 1, "", kUsage, ""},
        {"", "-s -k", 0, 1, "", kUsage, ""},
        {"", "-d -x", 0, 1, "", kUsage, ""},
        {"", "", 0, 0, "", kNoManager, ""},
        {"", "-i -r", 0, 0, "", kNoManager, ""},
        {"", "extra words", 0, 0, "", kNoManager, ""},
        {"", "-r", 0, 255, "", "", ""},
        // Installed on demand: written and reloaded, never enabled or started.
        {"", "-i", 0, 0, strReload + strReload, "", strUnit},
        {"", "-i", 0, 255, strReload, "", strUnit},
        {"", "-t 1", 0, 255, "", "", strUnit},
        {"", "-t 2", 0, 0, "unmask" + strSvc + "enable" + strSvc, "", strUnit},
        {"", "-t 3", 0, 0, "unmask" + strSvc + "disable" + strSvc, "", strUnit},
        {"", "-t 4", 0, 0, "mask" + strSvc, "", strUnit},
        // Each option only sets its flag; start and stop come before the start type.
        {"", "-t 4 -s", 0, 0, "start" + strSvc, "", strUnit},
        {"", "-k -t 2", 0, 0, "stop" + strSvc, "", strUnit},
        {"", "-r", 0, 0, "disable" + strSvc + strReload, "", ""},
        {"", "-i -t 2", 0, 0, strReload + strReload, "", strUnit},
        // A failing systemctl fails the action; a failed disable does not keep the unit.
        {"", "-s", 5, 255, "start" + strSvc, "", strUnit},
        {"", "-k", 5, 255, "stop" + strSvc, "", strUnit},
        {"", "-t 2", 5, 255, "unmask" + strSvc, "", strUnit},
        {"", "-t 4", 5, 255, "mask" + strSvc, "", strUnit},
        {"", "-r", 5, 255, "disable" + strSvc + strReload, "", ""},
        // Over a unit that has a dependency only the description is set.
        {strOld, "-i", 0, 255, strReload, "", strOld + strDesc},
        {"[Unit]\n", "-i", 0, 255, strReload, "", "[Unit]\n" + strGateway + strDesc},
    };
    const std::string strUnitPath = dir / "local/lib/systemd/system/QvnPXE.service";
    for (const TStep& s : aSteps)
    {
        SCOPED_TRACE("\"" + s.strArgs + "\" with systemctl status " + std::to_string(s.iSystemctl));
        if (!s.strUnitBefore.empty())
            WriteFile(strUnitPath, s.strUnitBefore);
        std::string strOut, strCalls;
        EXPECT_EQ(Run(s.strArgs, s.iSystemctl, &strOut, &strCalls), s.iExit) << strOut;
        EXPECT_EQ(strCalls, s.strCalls);
        EXPECT_EQ(strOut, s.strOut);
        EXPECT_EQ(ReadFile(strUnitPath), s.strUnitAfter);
    }
    // The version: one line ending in CR LF, status 1, and it comes before a foreground run.
    for (const char* szArgs : {"-v", "-d -v"})
    {
        std::string strOut, strCalls;
        EXPECT_EQ(Run(szArgs, 0, &strOut, &strCalls), 1) << szArgs;
        unsigned a, b, c, d;
        int n = 0;
        ASSERT_EQ(sscanf(strOut.c_str(), "PXE Service version: %u.%u.%u.%u%n", &a, &b, &c, &d, &n), 4) << strOut;
        EXPECT_EQ(strOut.substr(n), "\r\n");
    }
}
