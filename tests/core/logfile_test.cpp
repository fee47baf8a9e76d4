#include "core/logfile.h"
#include "common/testutil.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <regex>

// Attached, the file takes the lines with the short verbose prefix, appended to what a run before
// left; where it cannot be made, the lines stay on standard error. (The lines of the threads
// started while attached, a file made and left empty when not attached, and the file's name
// beside a program in a folder whose name has a dot: ServiceRun.)
TEST(LogFile, AttachedAndUnwritable)
{
    TTempDir dir;
    for (int iRun = 1; iRun <= 2; ++iRun)
    {
        TLogFile log(true, (dir / "prog.x").c_str());
        ASSERT_TRUE(log.is_open());
        ACE_DEBUG((LM_INFO, LOG_PREFIX "run %d at %D\n", iRun));
    }
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "back on stderr\n"));
    // Times, process, thread and line numbers as "~".
    const std::string strAt = "~@LM_INFO@(pid~|tid~) (File:tests/core/logfile_test.cpp|Line~) ";
    EXPECT_EQ(std::regex_replace(ReadFile(dir / "prog.log"),
                                 std::regex("[0-9]{4}-[-0-9 :.]+|:[0-9]+"), "~"),
              strAt + "run 1 at ~\n" + strAt + "run 2 at ~\n");
    TLogFile log(true, "/proc/no-such-folder/prog");
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(ACE_Log_Msg::instance()->flags() & ACE_Log_Msg::OSTREAM, 0u);
}
