#include "console/bootselect.h"

#include "common/testutil.h"
#include "config/settings.h"
#include "fakeconsole.h"

#include <gtest/gtest.h>

namespace
{

const char kMac[] = "52:54:00:12:34:56";

}  // namespace

TEST(BootFileForTask, PrefixesIgnoringCaseAndLayerInDecimal)
{
    struct TCase
    {
        const char* szTask;
        uint16_t layer;
        const char* szFile;  // nullptr: no file
    };
    const TCase aCases[] = {
        {"Linux", 0, "linux.0"},     {"LINUX", 7, "linux.7"},   {"linuxfoo", 12, "linux.12"},
        {"none", 5, "hd.0"},         {"None", 0, "hd.0"},       {"nonesuch", 65535, "hd.0"},
        {"dos", 2, "dos.2"},         {"Dos", 3, "dos.3"},       {"DOSBOX", 65535, "dos.65535"},
        {"lin", 1, nullptr},         {"non", 1, nullptr},       {"do", 1, nullptr},
        {"xdos", 1, nullptr},        {"", 1, nullptr},          {"windows", 1, nullptr},
    };
    for (const TCase& c : aCases)
    {
        SCOPED_TRACE(c.szTask);
        std::string strFile = "unchanged";
        EXPECT_EQ(BootFileForTask(c.szTask, c.layer, strFile), c.szFile != nullptr);
        EXPECT_EQ(strFile, c.szFile != nullptr ? c.szFile : "unchanged");
    }
}

TEST(SelectBootFile, ConsoleAskedForServerTypeOneOnly)
{
    ASSERT_TRUE(ConsoleLab().Ok());
    TNetLab::RunIn(ConsoleLab().ServerNs(), [] {
        TFakeConsole console;
        ASSERT_TRUE(console.Ok());
        console.UseInSettings();
        console.SetScript(TFakeConsole::Reply, {"Task:LINUX\r\n"});

        // Type 0: the fixed image, whatever the console would say.
        std::string strFile = "unchanged";
        EXPECT_TRUE(SelectBootFile(0, 9, strFile, kMac, ""));
        EXPECT_EQ(strFile, "foo-image");
        // Other types: nothing, and no question either.
        for (uint16_t type : {uint16_t(2), uint16_t(0x8000), uint16_t(0xffff)})
        {
            strFile = "unchanged";
            EXPECT_FALSE(SelectBootFile(type, 0, strFile, kMac, ""));
            EXPECT_EQ(strFile, "unchanged");
        }
        EXPECT_EQ(console.Connections(), 0);

        // Type 1 asks once per call, with the client's address in the query.
        TLogCapture log;
        strFile = "unchanged";
        EXPECT_TRUE(SelectBootFile(1, 0, strFile, kMac, "198.18.0.2"));
        EXPECT_EQ(strFile, "linux.0");
        EXPECT_EQ(log.Find("Info: Check Mac Address 52:54:00:12:34:56...\n"), static_cast<unsigned long>(LM_DEBUG));
        ASSERT_EQ(console.Connections(), 1);
        EXPECT_NE(console.Requests()[0].find("\r\nAddress:52:54:00:12:34:56\r\nIP:198.18.0.2\r\n\r\n"),
                  std::string::npos);

        console.SetScript(TFakeConsole::Reply, {"Task: Dos\r\n"});
        EXPECT_TRUE(SelectBootFile(1, 3, strFile, kMac, ""));
        EXPECT_EQ(strFile, "dos.3");
        console.SetScript(TFakeConsole::Reply, {"Task:None\r\n"});
        EXPECT_TRUE(SelectBootFile(1, 5, strFile, kMac, ""));
        EXPECT_EQ(strFile, "hd.0");

        // No task, an unknown task, no usable reply: false, file untouched.
        for (const char* szReply : {"Task:allnone\r\n", "Task:lin\r\n", "Version:3.0\r\n"})
        {
            SCOPED_TRACE(szReply);
            console.SetScript(TFakeConsole::Reply, {szReply});
            strFile = "unchanged";
            EXPECT_FALSE(SelectBootFile(1, 1, strFile, kMac, ""));
            EXPECT_EQ(strFile, "unchanged");
        }
        EXPECT_EQ(console.Connections(), 6);

        // A console that cannot be reached.
        gSettings.strConsolePort = "1";
        strFile = "unchanged";
        EXPECT_FALSE(SelectBootFile(1, 1, strFile, kMac, ""));
        EXPECT_EQ(strFile, "unchanged");
    });
}
