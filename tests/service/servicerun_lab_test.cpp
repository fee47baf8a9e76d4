// Whole runs of pxeservice in a network namespace of the test's own, laid out
// as an install in a folder whose name has a dot: <dir>/pxe-1.0/bin/pxeservice
// with the example pxeservice.cfg beside it and the example Gateway.cfg ("any
// NIC") in <dir>/pxe-1.0.
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sstream>
#include <string>

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
        ASSERT_EQ(RunCommand("mkdir -p '" + strBin + "' && cp '" + BuiltProgram("pxeservice") +
                             "' '" PXE_SOURCE_DIR "/examples/pxeservice.cfg' '" + strBin +
                             "' && cp '" PXE_SOURCE_DIR "/examples/Gateway.cfg' '" + strBin +
                             "/..'"),
                  0);
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
    // A service run (the service manager's socket in its environment) that has said it starts.
    pid_t StartService()
    {
        const pid_t pid =
            lab.Spawn(lab.ServerNs(), {"env", "NOTIFY_SOCKET=" + strNotify, strProgram}, strOut);
        EXPECT_EQ(NextNotify(10000), pid > 0 ? "STATUS=Starting" : "");
        return pid;
    }
    // A foreground run to its end: its exit status, standard output and error in strErr.
    int RunForeground(std::string& strErr)
    {
        return lab.Run(lab.ServerNs(), "exec '" + strProgram + "' -d 2>&1", &strErr, 30);
    }
    // Both service threads are up: their start lines are in the file.
    static bool Serving(const std::string& strFile)
    {
        const std::string s = ReadFile(strFile);
        return CountOf(s, "Start TFTP service at") && CountOf(s, "Start Tarn PXE boot service at");
    }

    TNetLab lab;
    TTempDir dir;
    int fdNotify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const std::string strBin = dir / "pxe-1.0/bin", strProgram = strBin + "/pxeservice",
                      strLog = strProgram + ".log", strOut = dir / "out",
                      strNotify = dir / "notify";
};
}  // namespace

// (A stop that waits for the transfers still running: the TFTP server's lab.)
TEST_F(ServiceRun, ForegroundRunStopsOnASignalAndLeavesTheLogFileEmpty)
{
    // Beside a DHCP server, at an address no interface carries: port 67 stays free, and the
    // sockets stay on the wildcard address.
    WriteFile(strProgram + ".cfg",
              "<P><TFTP><RootDirectory>" + dir.Path() +
                  "</RootDirectory>"
                  "</TFTP><BootServer><RunWithDhcp>yes</RunWithDhcp></BootServer></P>");
    WriteFile(dir / "pxe-1.0/Gateway.cfg", "<G><NIC>198.18.0.77</NIC></G>");
    // A service manager's socket in the environment is not used by a console run.
    const pid_t pid =
        lab.Spawn(lab.ServerNs(), {"env", "NOTIFY_SOCKET=" + strNotify, strProgram, "-d"}, strOut);
    ASSERT_TRUE(pid > 0 && WaitUntil([&] { return Serving(strOut); }, 15000)) << ReadFile(strOut);
    const std::string strUdp = ReadFile("/proc/" + std::to_string(pid) + "/net/udp");
    EXPECT_TRUE(InOrder(strUdp, {":0FAB "}) && !InOrder(strUdp, {":0043 "})) << strUdp;
    EXPECT_EQ(lab.Stop(pid, SIGHUP, 1000), 0);  // in the foreground a hang-up stops the run
    // The lines of the configuration and of the service threads are on standard error too, with
    // the warning of the address that no interface has; "Service down" once.
    const std::string s = ReadFile(strOut);
    EXPECT_TRUE(
        InOrder(s, {") Service start at ", "Running with dhcp", "Use ip address 198.18.0.77",
                    ") Check: " + dir.Path() +
                        "/pxe-1.0/Gateway.cfg:1:4: <NIC> "
                        "198.18.0.77 is on no interface of this machine",
                    "Start TFTP service", "\nEnter CTRL+C, exiting...\n", ") Service down at "}) &&
        !InOrder(s, {"error:"}) && CountOf(s, ") Service down at ") == 1)
        << s;
    EXPECT_TRUE(access(strLog.c_str(), F_OK) == 0 && ReadFile(strLog).empty());
    EXPECT_EQ(NextNotify(100), "");
}

TEST_F(ServiceRun, AStopWhileTheConfigurationIsReadIsKeptAndNoReadyFollows)
{
    // Gateway.cfg is a FIFO: the configuration is read only once the test writes it.
    const std::string strGateway = dir / "pxe-1.0/Gateway.cfg";
    ASSERT_TRUE(unlink(strGateway.c_str()) == 0 && mkfifo(strGateway.c_str(), 0644) == 0);
    const pid_t pid = StartService();
    ASSERT_GT(pid, 0);
    kill(pid, SIGTERM);
    EXPECT_EQ(NextNotify(5000), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(RunCommand("echo '<G><NIC>198.18.0.1</NIC></G>' >'" + strGateway + "'", nullptr, 10),
              0);
    // The service threads start, see the stop and end; the run ends well.
    EXPECT_EQ(lab.Stop(pid, 0, 5000), 0) << ReadFile(strOut);
    EXPECT_EQ(NextNotify(1000), "STATUS=Stopped with exit code 0");
    EXPECT_TRUE(InOrder(ReadFile(strLog), {"Use ip address 198.18.0.1", ") Service down at "}))
        << ReadFile(strLog);
}

TEST_F(ServiceRun, FatalStartUpErrorsEndWithStatusMinusOneTheirLineAndNoReady)
{
    // Port 69 held by another program of the namespace: the holder is this test (its name as
    // /proc gives it, cut to 15 characters).
    int scTaken = -1;
    const sockaddr_in saTaken{AF_INET, htons(69), {}, {}};
    TNetLab::RunIn(lab.ServerNs(), [&] {
        scTaken = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(scTaken, (const sockaddr*)&saTaken, sizeof(saTaken)), 0);
    });
    const std::string strLine = "error: tftp bind port:69 at ";
    // In the foreground the line goes to standard error; in a service run into the log file,
    // although the process ends without closing it, and to the service manager as the status,
    // never after READY=1.
    std::string strErr, strIgnored;
    EXPECT_EQ(RunForeground(strErr), 255);
    EXPECT_EQ(lab.Run(lab.ServerNs(), "NOTIFY_SOCKET=" + strNotify + " exec " + strProgram,
                      &strIgnored, 30),
              255);
    const std::string strReason =
        "Reason: address already in use: UDP port 69 is held by test_service_la (pid " +
        std::to_string(getpid()) + ")";
    for (const std::string& s : {strErr, ReadFile(strLog)})
        EXPECT_TRUE(InOrder(s, {strLine, strReason}) && !InOrder(s, {"Start TFTP service"}) &&
                    !InOrder(s, {"Service down"}))
            << s;
    // The status carries the reason too.
    EXPECT_EQ(NextNotify(1000), "STATUS=Starting");
    const std::string strStatus = NextNotify(1000);
    EXPECT_TRUE(strStatus.rfind("STATUS=" + strLine, 0) == 0 &&
                InOrder(strStatus, {" - " + strReason.substr(8)}))
        << strStatus;
    EXPECT_EQ(NextNotify(100), "");
    close(scTaken);
    // A user to run as that does not exist: the start-up ends once the ports are bound.
    const std::string strConfig = strProgram + ".cfg";
    WriteFile(strConfig, "<P><TFTP><RootDirectory>/t/</RootDirectory></TFTP><Service>"
                         "<User>pxe-no-such-user</User></Service></P>");
    EXPECT_EQ(RunForeground(strErr), 255);
    const std::string strUser = "error: can not run as user pxe-no-such-user: no such user at ";
    EXPECT_TRUE(InOrder(strErr, {"Start TFTP service", strUser}) &&
                InOrder(strErr, {"Start Tarn PXE boot service", strUser}) &&
                !InOrder(strErr, {"Service down"}))
        << strErr;
    // A fault of the configuration, with its reason after its line.
    unlink(strConfig.c_str());
    EXPECT_EQ(RunForeground(strErr), 255);
    EXPECT_TRUE(
        InOrder(strErr, {"Error: Catch config file exception:Invalid file name:" + strConfig +
                             " in main thread at ",
                         ") Reason: " + strConfig +
                             ": the file cannot be opened: No such file or directory at "}) &&
        !InOrder(strErr, {"Start TFTP service"}))
        << strErr;
}

TEST_F(ServiceRun, SighupInAServiceRunReopensTheLogAndTheRecordsByTheirNamesAndTheServiceGoesOn)
{
    const std::string strRecords = dir / "records.json";
    WriteFile(strProgram + ".cfg", "<P><TFTP><RootDirectory>" + dir.Path() +
                                       "</RootDirectory></TFTP><Log><Records>" + strRecords +
                                       "</Records></Log></P>");
    WriteFile(strLog, "a run before\n");  // kept: the file is appended to
    const pid_t pid = StartService();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(NextNotify(10000),
              "READY=1\nSTATUS=Running on every interface (198.18.0.1), UDP ports 67, 4011 and 69");
    // Ready only once the three ports are bound.
    const std::string strUdp = ReadFile("/proc/" + std::to_string(pid) + "/net/udp");
    EXPECT_TRUE(CountOf(strUdp, ":0043 ") && CountOf(strUdp, ":0FAB ") && CountOf(strUdp, ":0045 "))
        << strUdp;
    ASSERT_TRUE(WaitUntil([&] { return Serving(strLog); }, 15000)) << ReadFile(strOut);
    // The configuration is read before the service threads start; "Service start" stays on
    // standard error, being written before the file is taken.
    EXPECT_TRUE(InOrder(ReadFile(strLog), {"a run before\n", "Running alone without dhcp",
                                           "Info: Use ip address 198.18.0.1", "Start TFTP"}) &&
                !InOrder(ReadFile(strLog), {"Service start"}))
        << ReadFile(strLog);
    // A datagram without a message type: dropped, one record each.
    int sc = -1;
    TNetLab::RunIn(lab.ClientNs(), [&] { sc = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    const sockaddr_in saBinl{AF_INET, htons(4011), {inet_addr(TNetLab::kServerIp)}, {}};
    auto Drop = [&] {
        const char aZero[300] = {};
        sendto(sc, aZero, sizeof(aZero), 0, (const sockaddr*)&saBinl, sizeof(saBinl));
        return WaitUntil(
            [&] { return CountOf(ReadFile(strRecords), "\"reason\":\"no message type\""); }, 5000);
    };
    EXPECT_TRUE(Drop());
    // SIGHUP takes the files now under the names, and what follows goes there; the files
    // renamed away keep what they had.
    ASSERT_EQ(rename(strLog.c_str(), (strLog + ".1").c_str()), 0);
    ASSERT_EQ(rename(strRecords.c_str(), (strRecords + ".1").c_str()), 0);
    kill(pid, SIGHUP);
    EXPECT_TRUE(
        WaitUntil([&] { return CountOf(ReadFile(strLog), ") Log file reopened at "); }, 5000))
        << ReadFile(strOut);
    EXPECT_TRUE(Drop());
    close(sc);
    EXPECT_EQ(NextNotify(300), "");              // no stop
    EXPECT_EQ(lab.Stop(pid, SIGTERM, 1000), 0);  // the stop control, obeyed within 1 s
    EXPECT_EQ(NextNotify(1000), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(NextNotify(1000), "STATUS=Stopped with exit code 0");
    const std::string strFirst = ReadFile(strLog + ".1"), strLast = ReadFile(strLog);
    EXPECT_TRUE(Serving(strLog + ".1") && !InOrder(strFirst, {"Log file reopened"}) &&
                !InOrder(strFirst, {"Service down"}) &&
                !InOrder(ReadFile(strOut), {"Service down"}))
        << strFirst;
    EXPECT_TRUE(InOrder(strLast, {") Log file reopened at ", ") Service down at "}) &&
                !InOrder(strLast, {"Start TFTP"}))
        << strLast;
    for (const std::string& strFile : {strRecords + ".1", strRecords})
        EXPECT_EQ(CountOf(ReadFile(strFile), "{\"time\":\""), 1) << strFile;
}

// With HTTP/Port the service serves its root over HTTP too: ready only once that port is bound
// as well, serving as the service's user (Service/User: every thread runs as nobody once the
// ports are bound, before ready; the log file opened before stays written), stopped within a
// second, each request logged. (The port is the namespace's own: nothing else can hold it.)
TEST_F(ServiceRun, HttpServerRunsBesideTheOthersWhenItsPortIsSet)
{
    WriteFile(strProgram + ".cfg", "<P><TFTP><RootDirectory>" + dir.Path() +
                                       "</RootDirectory></TFTP><HTTP><Port>8080</Port></HTTP>"
                                       "<Service><User>nobody</User></Service></P>");
    WriteFile(dir / "boot.efi", "MZ" + std::string(5000, 'e'));
    WriteFile(dir / "secret.img", "secret");
    ASSERT_EQ(chmod((dir / "secret.img").c_str(), 0600), 0);
    ASSERT_TRUE(chmod(dir.Path().c_str(), 0755) == 0 && chmod(strNotify.c_str(), 0777) == 0);
    const pid_t pid = StartService();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(NextNotify(10000), "READY=1\nSTATUS=Running on every interface (198.18.0.1), UDP "
                                 "ports 67, 4011 and 69, TCP port 8080");
    // Every thread, the ones started as root included.
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    std::string strTasks;
    RunCommand("grep -h '^Uid:' /proc/" + std::to_string(pid) + "/task/*/status", &strTasks, 10);
    const std::string strUid = std::to_string(pw->pw_uid);
    EXPECT_TRUE(CountOf(strTasks, "Uid:") >= 2 &&
                CountOf(strTasks, "Uid:") ==
                    CountOf(strTasks, "Uid:\t" + strUid + "\t" + strUid + "\t" + strUid + "\t" +
                                          strUid + "\n"))
        << strTasks;
    // Served as nobody: a file only root may read is refused.
    std::string strCurl;
    const std::string strUrl = " http://198.18.0.1:8080/";
    EXPECT_EQ(lab.Run(lab.ClientNs(),
                      "curl -sS -o '" + dir.Path() + "/got' -w '%{http_code} " +
                          "%{content_type} ' " + strUrl + "boot.efi && curl -sS " +
                          "-o /dev/null -w '%{http_code}'" + strUrl + "secret.img",
                      &strCurl, 30),
              0)
        << strCurl;
    EXPECT_EQ(strCurl, "200 application/efi 403");
    EXPECT_EQ(ReadFile(dir / "got"), ReadFile(dir / "boot.efi"));
    EXPECT_EQ(lab.Stop(pid, SIGTERM, 1000), 0);
    const std::string strFile = ReadFile(strLog);
    EXPECT_TRUE(InOrder(
        strFile, {"HTTP server on TCP port 8080, up to 256 connections", "Running as user nobody",
                  "Start HTTP service on TCP port 8080 at ",
                  "http: 198.18.0.2 GET \"/boot.efi\" 200 5002 bytes ", ") Service down at "}))
        << strFile;
}
