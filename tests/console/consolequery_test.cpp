#include "console/consolequery.h"

#include "common/testutil.h"
#include "config/settings.h"
#include "fakeconsole.h"

#include <gtest/gtest.h>

#include <chrono>

namespace
{

const char kMac[] = "08:00:27:1a:2b:3c";

struct TOutcome
{
    bool bResult;
    std::string strTask;
};

// Asks the fake console once, inside the lab, with task preset to "unchanged".
TOutcome Ask(TFakeConsole& console, const std::string& strIp = "")
{
    console.UseInSettings();
    TOutcome outcome{false, "unchanged"};
    outcome.bResult = QueryConsoleTask(kMac, strIp, outcome.strTask);
    return outcome;
}

class ConsoleQuery : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(ConsoleLab().Ok()); }
    // Runs fn inside the lab's server namespace.
    void InLab(const std::function<void()>& fn) { TNetLab::RunIn(ConsoleLab().ServerNs(), fn); }
};

}  // namespace

TEST_F(ConsoleQuery, RequestBytesWithAndWithoutClientAddress)
{
    InLab([] {
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        console.SetScript(TFakeConsole::Reply, {"Task:dos\r\n"});
        EXPECT_TRUE(Ask(console).bResult);
        EXPECT_TRUE(Ask(console, "198.18.0.2").bResult);
        std::vector<std::string> vRequests = console.Requests();
        ASSERT_EQ(vRequests.size(), 2u);
        EXPECT_EQ(vRequests[0],
                  "Length:0\r\nCompress:no\r\nVersion:3.0\r\nTaskID:0\r\nTaskType:PXEServerQuery\r\n"
                  "Address:08:00:27:1a:2b:3c\r\nIP:\r\n\r\n");
        EXPECT_EQ(vRequests[0].size(), 105u);
        EXPECT_EQ(vRequests[1],
                  "Length:0\r\nCompress:no\r\nVersion:3.0\r\nTaskID:0\r\nTaskType:PXEServerQuery\r\n"
                  "Address:08:00:27:1a:2b:3c\r\nIP:198.18.0.2\r\n\r\n");
    });
}

TEST_F(ConsoleQuery, TaskWordsFromOneReply)
{
    struct TCase
    {
        std::string strReply;
        bool bResult;
        std::string strTask;    // "unchanged" when the call must not touch it
        const char* szLogLine;  // a line the call must log
    };
    const TCase aCases[] = {
        {"Task:dos\r\n", true, "dos", "Info: Returning true (1) \n"},
        {"Task: Linux 2\r\n", true, "Linux", "Info: Returning true (1) \n"},
        {"Task:\t\r\n\v\f none", true, "none", "Info: Returning true (1) \n"},
        // Anywhere in the reply; only the first tag counts.
        {"Length:0\r\nVersion:3.0\r\nTask:dos\r\nTask:Linux\r\n", true, "dos", "Debug: recv from console Length:0"},
        {"task:dos\r\n", false, "unchanged", "Debug: can not find tag \"Task:\"\n"},
        {"Task:ALLNONE\r\n", false, "", "Info: Returning false (0) \n"},
        {"Task:allNoneOfThese\r\n", false, "", "Info: Returning false (0) \n"},
        {"Task:allnon\r\n", true, "allnon", "Info: Returning true (1) \n"},
        {"Task:   \r\n\r\n", false, "unchanged", "Debug: can not task type \n"},
        {"Status:ok\r\nTask:", false, "unchanged", "Debug: can not task type \n"},
        // A zero byte ends the text.
        {std::string("Task:do\0s\r\n", 11), true, "do", "Info: Returning true (1) \n"},
        {std::string("\0Task:dos\r\n", 11), false, "unchanged", "Debug: can not find tag"},
    };
    InLab([&] {
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        for (const TCase& c : aCases)
        {
            SCOPED_TRACE(c.strReply);
            console.SetScript(TFakeConsole::Reply, {c.strReply});
            TLogCapture log;
            TOutcome outcome = Ask(console);
            EXPECT_EQ(outcome.bResult, c.bResult);
            EXPECT_EQ(outcome.strTask, c.strTask);
            EXPECT_EQ(log.Find(c.szLogLine), static_cast<unsigned long>(LM_DEBUG)) << log.All();
            EXPECT_EQ(log.Find("Info: Asking server for PXE tasks for 08:00:27:1a:2b:3c...\n"),
                      static_cast<unsigned long>(LM_DEBUG));
        }
    });
}

TEST_F(ConsoleQuery, OneReceiveOfAtMost254UsableBytes)
{
    InLab([] {
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        // 255 bytes: the last one is dropped before the reply is read.
        std::string str255 = std::string(245, 'x') + "\nTask:dosX";
        ASSERT_EQ(str255.size(), 255u);
        console.SetScript(TFakeConsole::Reply, {str255});
        EXPECT_EQ(Ask(console).strTask, "dos");
        // 254 bytes arrive whole.
        console.SetScript(TFakeConsole::Reply, {str255.substr(1)});
        EXPECT_EQ(Ask(console).strTask, "dosX");
        // A tag past the first 255 bytes is never seen.
        console.SetScript(TFakeConsole::Reply, {std::string(300, 'y') + "\nTask:dos\r\n"});
        TLogCapture log;
        EXPECT_FALSE(Ask(console).bResult);
        EXPECT_NE(log.Find("Debug: can not find tag"), 0u);
        // A reply in two segments: only the first is read.
        console.SetScript(TFakeConsole::Reply, {"Version:3.0\r\n", "Task:dos\r\n"}, 300);
        TOutcome outcome = Ask(console);
        EXPECT_FALSE(outcome.bResult);
        EXPECT_EQ(outcome.strTask, "unchanged");
    });
}

TEST_F(ConsoleQuery, ConsoleThatClosesOrNeverAnswers)
{
    InLab([] {
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        {
            console.SetScript(TFakeConsole::CloseAtOnce);
            TLogCapture log;
            TOutcome outcome = Ask(console);
            EXPECT_FALSE(outcome.bResult);
            EXPECT_EQ(outcome.strTask, "unchanged");
            EXPECT_EQ(log.Find("Debug: console terminated at "), static_cast<unsigned long>(LM_DEBUG)) << log.All();
        }
        {
            console.SetScript(TFakeConsole::Silent);
            TLogCapture log;
            auto tStart = std::chrono::steady_clock::now();
            TOutcome outcome = Ask(console);
            double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
            EXPECT_FALSE(outcome.bResult);
            EXPECT_EQ(outcome.strTask, "unchanged");
            EXPECT_EQ(log.Find("Debug: timeout to console at "), static_cast<unsigned long>(LM_ERROR)) << log.All();
            // The wait is the console's 4 seconds, not less and not unbounded.
            EXPECT_GE(dSeconds, 3.9);
            EXPECT_LT(dSeconds, 8.0);
        }
        EXPECT_EQ(console.Connections(), 2);
    });
}

TEST_F(ConsoleQuery, ConnectionRefusedOrUnanswered)
{
    int iReserved = -1;
    InLab([&] {
        // A port that was just free: nothing listens there.
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        iReserved = console.Port();
    });
    ASSERT_EQ(ConsoleLab().Run(ConsoleLab().ServerNs(),
                               "ip neigh replace 198.18.0.77 lladdr 02:00:00:00:00:77 dev " + ConsoleLab().ServerIf() +
                                   " nud permanent"),
              0);
    InLab([&] {
        gSettings.strIpAddress = "127.0.0.1";
        gSettings.strConsolePort = std::to_string(iReserved);
        std::string strTask = "unchanged";
        {
            TLogCapture log;
            EXPECT_FALSE(QueryConsoleTask(kMac, "", strTask));
            EXPECT_EQ(log.Find("Debug: can not connect to console at "), static_cast<unsigned long>(LM_ERROR))
                << log.All();
        }
        // A host that never answers the connection attempt (its frames go
        // nowhere): the attempt is given up after the console's 4 seconds.
        gSettings.strIpAddress = "198.18.0.77";
        gSettings.strConsolePort = "40003";
        {
            TLogCapture log;
            auto tStart = std::chrono::steady_clock::now();
            EXPECT_FALSE(QueryConsoleTask(kMac, "", strTask));
            double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
            EXPECT_EQ(log.Find("Debug: can not connect to console at "), static_cast<unsigned long>(LM_ERROR))
                << log.All();
            EXPECT_GE(dSeconds, 3.9);
            EXPECT_LT(dSeconds, 8.0);
        }
        EXPECT_EQ(strTask, "unchanged");
    });
}

TEST_F(ConsoleQuery, HostNameIsLookedUp)
{
    InLab([] {
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        console.SetScript(TFakeConsole::Reply, {"Task:Linux\r\n"});
        console.UseInSettings();
        gSettings.strIpAddress = "localhost";
        std::string strTask;
        EXPECT_TRUE(QueryConsoleTask(kMac, "", strTask));
        EXPECT_EQ(strTask, "Linux");

        // A name that no lookup knows (nothing can leave this namespace).
        gSettings.strIpAddress = "no-such-console.invalid";
        TLogCapture log;
        strTask = "unchanged";
        EXPECT_FALSE(QueryConsoleTask(kMac, "", strTask));
        EXPECT_EQ(strTask, "unchanged");
        EXPECT_EQ(log.Find("Debug: unknow host no-such-console.invalid at "), static_cast<unsigned long>(LM_ERROR))
            << log.All();
        EXPECT_EQ(console.Connections(), 1);
    });
}
