// The console's request text, the reading of its reply and the boot file for a task, without
// a console (the exchange over TCP is in consolequery_lab_test.cpp).
#include "console/bootselect.h"
#include "console/consolequery.h"

#include "common/logcapture.h"
#include "config/settings.h"

#include <gtest/gtest.h>

TEST(ConsoleRequest, NamesTheClientsAddresses)
{
    EXPECT_EQ(FormatConsoleRequest("08:00:27:1a:2b:3c", "198.18.0.2"),
              "Length:0\r\nCompress:no\r\nVersion:3.0\r\nTaskID:0\r\nTaskType:PXEServerQuery\r\n"
              "Address:08:00:27:1a:2b:3c\r\nIP:198.18.0.2\r\n\r\n");
}

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
        // The first tag anywhere in the reply; the word after blanks, up to the next blank.
        {"Version:3.0\r\nTask:\t\v\f Linux 2\r\nTask:dos\r\n", Task, "=", "Linux"},
        {"Task:dos", Task, "=", "dos"},
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

// Type 0 and types other than 1 do not ask the console; type 1 maps the console's task.
TEST(SelectBootFile, FileFromServerTypeAndTask)
{
    gSettings.strIpAddress = "127.0.0.1";
    gSettings.strConsolePort = "1";  // a query would fail, and log that it was made
    const struct
    {
        uint16_t nType;
        const char* szFile;
    } aTypes[] = {{0, "foo-image"}, {2, nullptr}, {0xffff, nullptr}};
    for (const auto& c : aTypes)
    {
        TLogCapture log;
        std::string strFile = "unchanged";
        const bool bResult = SelectBootFile(c.nType, 9, strFile, "08:00:27:1a:2b:3c", "198.18.0.2");
        EXPECT_EQ(bResult ? strFile : "false " + strFile, c.szFile ? c.szFile : "false unchanged");
        EXPECT_EQ(log.All(), "");
    }
    const struct
    {
        const char* szTask;
        uint16_t nLayer;
        const char* szFile;
    } aTasks[] = {{"LINUX", 0, "linux.0"}, {"linuxfoo", 12, "linux.12"},
                  {"Dos", 3, "dos.3"},     {"DOSBOX", 65535, "dos.65535"},
                  {"None", 5, "hd.0"},     {"nonesuch", 5, "hd.0"},
                  {"lin", 1, nullptr},     {"non", 1, nullptr},
                  {"do", 1, nullptr},      {"xdos", 1, nullptr},
                  {"windows", 1, nullptr}};
    for (const auto& c : aTasks)
    {
        std::string strFile = "unchanged";
        const bool bResult = BootFileForTask(c.szTask, c.nLayer, strFile);
        EXPECT_EQ(bResult ? strFile : "false " + strFile, c.szFile ? c.szFile : "false unchanged")
            << c.szTask;
    }
}
