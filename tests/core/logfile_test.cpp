#include "core/logfile.h"
#include "core/paths.h"
#include "common/testutil.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <unistd.h>

TEST(LogFileName, OnlyTheFileNamesLastDotIsCut)
{
    EXPECT_EQ(ReplaceExtension("/opt/pxe/bin/pxeservice", ".log"), "/opt/pxe/bin/pxeservice.log");
    EXPECT_EQ(ReplaceExtension("/a/my.pxe.exe", ".log"), "/a/my.pxe.log");
    // A dot in a folder name is no extension.
    EXPECT_EQ(ReplaceExtension("/tmp/pxe-vm.isCwK8/bin/prog", ".log"),
              "/tmp/pxe-vm.isCwK8/bin/prog.log");
    EXPECT_EQ(ReplaceExtension("prog", ".cfg"), "prog.cfg");
}

static ACE_THR_FUNC_RETURN LogFromWorker(void*)
{
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "line from worker %d\n", 7));
    return 0;
}

TEST(LogFile, AttachedFileTakesLinesOfThisAndAceThreadsAndAppends)
{
    TTempDir dir;
    std::string strProgram = dir / "prog.x";
    for (int iRun = 1; iRun <= 2; ++iRun)
    {
        TLogFile* pLog = new TLogFile(true, strProgram.c_str());
        ASSERT_TRUE(pLog->is_open());
        ACE_DEBUG((LM_INFO, LOG_PREFIX "run %d at %D\n", iRun));
        ACE_thread_t tid;
        ACE_hthread_t hThread;
        ASSERT_EQ(
            ACE_OS::thr_create(LogFromWorker, nullptr, THR_NEW_LWP | THR_JOINABLE, &tid, &hThread),
            0);
        ACE_Thread::join(hThread);
        delete pLog;
    }
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "back on stderr\n"));

    std::string strLog = ReadFile(dir / "prog.log");
    size_t nRun1 = strLog.find("run 1 at ");
    size_t nRun2 = strLog.find("run 2 at ");
    ASSERT_NE(nRun1, std::string::npos) << strLog;
    ASSERT_NE(nRun2, std::string::npos) << strLog;
    EXPECT_LT(nRun1, nRun2);
    // Prefix with the relative source file name, and the worker's lines.
    EXPECT_NE(strLog.find("(File:tests/core/logfile_test.cpp|Line:"), std::string::npos) << strLog;
    size_t nWorker1 = strLog.find("line from worker 7");
    ASSERT_NE(nWorker1, std::string::npos);
    EXPECT_NE(strLog.find("line from worker 7", nWorker1 + 1), std::string::npos);
    // Short verbose prefix carries the priority name.
    EXPECT_NE(strLog.find("LM_INFO"), std::string::npos);
    EXPECT_EQ(strLog.find("back on stderr"), std::string::npos);
}

TEST(LogFile, NotAttachedCreatesFileButLeavesItEmpty)
{
    TTempDir dir;
    std::string strProgram = dir / "svc";
    {
        TLogFile log(false, strProgram.c_str());
        ACE_DEBUG((LM_INFO, LOG_PREFIX "foreground line\n"));
    }
    EXPECT_EQ(access((dir / "svc.log").c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(dir / "svc.log"), "");
}

TEST(LogFile, UnwritableFolderLeavesLoggingOnStderr)
{
    TLogFile log(true, "/proc/no-such-folder/prog");
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(ACE_Log_Msg::instance()->flags() & ACE_Log_Msg::OSTREAM, 0u);
}
