// Whole runs of pxeservice inside a network namespace of the test's own:
// in the foreground until a stop signal, as a service started by a service
// manager (a real NOTIFY_SOCKET), and with bad configurations.
#include "programlayout.h"
#include "common/notifysocket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace
{
const int kStatusMinusOne = 255;

bool Contains(const std::string& s, const std::string& strPart)
{
    return s.find(strPart) != std::string::npos;
}

size_t Count(const std::string& s, const std::string& strPart)
{
    size_t n = 0;
    for (size_t i = s.find(strPart); i != std::string::npos; i = s.find(strPart, i + 1))
        ++n;
    return n;
}

class ServiceRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lab.Ok());
        ASSERT_TRUE(layout.bOk);
    }

    // Both service threads are up (their start lines are in strFile).
    static bool Serving(const std::string& strFile)
    {
        std::string s = ReadFile(strFile);
        return Contains(s, "Start TFTP service at") && Contains(s, "Start Tarn PXE boot service at");
    }

    TNetLab lab;
    TProgramLayout layout;
};
}  // namespace

TEST_F(ServiceRun, ForegroundRunStopsOnEachStopSignalAndLeavesTheLogFileEmpty)
{
    TNotifySocket notify(layout.Path("notify"));
    ASSERT_TRUE(notify.bOk);
    for (int iSignal : {SIGINT, SIGTERM, SIGHUP})
    {
        std::string strOut = layout.Path("out" + std::to_string(iSignal));
        // A service manager's socket in the environment is not used by a console run.
        pid_t pid = lab.Spawn(lab.ServerNs(),
                              {"env", "NOTIFY_SOCKET=" + notify.strPath, layout.Program(), "-d"}, strOut);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitUntil([&] { return Serving(strOut); }, 15000)) << ReadFile(strOut);
        kill(pid, iSignal);
        // A second stop while stopping changes nothing.
        ASSERT_TRUE(WaitUntil([&] { return Contains(ReadFile(strOut), "Enter CTRL+C, exiting..."); }, 5000));
        kill(pid, SIGINT);
        EXPECT_EQ(lab.Stop(pid, 0, 20000), 0) << iSignal;

        std::string s = ReadFile(strOut);
        size_t nStart = s.find(") Service start at ");
        size_t nCtrlC = s.find("Enter CTRL+C, exiting...\n");
        size_t nDown = s.find(") Service down at ");
        ASSERT_NE(nStart, std::string::npos) << s;
        ASSERT_NE(nCtrlC, std::string::npos) << s;
        ASSERT_NE(nDown, std::string::npos) << s;
        EXPECT_LT(nStart, nCtrlC);
        EXPECT_LT(nCtrlC, nDown);
        EXPECT_EQ(Count(s, "Service down at"), 1u) << s;
        // The line without the prefix, on a line of its own.
        EXPECT_TRUE(nCtrlC == 0 || s[nCtrlC - 1] == '\n') << s;
        // Lines of the service threads are on standard error too.
        EXPECT_TRUE(Contains(s, "Running alone without dhcp")) << s;

        // The log file is there, and empty.
        struct stat st;
        ASSERT_EQ(stat(layout.LogFile().c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
    }
    EXPECT_EQ(notify.Next(100), "");
}

TEST_F(ServiceRun, ServiceRunReportsToTheManagerAndLogsIntoTheFile)
{
    TNotifySocket notify(layout.Path("notify"));
    ASSERT_TRUE(notify.bOk);
    WriteFile(layout.LogFile(), "older run\n");
    std::string strOut = layout.Path("out");
    pid_t pid = lab.Spawn(lab.ServerNs(), {"env", "NOTIFY_SOCKET=" + notify.strPath, layout.Program()}, strOut);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(notify.Next(10000), "STATUS=Starting");
    EXPECT_EQ(notify.Next(10000), "READY=1\nSTATUS=Running");
    ASSERT_TRUE(WaitUntil([&] { return Serving(layout.LogFile()); }, 15000))
        << ReadFile(layout.LogFile()) << ReadFile(strOut);

    // SIGTERM is the stop control.
    kill(pid, SIGTERM);
    EXPECT_EQ(notify.Next(5000), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(lab.Stop(pid, 0, 20000), 0);
    EXPECT_EQ(notify.Next(1000), "STATUS=Stopped with exit code 0");

    std::string strLog = ReadFile(layout.LogFile());
    std::string strErr = ReadFile(strOut);
    // Appended to what was there; "Service start" went to standard error only.
    EXPECT_EQ(strLog.rfind("older run\n", 0), 0u) << strLog;
    EXPECT_FALSE(Contains(strLog, "Service start")) << strLog;
    EXPECT_TRUE(Contains(strErr, "Service start at")) << strErr;
    EXPECT_TRUE(Contains(strLog, "Running alone without dhcp")) << strLog;
    EXPECT_TRUE(Contains(strLog, "Info: Use ip address 198.18.0.1")) << strLog;
    EXPECT_TRUE(Contains(strLog, ") Service down at ")) << strLog;
    EXPECT_FALSE(Contains(strErr, "Service down")) << strErr;
    EXPECT_FALSE(Contains(strErr, "Enter CTRL+C")) << strErr;
    // The configuration's first line is the first line this run added.
    size_t nFirst = strLog.find('\n') + 1;
    EXPECT_LT(nFirst, strLog.size());
    EXPECT_NE(strLog.find("Running alone without dhcp", nFirst), std::string::npos);
    EXPECT_LT(strLog.find("Running alone without dhcp"), strLog.find("Start TFTP service"));
}

TEST_F(ServiceRun, MissingConfigurationFileEndsTheStartUp)
{
    unlink(layout.ConfigFile().c_str());
    std::string strOut;
    EXPECT_EQ(lab.Run(lab.ServerNs(), "exec " + layout.Program() + " -d 2>&1", &strOut, 30), kStatusMinusOne);
    EXPECT_TRUE(Contains(strOut, "Error: Catch config file exception:Invalid file name:" + layout.ConfigFile() +
                                     " in main thread at "))
        << strOut;
    EXPECT_FALSE(Contains(strOut, "Start TFTP service")) << strOut;
    EXPECT_FALSE(Contains(strOut, "Start Tarn PXE boot service")) << strOut;
    EXPECT_FALSE(Contains(strOut, "Service down")) << strOut;
}

TEST_F(ServiceRun, BadConfigurationsEndWithStatusMinusOneAndTheirLineReachesTheLogFile)
{
    struct TCase
    {
        std::string strConfig;
        std::string strLine;
    };
    const std::vector<TCase> vCases = {
        {"<PXEService><BootServer><MultiCast>224.0.1.2</MultiCast></BootServer></PXEService>",
         "Read TFTP setting error:  at "},
        {"<PXEService><TFTP><Root>/x</Root></TFTP></PXEService>", "Read TFTP setting error:  at "},
        {"<PXEService><TFTP><RootDirectory></RootDirectory></TFTP></PXEService>",
         "Error: Catch unknow exception in main thread at "},
        {"stray text", "Error: Catch config file exception:Identify error in main thread at "},
    };
    for (const auto& c : vCases)
    {
        layout.WriteConfig(c.strConfig);
        unlink(layout.LogFile().c_str());
        // Foreground: on standard error.
        std::string strOut;
        EXPECT_EQ(lab.Run(lab.ServerNs(), "exec " + layout.Program() + " -d 2>&1", &strOut, 30), kStatusMinusOne)
            << c.strConfig;
        EXPECT_TRUE(Contains(strOut, c.strLine)) << c.strConfig << "\n" << strOut;
        EXPECT_FALSE(Contains(strOut, "Start TFTP service")) << strOut;

        // As a service: the line is in the log file even though the process
        // ended without closing it.
        TNotifySocket notify(layout.Path("notify"));
        ASSERT_TRUE(notify.bOk);
        EXPECT_EQ(lab.Run(lab.ServerNs(), "NOTIFY_SOCKET=" + notify.strPath + " exec " + layout.Program(), &strOut,
                          30),
                  kStatusMinusOne);
        std::string strLog = ReadFile(layout.LogFile());
        EXPECT_TRUE(Contains(strLog, c.strLine)) << c.strConfig << "\n" << strLog << "\n" << strOut;
        EXPECT_FALSE(Contains(strLog, "Service down")) << strLog;
    }
}
