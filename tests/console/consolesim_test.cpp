#include "console/consolequery.h"

#include "common/testutil.h"
#include "config/settings.h"
#include "fakeconsole.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace
{

const char kPort[] = "40003";

size_t Count(const std::string& strText, const std::string& strPart)
{
    size_t n = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos; nPos = strText.find(strPart, nPos + 1))
        ++n;
    return n;
}

// The simulator in the lab's server namespace on 198.18.0.1, asked from the client namespace.
class ConsoleSim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ConsoleLab().Ok());
        ASSERT_EQ(access(BuiltProgram("consolesim").c_str(), X_OK), 0) << "build the consolesim target";
    }
    void TearDown() override
    {
        if (pid > 0)
            ConsoleLab().Stop(pid, SIGKILL);
    }

    void Start(const std::vector<std::string>& vExtra)
    {
        std::vector<std::string> vArgs = {BuiltProgram("consolesim"), "--port", kPort, "--bind", TNetLab::kServerIp,
                                          "--log", strLog};
        vArgs.insert(vArgs.end(), vExtra.begin(), vExtra.end());
        pid = ConsoleLab().Spawn(ConsoleLab().ServerNs(), vArgs, dir / "stdout");
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(strLog).find("listening on") != std::string::npos; }, 5000))
            << ReadFile(strLog) << ReadFile(dir / "stdout");
    }

    // Runs fn in the client namespace with the settings pointing at the simulator.
    void FromClient(const std::function<void()>& fn)
    {
        TNetLab::RunIn(ConsoleLab().ClientNs(), [&] {
            gSettings.strIpAddress = TNetLab::kServerIp;
            gSettings.strConsolePort = kPort;
            fn();
        });
    }

    TTempDir dir;
    std::string strLog = dir / "sim.log";
    pid_t pid = -1;
};

// Connects to the simulator (in the calling thread's namespace), sends strSend
// and returns everything received until the simulator closes (bounded).
std::string Exchange(const std::string& strSend, bool bHalfClose)
{
    int sc = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv = {3, 0};
    setsockopt(sc, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(kPort)));
    inet_pton(AF_INET, TNetLab::kServerIp, &addr.sin_addr);
    std::string strReply = "<no connection>";
    if (connect(sc, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
    {
        strReply.clear();
        send(sc, strSend.data(), strSend.size(), MSG_NOSIGNAL);
        if (bHalfClose)
            shutdown(sc, SHUT_WR);
        char szBuf[512];
        ssize_t n;
        while ((n = recv(sc, szBuf, sizeof(szBuf), 0)) > 0)
            strReply.append(szBuf, static_cast<size_t>(n));
    }
    close(sc);
    return strReply;
}

}  // namespace

TEST_F(ConsoleSim, AnswersFromTheMapReloadsAndStops)
{
    std::string strMap = dir / "map.txt";
    WriteFile(strMap,
              "# lab clients\n"
              "\n"
              "08:00:27:AA:BB:CC   dos\n"
              "08-00-27-aa-bb-cd Version:3.0\\r\\nTask:  Linux 2\\r\\n\n"
              "  08:00:27:aa:bb:ce @close\n");
    ASSERT_NO_FATAL_FAILURE(Start({"--map", strMap, "--default", "none"}));
    FromClient([] {
        std::string strTask;
        EXPECT_TRUE(QueryConsoleTask("08:00:27:aa:bb:cc", TNetLab::kClientIp, strTask));
        EXPECT_EQ(strTask, "dos");
        EXPECT_TRUE(QueryConsoleTask("08:00:27:aa:bb:cd", "", strTask));
        EXPECT_EQ(strTask, "Linux");
        TLogCapture log;
        strTask = "unchanged";
        EXPECT_FALSE(QueryConsoleTask("08:00:27:aa:bb:ce", "", strTask));
        EXPECT_EQ(strTask, "unchanged");
        EXPECT_NE(log.Find("Debug: console terminated"), 0u) << log.All();
        EXPECT_TRUE(QueryConsoleTask("52:54:00:00:00:01", "", strTask));
        EXPECT_EQ(strTask, "none");
        // The word is sent the way the map has it.
        EXPECT_EQ(Exchange("Address:08:00:27:aa:bb:cc\r\nIP:\r\n\r\n", false), "Task:dos\r\n\r\n");
    });
    std::string strText = ReadFile(strLog);
    EXPECT_NE(strText.find("consolesim: map " + strMap + ": 3 entries"), std::string::npos) << strText;
    EXPECT_NE(strText.find("received mac=08:00:27:aa:bb:cc ip=198.18.0.2 from=198.18.0.2:"), std::string::npos)
        << strText;
    EXPECT_NE(strText.find("received mac=08:00:27:aa:bb:cd ip= from="), std::string::npos) << strText;
    EXPECT_NE(strText.find("received mac=52:54:00:00:00:01 ip= from=198.18.0.2:"), std::string::npos) << strText;
    EXPECT_NE(strText.find(" reply=none"), std::string::npos) << strText;

    // A changed map takes effect on SIGHUP; a broken one keeps the old.
    WriteFile(strMap, "52:54:00:00:00:01 allnone\n");
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(strLog).find(": 1 entries") != std::string::npos; }, 5000));
    WriteFile(strMap, "52:54:00:00:00:0 dos\n");
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(strLog).find("map.txt:1: bad MAC") != std::string::npos; }, 5000))
        << ReadFile(strLog);
    FromClient([] {
        std::string strTask = "unchanged";
        EXPECT_FALSE(QueryConsoleTask("52:54:00:00:00:01", "", strTask));
        EXPECT_EQ(strTask, "");
        EXPECT_TRUE(QueryConsoleTask("08:00:27:aa:bb:cc", "", strTask));
        EXPECT_EQ(strTask, "none");
    });

    EXPECT_EQ(ConsoleLab().Stop(pid, SIGTERM), 0);
    pid = -1;
    EXPECT_NE(ReadFile(strLog).find("consolesim: stopped"), std::string::npos);
}

TEST_F(ConsoleSim, OddInputAndManyClientsAtOnce)
{
    std::string strMap = dir / "map.txt";
    WriteFile(strMap, "0a:00:00:00:00:01 dos\n0a:00:00:00:00:02 @silent\n");
    ASSERT_NO_FATAL_FAILURE(Start({"--map", strMap}));
    FromClient([] {
        // Closed without a word, garbage, an over-long request without its end,
        // a request cut short by the client: none of it stops the simulator.
        EXPECT_EQ(Exchange("", true), "");
        EXPECT_EQ(Exchange(std::string("\x01\xff\0\r\n\r\n", 7), false), "Task:allnone\r\n\r\n");
        EXPECT_EQ(Exchange(std::string(20000, 'A'), false), "Task:allnone\r\n\r\n");
        EXPECT_EQ(Exchange("Address:0a:00:00:00:00:01\r\nIP:", true), "Task:dos\r\n\r\n");
        EXPECT_EQ(Exchange("Address:0A-00-00-00-00-01\n\n", false), "Task:dos\r\n\r\n");

        // A silent client holds its connection; 64 others are answered meanwhile.
        std::string strSilentTask = "unchanged";
        std::thread thSilent([&] { QueryConsoleTask("0a:00:00:00:00:02", "", strSilentTask); });
        const int kClients = 64;
        std::atomic<int> nRight{0};
        std::vector<std::thread> vThreads;
        for (int i = 0; i < kClients; ++i)
            vThreads.emplace_back([&, i] {
                std::string strTask;
                bool bMapped = i % 2 == 0;
                bool bResult = QueryConsoleTask(bMapped ? "0a:00:00:00:00:01" : "0a:00:00:00:01:00", "", strTask);
                if (bMapped ? bResult && strTask == "dos" : !bResult && strTask.empty())
                    ++nRight;
            });
        for (std::thread& th : vThreads)
            th.join();
        thSilent.join();
        EXPECT_EQ(nRight, kClients);
        EXPECT_EQ(strSilentTask, "unchanged");
    });
    EXPECT_EQ(kill(pid, 0), 0);
    std::string strText = ReadFile(strLog);
    EXPECT_EQ(Count(strText, "received mac=0a:00:00:00:00:01 "), 32u + 2u);
    EXPECT_EQ(Count(strText, "received mac=0a:00:00:00:01:00 "), 32u);
    EXPECT_EQ(Count(strText, "reply=@silent"), 1u);
    // Bytes that could break the log line are written escaped.
    EXPECT_NE(strText.find("received mac= ip= from="), std::string::npos) << strText;
    EXPECT_EQ(ConsoleLab().Stop(pid, SIGINT), 0);
    pid = -1;
}

TEST(ConsoleSimCommandLine, BadArgumentsAndMapsAreRefused)
{
    TTempDir dir;
    std::string strSim = BuiltProgram("consolesim");
    ASSERT_EQ(access(strSim.c_str(), X_OK), 0);
    WriteFile(dir / "nomac.txt", "dos 08:00:27:aa:bb:cc\n");
    WriteFile(dir / "noreply.txt", "# ok\n08:00:27:aa:bb:cc\n");
    struct TCase
    {
        std::string strArgs;
        const char* szOutput;
    };
    const TCase aCases[] = {
        {"", "usage:"},
        {"--port 70000", "usage:"},
        {"--port 1 extra", "usage:"},
        {"--port 1 --default ''", "usage:"},
        {"--port 1 --bind 1.2.3", "bad bind address 1.2.3"},
        {"--port 1 --map " + dir / "missing.txt", "missing.txt: cannot open"},
        {"--port 1 --map " + dir / "nomac.txt", "nomac.txt:1: bad MAC address"},
        {"--port 1 --map " + dir / "noreply.txt", "noreply.txt:2: no reply after the MAC address"},
    };
    for (const TCase& c : aCases)
    {
        SCOPED_TRACE(c.strArgs);
        std::string strOutput;
        EXPECT_EQ(RunCommand(strSim + " " + c.strArgs, &strOutput, 10), 2);
        EXPECT_NE(strOutput.find(c.szOutput), std::string::npos) << strOutput;
    }
}
