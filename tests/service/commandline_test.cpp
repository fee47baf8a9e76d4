// The command line of pxeservice, run as a program: option errors, version,
// the service-manager actions (against a unit folder of the test's own and a
// stand-in systemctl), and a start without a service manager.
#include "programlayout.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace
{
const char* const kUsage =
    "Usage: PXE Service -i -r -s -k -d -v \n"
    "  -i: Install this program as an NT service, with specified startup\n"
    "  -r: Remove this program from the Service Manager\n"
    "  -s: Start the service\n"
    "  -k: Kill the service\n"
    "  -d: Debug; run as a regular application\n"
    "  -v: Display version\n";

// "PXE Service version: " then four numbers joined by "." and CR LF.
bool IsVersionLine(const std::string& s)
{
    const std::string strHead = "PXE Service version: ";
    if (s.rfind(strHead, 0) != 0 || s.size() < strHead.size() + 2 || s.substr(s.size() - 2) != "\r\n")
        return false;
    std::string strVersion = s.substr(strHead.size(), s.size() - strHead.size() - 2);
    int nNumbers = 0;
    bool bDigit = false;
    for (char c : strVersion + ".")
    {
        if (c >= '0' && c <= '9')
            bDigit = true;
        else if (c == '.' && bDigit)
            ++nNumbers, bDigit = false;
        else
            return false;
    }
    return nNumbers == 4;
}

// Exit status as the shell sees it: -1 is 255.
const int kStatusMinusOne = 255;

class CommandLine : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(layout.bOk); }

    int Run(const std::string& strArgs, std::string* pOutput)
    {
        return RunCommand("exec env -u NOTIFY_SOCKET '" + layout.Program() + "' " + strArgs, pOutput, 30);
    }

    TProgramLayout layout;
};
}  // namespace

TEST_F(CommandLine, OptionErrorsPrintTheUsageAndExitOne)
{
    for (const char* szArgs : {"-x", "-t 0", "-t abc", "-t -5", "-t", "-s -k", "-k -s", "-d -x", "-s -t 2 -k"})
    {
        std::string strOut;
        EXPECT_EQ(Run(szArgs, &strOut), 1) << szArgs;
        EXPECT_EQ(strOut, kUsage) << szArgs;
    }
    // Nothing was started: no log file was made.
    struct stat st;
    EXPECT_NE(stat(layout.LogFile().c_str(), &st), 0);
}

TEST_F(CommandLine, VersionIsOneLineWithCarriageReturnAndExitsOne)
{
    std::string strOut;
    EXPECT_EQ(Run("-v", &strOut), 1);
    EXPECT_TRUE(IsVersionLine(strOut)) << strOut;
    // The foreground run comes after the version in order of precedence.
    std::string strOut2;
    EXPECT_EQ(Run("-d -v", &strOut2), 1);
    EXPECT_EQ(strOut2, strOut);
}

TEST_F(CommandLine, WithoutServiceManagerTheServiceCannotStart)
{
    for (const char* szArgs : {"", "-i -r", "extra words"})
    {
        std::string strOut;
        EXPECT_EQ(Run(szArgs, &strOut), 0) << szArgs;
        // The error form of the log line: the text, then the system's reason.
        EXPECT_EQ(strOut.rfind("Couldn't start service: ", 0), 0u) << strOut;
        EXPECT_EQ(strOut.find("Service start"), std::string::npos) << strOut;
        EXPECT_EQ(std::count(strOut.begin(), strOut.end(), '\n'), 1) << strOut;
    }
}

// The service-manager actions run in a mount namespace of their own, with a
// temporary folder over /usr/local, so the unit lands in the test's folder;
// the stand-in systemctl records its arguments.
class ServiceActions : public CommandLine
{
protected:
    void SetUp() override
    {
        CommandLine::SetUp();
        strLocal = layout.Path("usr-local");
        strStubDir = layout.Path("stub");
        mkdir(strLocal.c_str(), 0755);
        mkdir(strStubDir.c_str(), 0755);
        strCalls = layout.Path("calls");
        WriteFile(strStubDir + "/systemctl", "#!/bin/sh\n"
                                             "echo \"$*\" >> '" + strCalls + "'\n"
                                             "exit $(cat '" + layout.Path("status") + "' 2>/dev/null || echo 0)\n");
        chmod((strStubDir + "/systemctl").c_str(), 0755);
        std::string strOut;
        bUnshare = RunCommand("unshare -m true", &strOut) == 0;
    }

    int Action(const std::string& strArgs, std::string* pOutput = nullptr)
    {
        std::string strOut;
        int r = RunCommand("exec unshare -m sh -c \"mount --bind '" + strLocal + "' /usr/local && PATH='" +
                               strStubDir + "':\\$PATH exec env -u NOTIFY_SOCKET '" + layout.Program() + "' " +
                               strArgs + "\"",
                           &strOut, 30);
        if (pOutput)
            *pOutput = strOut;
        return r;
    }
    std::string Calls()
    {
        std::string s = ReadFile(strCalls);
        unlink(strCalls.c_str());
        return s;
    }
    std::string Unit() const { return ReadFile(UnitPath()); }
    std::string UnitPath() const { return strLocal + "/lib/systemd/system/QvnPXE.service"; }
    void StubExits(int iStatus) { WriteFile(layout.Path("status"), std::to_string(iStatus)); }

    std::string strLocal, strStubDir, strCalls;
    bool bUnshare = false;
};

TEST_F(ServiceActions, InstallWritesAnOnDemandUnitDependingOnTheGateway)
{
    if (!bUnshare)
        GTEST_SKIP() << "no mount namespaces here";
    std::string strOut;
    ASSERT_EQ(Action("-i", &strOut), 0) << strOut;
    std::string strUnit = Unit();
    EXPECT_NE(strUnit.find("Description=Quillon Management PXE Service\n"), std::string::npos) << strUnit;
    EXPECT_NE(strUnit.find("X-Description=Quillon - PXE Service\n"), std::string::npos) << strUnit;
    EXPECT_NE(strUnit.find("Requires=QvnGateway.service\nAfter=QvnGateway.service\n"), std::string::npos) << strUnit;
    EXPECT_NE(strUnit.find("Type=notify\nExecStart=" + layout.Program() + "\n"), std::string::npos) << strUnit;
    // Installed, reloaded, never enabled or started.
    EXPECT_EQ(Calls(), "daemon-reload\ndaemon-reload\n");

    // A second install fails and leaves the single dependency as it was.
    EXPECT_EQ(Action("-i", &strOut), kStatusMinusOne) << strOut;
    EXPECT_EQ(Unit(), strUnit);
    EXPECT_EQ(Calls(), "daemon-reload\n");
    // "-t" has no say over an install.
    EXPECT_EQ(Action("-r"), 0);
    Calls();
    EXPECT_EQ(Action("-i -t 2"), 0);
    EXPECT_EQ(Calls(), "daemon-reload\ndaemon-reload\n");
}

TEST_F(ServiceActions, InstallOverAUnitWithDependenciesOnlySetsTheDescription)
{
    if (!bUnshare)
        GTEST_SKIP() << "no mount namespaces here";
    RunCommand("mkdir -p '" + strLocal + "/lib/systemd/system'");
    std::string strOld = "[Unit]\nDescription=older\nAfter=network.target\n\n[Service]\nExecStart=/bin/true\n";
    WriteFile(UnitPath(), strOld);
    EXPECT_EQ(Action("-i"), kStatusMinusOne);
    std::string strUnit = Unit();
    EXPECT_EQ(strUnit, "[Unit]\nDescription=older\nAfter=network.target\nX-Description=Quillon - PXE Service\n\n"
                       "[Service]\nExecStart=/bin/true\n");
    // A unit without any dependency gets the gateway even when it was there before.
    WriteFile(UnitPath(), "[Unit]\nDescription=older\n");
    EXPECT_EQ(Action("-i"), kStatusMinusOne);
    EXPECT_EQ(Unit(), "[Unit]\nDescription=older\nRequires=QvnGateway.service\nAfter=QvnGateway.service\n"
                      "X-Description=Quillon - PXE Service\n");
}

TEST_F(ServiceActions, EachActionReturnsItsResultAsTheExitStatus)
{
    if (!bUnshare)
        GTEST_SKIP() << "no mount namespaces here";
    EXPECT_EQ(Action("-r"), kStatusMinusOne);  // nothing installed
    ASSERT_EQ(Action("-i"), 0);
    EXPECT_EQ(Action("-r"), 0);
    struct stat st;
    EXPECT_NE(stat(UnitPath().c_str(), &st), 0);
    // Start types the service manager does not know.
    EXPECT_EQ(Action("-t 1"), kStatusMinusOne);
    Calls();
    // Each option only sets its flag; start comes before the start type.
    EXPECT_EQ(Action("-t 4 -s"), 0);
    EXPECT_EQ(Action("-k -t 2"), 0);
    EXPECT_EQ(Calls(), "start QvnPXE.service\nstop QvnPXE.service\n");
    StubExits(5);
    for (const char* szArgs : {"-s", "-k", "-t 2", "-t 3", "-t 4"})
        EXPECT_EQ(Action(szArgs), kStatusMinusOne) << szArgs;
}
