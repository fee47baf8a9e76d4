// The reading of the console's reply and the boot file for a task, without a console (the
// exchange over TCP, with the request's bytes, is in consolequery_lab_test.cpp).
#include "console/bootselect.h"
#include "console/consolequery.h"

#include "common/logcapture.h"
#include "config/settings.h"

#include <gtest/gtest.h>

TEST(ConsoleReply, TheWordAfterTheFirstTag)
{
    const EConsoleReply Task = EConsoleReply::Task, NoTag = EConsoleReply::NoTag;
    const std::string x245(245, 'x');
    const struct
    {
        std::string strReply;
        EConsoleReply eResult;
        std::string strText, strWord;  // strText "=": the reply as it came
    } aCases[] = {
        // The first tag anywhere in the reply, in its case only; the word after blanks, up to the
        // next blank; "allnone" in full.
        {"Version:3.0\r\nTask:\t\v\f Linux 2\r\nTask:dos\r\n", Task, "=", "Linux"},
        {"task:dos\r\n", NoTag, "=", ""},
        {"Task:   \r\n\r\n", EConsoleReply::NoWord, "=", ""},
        {"Task:ALLnoneOfThese\r\n", EConsoleReply::NoTask, "=", "ALLnoneOfThese"},
        {"Task:allnon", Task, "=", "allnon"},
        // A zero byte ends the text; of 255 bytes or more, 254 are read.
        {std::string("Task:do\0s\r\n", 11), Task, "Task:do", "do"},
        {x245 + "\nTask:dosX", Task, x245 + "\nTask:dos", "dos"},
        {x245.substr(1) + "\nTask:dosX", Task, "=", "dosX"},
        {std::string(300, 'y') + "\nTask:dos\r\n", NoTag, std::string(254, 'y'), ""},
    };
    for (const auto& c : aCases)
    {
        std::string strText, strWord;
        EXPECT_EQ(ParseConsoleReply(c.strReply.data(), c.strReply.size(), strText, strWord),
                  c.eResult)
            << c.strReply;
        EXPECT_EQ(strText, c.strText == "=" ? c.strReply : c.strText);
        EXPECT_EQ(strWord, c.strWord);
    }
}

// Types other than 1 do not ask the console; type 1 maps the console's task (a word's prefix,
// in any case), and a file is left untouched when none is chosen.
TEST(SelectBootFile, FileFromServerTypeAndTask)
{
    gSettings.strIpAddress = "127.0.0.1";
    gSettings.strConsolePort = "1";  // a query would fail, and log that it was made
    const std::pair<int, const char*> aTypes[] = {{0, "foo-image"}, {2, "false unchanged"}};
    for (const auto& c : aTypes)
    {
        TLogCapture log;
        std::string strFile = "unchanged";
        const bool bResult = SelectBootFile(c.first, 9, strFile, "08:00:27:1a:2b:3c", "198.18.0.2");
        EXPECT_EQ(bResult ? strFile : "false " + strFile, c.second);
        EXPECT_EQ(log.All(), "");
    }
    const std::tuple<const char*, uint16_t, const char*> aTasks[] = {
        {"linuxFOO", 12, "linux.12"}, {"DOSBOX", 65535, "dos.65535"}, {"Nonesuch", 5, "hd.0"},
        {"lin", 1, "false unchanged"}, {"non", 1, "false unchanged"}, {"do", 1, "false unchanged"},
        {"xdos", 1, "false unchanged"}};
    for (const auto& [szTask, nLayer, szFile] : aTasks)
    {
        std::string strFile = "unchanged";
        const bool bResult = BootFileForTask(szTask, nLayer, strFile);
        EXPECT_EQ(bResult ? strFile : "false " + strFile, szFile) << szTask;
    }
}
