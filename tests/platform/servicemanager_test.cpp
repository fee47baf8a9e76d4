#include "platform/servicemanager.h"
#include "common/notifysocket.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Unit text

TEST(UnitText, NewUnitIsANotifyServiceOfTheProgram)
{
    std::string strUnit = MakeUnitText("Quillon Management PXE Service", "/opt/pxeservice/bin/pxeservice");
    EXPECT_NE(strUnit.find("[Unit]\nDescription=Quillon Management PXE Service\n"), std::string::npos) << strUnit;
    EXPECT_NE(strUnit.find("\n[Service]\nType=notify\nExecStart=/opt/pxeservice/bin/pxeservice\n"), std::string::npos)
        << strUnit;
    EXPECT_NE(strUnit.find("\n[Install]\nWantedBy=multi-user.target\n"), std::string::npos) << strUnit;
    EXPECT_TRUE(UnitDependencies(strUnit).empty());
}

TEST(UnitText, ExecPathsWithSpecialCharactersStayOneWord)
{
    EXPECT_EQ(QuoteExecPath("/opt/pxe/bin/pxeservice"), "/opt/pxe/bin/pxeservice");
    EXPECT_EQ(QuoteExecPath("/opt/100%/pxe"), "/opt/100%%/pxe");
    EXPECT_EQ(QuoteExecPath("/opt/my pxe/pxe"), "\"/opt/my pxe/pxe\"");
    EXPECT_EQ(QuoteExecPath("/opt/a\"b\\c"), "\"/opt/a\\\"b\\\\c\"");
    EXPECT_EQ(QuoteExecPath("/opt/x;y"), "\"/opt/x;y\"");
    // "%" in the description is a literal too.
    EXPECT_NE(MakeUnitText("100% PXE", "/p").find("Description=100%% PXE\n"), std::string::npos);
}

TEST(UnitText, DependenciesComeFromTheUnitSectionOnly)
{
    std::string strUnit =
        "# Requires=commented.service\n"
        "[Unit]\n"
        "Description=x\n"
        "Requires = a.service  b.service\n"
        "After=\n"
        "Wants=c.service\n"
        "; After=also-commented.service\n"
        "Before=d.service\n"
        "[Service]\n"
        "After=not-a-unit-key.service\n"
        "ExecStart=/p\n";
    std::vector<std::string> vDeps = UnitDependencies(strUnit);
    EXPECT_EQ(vDeps, (std::vector<std::string>{"a.service", "b.service", "c.service"}));
    // Empty values are no dependency.
    EXPECT_TRUE(UnitDependencies("[Unit]\nRequires=\nAfter=  \n").empty());
    EXPECT_EQ(UnitDependencies("[Unit]\nBindsTo=x.service\n"), (std::vector<std::string>{"x.service"}));
}

TEST(UnitText, KeysGoAtTheEndOfTheirSection)
{
    std::string strUnit = MakeUnitText("D", "/p");
    std::string strAdded = UnitAddKey(UnitAddKey(strUnit, "Unit", "Requires", "g.service"), "Unit", "After", "g.service");
    EXPECT_NE(strAdded.find("[Unit]\nDescription=D\nRequires=g.service\nAfter=g.service\n\n[Service]\n"),
              std::string::npos)
        << strAdded;
    EXPECT_EQ(UnitDependencies(strAdded), (std::vector<std::string>{"g.service", "g.service"}));

    // A missing section is appended after a blank line.
    EXPECT_EQ(UnitAddKey("[Service]\nType=notify\n", "Unit", "After", "g.service"),
              "[Service]\nType=notify\n\n[Unit]\nAfter=g.service\n");
    // Set replaces the first occurrence and only in its own section.
    std::string strSet = UnitSetKey("[Unit]\nX-Description=old\n[Service]\nX-Description=keep\n", "Unit",
                                    "X-Description", "new 5%");
    EXPECT_EQ(strSet, "[Unit]\nX-Description=new 5%%\n[Service]\nX-Description=keep\n");
    EXPECT_EQ(UnitSetKey("[Unit]\nDescription=D\n", "Unit", "X-Description", "t"),
              "[Unit]\nDescription=D\nX-Description=t\n");
}

// ---------------------------------------------------------------------------
// Unit files and systemctl, against a temporary folder and a stand-in systemctl

class ServiceManagerFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        strFolder = dir / "lib/systemd/system";  // not there yet: insert makes it
        strCalls = dir / "calls";
        strStatus = dir / "status";
        strStub = dir / "systemctl";
        WriteFile(strStub, "#!/bin/sh\n"
                           "echo \"$*\" >> '" + strCalls + "'\n"
                           "exit $(cat '" + strStatus + "' 2>/dev/null || echo 0)\n");
        chmod(strStub.c_str(), 0755);
        svc.name("QvnPXE", "Quillon Management PXE Service");
        svc.UnitFolder(strFolder);
        svc.SystemctlProgram(strStub);
    }

    std::string Calls()
    {
        std::string s = ReadFile(strCalls);
        unlink(strCalls.c_str());
        return s;
    }
    void StubExits(int iStatus) { WriteFile(strStatus, std::to_string(iStatus)); }

    TTempDir dir;
    std::string strFolder, strCalls, strStatus, strStub;
    TServiceManager svc;
};

TEST_F(ServiceManagerFiles, InsertWritesTheUnitOnceAndReloads)
{
    EXPECT_EQ(svc.UnitPath(), strFolder + "/QvnPXE.service");
    ASSERT_EQ(svc.insert("/opt/pxeservice/bin/pxeservice"), 0);
    std::string strUnit = ReadFile(svc.UnitPath());
    EXPECT_EQ(strUnit, MakeUnitText("Quillon Management PXE Service", "/opt/pxeservice/bin/pxeservice"));
    EXPECT_EQ(Calls(), "daemon-reload\n");
    struct stat st;
    ASSERT_EQ(stat(svc.UnitPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // An existing unit is left as it is.
    EXPECT_EQ(svc.insert("/somewhere/else"), -1);
    EXPECT_EQ(ReadFile(svc.UnitPath()), strUnit);
    EXPECT_EQ(Calls(), "");

    // Without a path the unit names this very program.
    TServiceManager other;
    other.name("Other", nullptr);
    other.UnitFolder(strFolder);
    other.SystemctlProgram(strStub);
    ASSERT_EQ(other.insert(), 0);
    char szExe[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", szExe, sizeof(szExe) - 1), 0);
    EXPECT_NE(ReadFile(strFolder + "/Other.service").find("ExecStart=" + QuoteExecPath(szExe) + "\n"),
              std::string::npos);
    // The display name defaults to the service name.
    EXPECT_NE(ReadFile(strFolder + "/Other.service").find("Description=Other\n"), std::string::npos);
}

TEST_F(ServiceManagerFiles, InsertFailsWhenTheReloadOrTheFolderFails)
{
    StubExits(1);
    EXPECT_EQ(svc.insert("/p"), -1);
    EXPECT_EQ(Calls(), "daemon-reload\n");

    // A file where the folder should be.
    TTempDir other;
    WriteFile(other / "unit", "");
    svc.UnitFolder(other / "unit");
    EXPECT_EQ(svc.insert("/p"), -1);
    svc.UnitFolder(strFolder);
    // No systemctl at all.
    svc.SystemctlProgram(dir / "no-such-systemctl");
    EXPECT_EQ(svc.start_svc(), -1);
}

TEST_F(ServiceManagerFiles, DependencyAndDescriptionAreKeptInTheUnit)
{
    std::vector<std::string> vDeps{"stale"};
    EXPECT_EQ(svc.QueryDependencies(vDeps), -1);  // no unit yet
    EXPECT_EQ(svc.AddDependency("QvnGateway"), -1);
    EXPECT_EQ(svc.SetDescription("Quillon - PXE Service"), -1);

    ASSERT_EQ(svc.insert("/p"), 0);
    ASSERT_EQ(svc.QueryDependencies(vDeps), 0);
    EXPECT_TRUE(vDeps.empty());
    ASSERT_EQ(svc.AddDependency("QvnGateway"), 0);
    ASSERT_EQ(svc.SetDescription("Quillon - PXE Service"), 0);
    ASSERT_EQ(svc.SetDescription("Quillon - PXE Service"), 0);  // replaced, not repeated
    std::string strUnit = ReadFile(svc.UnitPath());
    EXPECT_NE(strUnit.find("Requires=QvnGateway.service\nAfter=QvnGateway.service\n"), std::string::npos) << strUnit;
    EXPECT_EQ(strUnit.find("X-Description=Quillon - PXE Service"),
              strUnit.rfind("X-Description=Quillon - PXE Service"));
    ASSERT_EQ(svc.QueryDependencies(vDeps), 0);
    EXPECT_EQ(vDeps, (std::vector<std::string>{"QvnGateway.service", "QvnGateway.service"}));
    // Nothing is left beside the unit.
    std::string strList;
    RunCommand("ls -A '" + strFolder + "'", &strList);
    EXPECT_EQ(strList, "QvnPXE.service\n");
}

TEST_F(ServiceManagerFiles, RemoveDisablesDeletesAndReloads)
{
    EXPECT_EQ(svc.remove(), -1);
    EXPECT_EQ(Calls(), "");
    ASSERT_EQ(svc.insert("/p"), 0);
    Calls();
    EXPECT_EQ(svc.remove(), 0);
    EXPECT_EQ(Calls(), "disable QvnPXE.service\ndaemon-reload\n");
    EXPECT_NE(access(svc.UnitPath().c_str(), F_OK), 0);
    // A failed disable (for example of a masked unit) does not keep the unit.
    ASSERT_EQ(svc.insert("/p"), 0);
    StubExits(1);
    EXPECT_EQ(svc.remove(), -1);  // the reload failed
    EXPECT_NE(access(svc.UnitPath().c_str(), F_OK), 0);
}

TEST_F(ServiceManagerFiles, StartStopAndStartTypesRunSystemctl)
{
    EXPECT_EQ(svc.start_svc(), 0);
    EXPECT_EQ(svc.stop_svc(), 0);
    EXPECT_EQ(Calls(), "start QvnPXE.service\nstop QvnPXE.service\n");

    EXPECT_EQ(svc.startup(SERVICE_AUTO_START), 0);
    EXPECT_EQ(Calls(), "unmask QvnPXE.service\nenable QvnPXE.service\n");
    EXPECT_EQ(svc.startup(SERVICE_DEMAND_START), 0);
    EXPECT_EQ(Calls(), "unmask QvnPXE.service\ndisable QvnPXE.service\n");
    EXPECT_EQ(svc.startup(SERVICE_DISABLED), 0);
    EXPECT_EQ(Calls(), "mask QvnPXE.service\n");
    for (unsigned long n : {0ul, 1ul, 5ul, 100ul})
        EXPECT_EQ(svc.startup(n), -1) << n;
    EXPECT_EQ(Calls(), "");

    StubExits(3);
    EXPECT_EQ(svc.start_svc(), -1);
    EXPECT_EQ(svc.stop_svc(), -1);
    EXPECT_EQ(svc.startup(SERVICE_AUTO_START), -1);
    // A failed unmask stops there.
    EXPECT_EQ(Calls(), "start QvnPXE.service\nstop QvnPXE.service\nunmask QvnPXE.service\n");
}

// ---------------------------------------------------------------------------
// Reports to the service manager, through a real NOTIFY_SOCKET

// A service that stops itself, the way a stop control would.
class TSelfStoppingService : public TServiceManager
{
public:
    int svc() override
    {
        ++nSvcCalls;
        bConnectedInSvc = Connected();
        iRunning = report_status(SERVICE_RUNNING);
        handle_control(SERVICE_CONTROL_STOP);
        handle_control(SERVICE_CONTROL_SHUTDOWN);
        handle_control(4);  // an interrogation: nothing to report
        return 7;
    }
    int nSvcCalls = 0;
    bool bConnectedInSvc = false;
    int iRunning = -2;
};

TEST(ServiceReports, NothingIsReportedWithoutAServiceManager)
{
    TTempDir dir;
    TNotifySocket listener(dir / "notify");
    ASSERT_TRUE(listener.bOk);
    setenv("NOTIFY_SOCKET", listener.strPath.c_str(), 1);
    TServiceManager svc;
    // Not started through the dispatcher: a console run reports nothing.
    EXPECT_EQ(svc.report_status(SERVICE_RUNNING), -1);
    EXPECT_EQ(svc.open(), 0);
    EXPECT_TRUE(listener.Drain(100).empty());

    unsetenv("NOTIFY_SOCKET");
    TSelfStoppingService selfStopping;
    errno = 0;
    EXPECT_EQ(selfStopping.StartDispatcher(), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(selfStopping.nSvcCalls, 0);
    setenv("NOTIFY_SOCKET", "", 1);
    EXPECT_EQ(selfStopping.StartDispatcher(), -1);
    EXPECT_EQ(selfStopping.nSvcCalls, 0);
    unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceReports, ServiceRunReportsEachStateInOrder)
{
    TTempDir dir;
    TNotifySocket listener(dir / "notify");
    ASSERT_TRUE(listener.bOk);
    setenv("NOTIFY_SOCKET", listener.strPath.c_str(), 1);
    TSelfStoppingService svc;
    EXPECT_EQ(svc.StartDispatcher(), 0);
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(svc.nSvcCalls, 1);
    EXPECT_TRUE(svc.bConnectedInSvc);
    EXPECT_EQ(svc.iRunning, 0);
    EXPECT_FALSE(svc.Connected());
    std::vector<std::string> vMessages = listener.Drain();
    EXPECT_EQ(vMessages, (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running",
                                                    "STOPPING=1\nSTATUS=Stopping", "STOPPING=1\nSTATUS=Stopping",
                                                    "STATUS=Stopped with exit code 7"}));
    // Once the run is over the connection is gone.
    EXPECT_EQ(svc.report_status(SERVICE_RUNNING), -1);
}
