// Whole runs of pxeservice in a network namespace of the test's own, laid out
// as an install in a folder whose name has a dot: <dir>/pxe-1.0/bin/pxeservice
// with the example pxeservice.cfg beside it and the example Gateway.cfg ("any
// NIC") in <dir>/pxe-1.0.
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace
{
// True when every part is in s, each after the one before.
bool InOrder(const std::string& s, std::initializer_list<std::string> parts)
{
    size_t nAt = 0;
    for (const std::string& strPart : parts)
        if ((nAt = s.find(strPart, nAt)) == std::string::npos)
            return false;
    return true;
}

class ServiceRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lab.Ok());
        ASSERT_EQ(RunCommand("mkdir -p '" + strBin + "' && cp '" + BuiltProgram("pxeservice") + "' '" PXE_SOURCE_DIR "/examples/pxeservice.cfg' '" +
                             strBin + "' && cp '" PXE_SOURCE_DIR "/examples/Gateway.cfg' '" + strBin + "/..'"), 0);
        // The datagram socket a service manager reads the NOTIFY_SOCKET messages from.
        sockaddr_un sa{AF_UNIX, {}};
        snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", strNotify.c_str());
        ASSERT_EQ(bind(fdNotify, (sockaddr*)&sa, sizeof(sa)), 0);
    }
    void TearDown() override { close(fdNotify); }

    // The next message to the service manager within iTimeoutMs, or "" on time-out.
    std::string NextNotify(int iTimeoutMs)
    {
        pollfd p{fdNotify, POLLIN, 0};
        char buf[1024];
        ssize_t n = poll(&p, 1, iTimeoutMs) == 1 ? recv(fdNotify, buf, sizeof(buf), 0) : 0;
        return std::string(buf, n > 0 ? (size_t)n : 0);
    }
    // Both service threads are up: their start lines are in the file.
    static bool Serving(const std::string& strFile)
    {
        std::string s = ReadFile(strFile);
        return InOrder(s, {"Start TFTP service at"}) && InOrder(s, {"Start Tarn PXE boot service at"});
    }

    TNetLab lab;
    TTempDir dir;
    int fdNotify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const std::string strBin = dir / "pxe-1.0/bin", strProgram = strBin + "/pxeservice", strLog = strProgram + ".log", strOut = dir / "out", strNotify = dir / "notify";
};
}  // namespace

TEST_F(ServiceRun, ForegroundRunStopsOnASignalAndLeavesTheLogFileEmpty)
{
    // A service manager's socket in the environment is not used by a console run.
    pid_t pid = lab.Spawn(lab.ServerNs(), {"env", "NOTIFY_SOCKET=" + strNotify, strProgram, "-d"}, strOut);
    ASSERT_TRUE(pid > 0 && WaitUntil([&] { return Serving(strOut); }, 15000)) << ReadFile(strOut);
    kill(pid, SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return InOrder(ReadFile(strOut), {"Enter CTRL+C, exiting..."}); }, 5000));
    kill(pid, SIGINT);  // a second stop while stopping changes nothing
    EXPECT_EQ(lab.Stop(pid, 0, 20000), 0);
    // The lines of the configuration and of the service threads are on standard error too; "Service down" once.
    std::string s = ReadFile(strOut);
    EXPECT_TRUE(InOrder(s, {") Service start at ", "Running alone without dhcp", "Info: Use ip address 198.18.0.1", "\nEnter CTRL+C, exiting...\n", ") Service down at "})) << s;
    EXPECT_EQ(s.find(") Service down at "), s.rfind(") Service down at "));
    EXPECT_TRUE(access(strLog.c_str(), F_OK) == 0 && ReadFile(strLog).empty());
    EXPECT_EQ(NextNotify(100), "");
}

TEST_F(ServiceRun, ServiceRunReportsToTheManagerAndLogsIntoTheFile)
{
    WriteFile(strLog, "older run\n");
    pid_t pid = lab.Spawn(lab.ServerNs(), {"env", "NOTIFY_SOCKET=" + strNotify, strProgram}, strOut);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(NextNotify(10000), "STATUS=Starting");
    EXPECT_EQ(NextNotify(10000), "READY=1\nSTATUS=Running");
    ASSERT_TRUE(WaitUntil([&] { return Serving(strLog); }, 15000)) << ReadFile(strLog) << ReadFile(strOut);
    kill(pid, SIGTERM);  // the stop control
    EXPECT_EQ(NextNotify(5000), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(lab.Stop(pid, 0, 20000), 0);
    EXPECT_EQ(NextNotify(1000), "STATUS=Stopped with exit code 0");
    // Appended to what was there, the configuration read before the service threads start;
    // "Service start" went to standard error only.
    std::string strFile = ReadFile(strLog), strErr = ReadFile(strOut);
    EXPECT_TRUE(InOrder(strFile, {"older run\n", "Running alone without dhcp", "Info: Use ip address 198.18.0.1", "Start TFTP service", ") Service down at "})) << strFile;
    EXPECT_TRUE(InOrder(strErr, {") Service start at "})) << strErr;
    EXPECT_FALSE(InOrder(strFile, {"Service start"}) || InOrder(strErr, {"Service down"})) << strFile << strErr;
}

TEST_F(ServiceRun, BadConfigurationsEndWithStatusMinusOneAndTheirLine)
{
    // The configuration file's text (none: no file) and the line that ends the start-up.
    std::string strDeep;  // 30,000 nested elements, one a line
    for (int i = 0; i < 60000; ++i)
        strDeep += i < 30000 ? "<a>\n" : "</a>\n";
    const std::pair<const char*, std::string> aCases[] = {
        {strDeep.c_str(), "Error: Catch config file exception:Element Parse error in main thread at "},
        {nullptr, "Error: Catch config file exception:Invalid file name:" + strProgram + ".cfg in main thread at "},
        {"<PXEService><BootServer/></PXEService>", "Read TFTP setting error:  at "},
        {"<PXEService><TFTP><RootDirectory></RootDirectory></TFTP></PXEService>", "Error: Catch unknow exception in main thread at "},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.second);
        if (c.first)
            WriteFile(strProgram + ".cfg", c.first);
        else
            unlink((strProgram + ".cfg").c_str());
        unlink(strLog.c_str());
        // In the foreground the line goes to standard error; in a service run into
        // the log file, although the process ends without closing it.
        std::string strErr, strIgnored;
        EXPECT_EQ(lab.Run(lab.ServerNs(), "exec '" + strProgram + "' -d 2>&1", &strErr, 30), 255);
        EXPECT_EQ(lab.Run(lab.ServerNs(), "NOTIFY_SOCKET=" + strNotify + " exec " + strProgram, &strIgnored, 30), 255);
        for (const std::string& s : {strErr, ReadFile(strLog)})
            EXPECT_TRUE(InOrder(s, {c.second}) && !InOrder(s, {"Start TFTP service"}) && !InOrder(s, {"Service down"})) << s;
    }
}
