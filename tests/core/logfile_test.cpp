#include "core/logfile.h"
#include "core/paths.h"
#include "common/testutil.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>

TEST(LogFileName, OnlyTheFileNamesLastDotIsCut)
{
    EXPECT_EQ(ReplaceExtension("/a/my.pxe.exe", ".log"), "/a/my.pxe.log");
    // A dot in a folder name is no extension.
    EXPECT_EQ(ReplaceExtension("/tmp/pxe-vm.isCwK8/bin/prog", ".log"),
              "/tmp/pxe-vm.isCwK8/bin/prog.log");
    EXPECT_EQ(ReplaceExtension("prog", ".cfg"), "prog.cfg");
}

static ACE_THR_FUNC_RETURN worker_proc(void*)
{
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "line from worker %d\n", 7));
    return 0;
}

// Attached, the file takes the lines of this thread and of the ACE threads it starts, with the
// short verbose prefix, appended to what a run before left; not attached, it is made and left
// empty; where it cannot be made, the lines stay on standard error.
TEST(LogFile, AttachedNotAttachedAndUnwritable)
{
    TTempDir dir;
    for (int iRun = 1; iRun <= 2; ++iRun)
    {
        TLogFile log(true, (dir / "prog.x").c_str());
        ASSERT_TRUE(log.is_open());
        ACE_DEBUG((LM_INFO, LOG_PREFIX "run %d at %D\n", iRun));
        ACE_thread_t tid;
        ACE_hthread_t hThread;
        ASSERT_EQ(
            ACE_OS::thr_create(worker_proc, nullptr, THR_NEW_LWP | THR_JOINABLE, &tid, &hThread),
            0);
        ACE_Thread::join(hThread);
    }
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "back on stderr\n"));
    {
        TLogFile log(false, (dir / "svc").c_str());
        ACE_DEBUG((LM_INFO, LOG_PREFIX "foreground line\n"));
    }
    // Times, process, thread and line numbers as "~".
    const std::string strAt = "(pid~|tid~) (File:tests/core/logfile_test.cpp|Line~) ",
                      strWorker = "~@LM_DEBUG@" + strAt + "line from worker 7\n";
    EXPECT_EQ(std::regex_replace(ReadFile(dir / "prog.log"),
                                 std::regex("[0-9]{4}-[-0-9 :.]+|:[0-9]+"), "~"),
              "~@LM_INFO@" + strAt + "run 1 at ~\n" + strWorker + "~@LM_INFO@" + strAt +
                  "run 2 at ~\n" + strWorker);
    EXPECT_EQ(ReadFile(dir / "svc.log"), "");
    EXPECT_EQ(access((dir / "svc.log").c_str(), F_OK), 0);
    TLogFile log(true, "/proc/no-such-folder/prog");
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(ACE_Log_Msg::instance()->flags() & ACE_Log_Msg::OSTREAM, 0u);
}
