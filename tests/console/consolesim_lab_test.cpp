#include "console/consolequery.h"

#include "common/testutil.h"
#include "config/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// The simulator on 198.18.0.1:40003 in a lab, asked from the client side.
TEST(ConsoleSim, MapLookupManyClientsAndStop)
{
    TNetLab lab;
    TTempDir dir;
    ASSERT_TRUE(lab.Ok());
    auto Logged = [&](const std::string& str) {
        return ReadFile(dir / "sim.log").find(str) != std::string::npos;
    };
    // A map that is not one keeps it from starting.
    WriteFile(dir / "bad.txt", "dos 08:00:27:aa:bb:cc\n");
    std::string strOutput, strSim = BuiltProgram("consolesim");
    EXPECT_EQ(
        lab.Run(lab.ServerNs(), strSim + " --port 1 --map " + dir / "bad.txt", &strOutput, 10), 2);
    EXPECT_NE(strOutput.find("bad.txt:1: bad MAC address"), std::string::npos) << strOutput;
    WriteFile(
        dir / "map.txt",
        "# lab clients\n\n08:00:27:AA:BB:CC   dos\n"
        "08-00-27-aa-bb-cd Version:3.0\\r\\nTask:  Linux 2\\r\\n\n0a:00:00:00:00:02 @silent\n");
    pid_t pid = lab.Spawn(lab.ServerNs(),
                          {strSim, "--port", "40003", "--bind", TNetLab::kServerIp, "--map",
                           dir / "map.txt", "--default", "none", "--log", dir / "sim.log"},
                          dir / "stdout");
    ASSERT_TRUE(WaitUntil([&] { return Logged("listening on"); }, 5000))
        << ReadFile(dir / "stdout");
    TNetLab::RunIn(lab.ClientNs(), [&] {
        gSettings.strIpAddress = TNetLab::kServerIp;
        gSettings.strConsolePort = "40003";
        // A client that holds its connection; 63 others are answered meanwhile.
        std::string strSilentTask = "unchanged";
        std::thread thSilent([&] { QueryConsoleTask("0a:00:00:00:00:02", "", strSilentTask); });
        EXPECT_TRUE(WaitUntil([&] { return Logged("reply=@silent"); }, 3000));
        const std::pair<const char*, std::string> aClients[] = {{"08:00:27:aa:bb:cc", "dos"},
                                                                {"08:00:27:aa:bb:cd", "Linux"},
                                                                {"52:54:00:00:00:01", "none"}};
        std::atomic<int> nRight{0};
        std::vector<std::thread> vThreads;
        for (int i = 0; i < 63; ++i)
            vThreads.emplace_back([&, i] {
                std::string strTask;
                nRight += QueryConsoleTask(aClients[i % 3].first, TNetLab::kClientIp, strTask) &&
                          strTask == aClients[i % 3].second;
            });
        for (std::thread& th : vThreads)
            th.join();
        thSilent.join();
        EXPECT_EQ(nRight, 63);
        EXPECT_EQ(strSilentTask, "unchanged");
    });
    std::string strLog = ReadFile(dir / "sim.log");
    EXPECT_NE(strLog.find("received mac=52:54:00:00:00:01 ip=198.18.0.2 from=198.18.0.2:"),
              std::string::npos)
        << strLog;
    size_t nDefault = 0;  // every query is logged
    for (size_t nPos = 0; (nPos = strLog.find(" reply=none\n", nPos + 1)) != std::string::npos;)
        ++nDefault;
    EXPECT_EQ(nDefault, 21u);
    EXPECT_EQ(lab.Stop(pid), 0);  // SIGTERM
    EXPECT_TRUE(Logged("consolesim: stopped"));
}
