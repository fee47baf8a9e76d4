// The boot file for a task, chosen without a console; then the exchange with a console on
// 127.0.0.1: what is sent, how much of the reply is read, each outcome's log line and result,
// and the bounded waits.
#include "console/bootselect.h"
#include "console/consolequery.h"

#include "common/logcapture.h"
#include "config/settings.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

// Types other than 1 do not ask the console; type 1 maps the console's task (a word's prefix,
// in any case: BootFileForTask), and a file is left untouched when none is chosen.
TEST(SelectBootFile, FileFromServerTypeAndTask)
{
    gSettings.strIpAddress = "127.0.0.1";
    gSettings.strConsolePort = "1";  // a query would fail, and log that it was made
    const std::tuple<uint16_t, const char*, uint16_t, const char*> aCases[] = {
        {0, "", 9, "foo-image"},         {2, "", 9, "false unchanged"},
        {1, "linuxFOO", 12, "linux.12"}, {1, "DOSBOX", 65535, "dos.65535"},
        {1, "Nonesuch", 5, "hd.0"},      {1, "lin", 1, "false unchanged"}};
    for (const auto& [nType, szTask, nLayer, szFile] : aCases)
    {
        TLogCapture log;
        std::string strFile = "unchanged";
        const bool bResult =
            nType == 1 ? BootFileForTask(szTask, nLayer, strFile)
                       : SelectBootFile(nType, nLayer, strFile, "08:00:27:1a:2b:3c", "198.18.0.2");
        EXPECT_EQ(bResult ? strFile : "false " + strFile, szFile) << szTask;
        EXPECT_EQ(log.All(), "");
    }
}

namespace
{
const char kMac[] = "08:00:27:1a:2b:3c";
// The request up to the client's IP address.
const std::string kRequest = "Length:0\r\nCompress:no\r\nVersion:3.0\r\nTaskID:0\r\n"
                             "TaskType:PXEServerQuery\r\nAddress:08:00:27:1a:2b:3c\r\nIP:";
const char kDebug[] = "LM_DEBUG", kError[] = "LM_ERROR";

bool Readable(int sc, int iTimeoutMs)
{
    pollfd pfd = {sc, POLLIN, 0};
    return poll(&pfd, 1, iTimeoutMs) > 0;
}

// Sends str, and strLater 300 ms after it when given.
std::function<void(int)> Send(const std::string& str, const std::string& strLater = "")
{
    return [str, strLater](int sc) {
        send(sc, str.data(), str.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(strLater.empty() ? 0 : 300));
        send(sc, strLater.data(), strLater.size(), MSG_NOSIGNAL);
    };
}
}  // namespace

TEST(ConsoleQuery, RequestBytesAndTheReplyRead)
{
    // fnServe nullptr: the console is not reached; szTask: the task after a true result, or "false
    // " and the task after a false one (kUntouched: left as it was); szLog: logged with szPriority.
    // nLayer >= 0: asked through SelectBootFile(1, nLayer), szTask the file.
    struct TCase
    {
        std::string strIp;
        std::function<void(int)> fnServe;
        const char *szTask, *szLog;
        const char* szPriority = kDebug;
        double dMinSeconds = 0;
        const char* szHost = "127.0.0.1";
        int nLayer = -1;
        bool bQueueFull = false;
    };
    const char kUntouched[] = "false unchanged";
    const TCase aCases[] = {
        // The first tag in its case anywhere in the reply; the word after blanks.
        {"198.18.0.2", Send("Version:3.0\r\ntask:dos Task:\t\v Linux 2\r\nTask:dos\r\n"),
         "Linux", "Debug: recv from console Version:3.0\r\ntask:dos Task:", kDebug, 0, "localhost"},
        {"198.18.0.2", Send("Task:LINUX"), "linux.3", "Info: Check Mac Address 08:00:27:1a:2b:3c",
         kDebug, 0, "127.0.0.1", 3},
        {"", Send("Task:ALLnoneOfThese\r\n"), "false ", "Info: Returning false (0) \n"},
        // Of the one receive, 254 bytes at most are read: here the tag, but no word after it.
        {"", Send(std::string(249, ' ') + "Task:dos"), kUntouched, "Debug: can not task type \n"},
        // One receive: a second segment is never read.
        {"", Send("Version:3.0\r\n", "Task:dos\r\n"), kUntouched,
         "Debug: can not find tag \"Task:\"\n"},
        {"", [](int sc) { shutdown(sc, SHUT_WR); }, kUntouched, "Debug: console terminated at "},
        {"", [](int) {}, kUntouched, "Debug: timeout to console at ", kError, 3.9},
        // A name no resolver is asked about (it holds blanks).
        {"", nullptr, kUntouched, "Debug: unknow host no such host at ", kError, 0,
         "no such host"},
        // A console whose queue of connections is full never answers the connection attempt:
        // it is given up after 4 seconds (a refused one is the boot lab's, console stopped).
        {"", nullptr, kUntouched, "Debug: can not connect to console at ", kError, 3.9,
         "127.0.0.1", -1, true},
    };
    for (const TCase& c : aCases)
    {
        SCOPED_TRACE(&c - aCases);
        // A console on 127.0.0.1 serves at most one connection on a thread: it reads the query
        // (it comes in one send), runs fnServe, then waits (bounded) for the client to close.
        const int scListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
                  scQueued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t nLen = sizeof(addr);
        EXPECT_TRUE(bind(scListen, (sockaddr*)&addr, nLen) == 0 &&
                    listen(scListen, c.bQueueFull ? 0 : 1) == 0 &&
                    getsockname(scListen, (sockaddr*)&addr, &nLen) == 0);
        // A queue of length 0 holds one connection, never accepted: the next is not answered.
        EXPECT_TRUE(!c.bQueueFull || connect(scQueued, (sockaddr*)&addr, nLen) == 0);
        gSettings.strIpAddress = c.szHost;
        gSettings.strConsolePort = std::to_string(ntohs(addr.sin_port));
        std::string strRequest, strTask = "unchanged";
        std::thread thConsole([&] {
            // A shutdown of the listening socket ends the wait when no one came.
            const int sc = !c.bQueueFull && Readable(scListen, 10000)
                               ? accept(scListen, nullptr, nullptr)
                               : -1;
            if (sc < 0)
                return;
            char szBuf[512];
            const ssize_t n = Readable(sc, 5000) ? recv(sc, szBuf, sizeof(szBuf), 0) : 0;
            strRequest.assign(szBuf, std::max<ssize_t>(n, 0));
            if (c.fnServe)
                c.fnServe(sc);
            Readable(sc, 6000);  // until the client has closed
            close(sc);
        });
        TLogCapture log;
        const auto tStart = std::chrono::steady_clock::now();
        const bool bResult = c.nLayer < 0
                                 ? QueryConsoleTask(kMac, c.strIp, strTask)
                                 : SelectBootFile(1, c.nLayer, strTask, kMac, c.strIp);
        const double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        shutdown(scListen, SHUT_RDWR);
        thConsole.join();
        close(scListen);
        close(scQueued);
        EXPECT_EQ(strRequest, !c.fnServe ? "" : kRequest + c.strIp + "\r\n\r\n");
        EXPECT_EQ(bResult ? strTask : "false " + strTask, c.szTask);
        EXPECT_EQ(log.Priority(c.szLog), c.szPriority);
        EXPECT_EQ(log.Priority("Info: Asking server for PXE tasks for 08:00:27:1a:2b:3c...\n"),
                  kDebug);
        EXPECT_TRUE(dSeconds >= c.dMinSeconds && dSeconds < c.dMinSeconds + 4) << dSeconds;
        // The line after "can not connect" names the console and what the connect met.
        EXPECT_EQ(log.Priority("Debug: the console at 127.0.0.1 port " + gSettings.strConsolePort +
                               " does not answer: Connection timed out at "),
                  c.bQueueFull ? kError : "");
    }
}
