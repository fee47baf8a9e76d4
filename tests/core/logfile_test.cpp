// The log file under rotation: renamed away and reopened by its name while other threads log.
#include "common/testutil.h"
#include "core/logfile.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

TEST(LogFile, ReopenAfterARenameLosesNoLineAndSplitsNoneOfThreadsLoggingMeanwhile)
{
    TTempDir dir;
    const std::string strLog = dir / "prog.log";
    const int kThreads = 4, kLines = 3000;
    std::vector<std::string> vFiles;  // the files the lines may be in, oldest first
    {
        TLogFile file(true, (dir / "prog").c_str());  // writes prog.log, renamed below
        std::atomic<int> nRunning{kThreads};
        std::vector<std::thread> vThreads;
        for (int t = 0; t < kThreads; ++t)
            vThreads.emplace_back([&, t] {
                ACE_Log_Msg::instance()->msg_ostream(&file);
                for (int i = 0; i < kLines; ++i)
                    ACE_DEBUG(
                        (LM_INFO, "line %d %d of a text long enough to need a few writes\n", t, i));
                --nRunning;
            });
        // Rotations while the threads log, at least three of them.
        for (int k = 0; nRunning > 0 || k < 3; ++k)
        {
            vFiles.push_back(strLog + "." + std::to_string(k));
            ASSERT_EQ(rename(strLog.c_str(), vFiles.back().c_str()), 0);
            ASSERT_EQ(file.Reopen(), 0);
            std::this_thread::yield();
        }
        for (std::thread& th : vThreads)
            th.join();
        // A name that cannot be opened again: the lines go on into the file open before.
        vFiles.push_back(strLog + ".last");
        ASSERT_EQ(rename(strLog.c_str(), vFiles.back().c_str()), 0);
        ASSERT_EQ(mkdir(strLog.c_str(), 0755), 0);
        EXPECT_EQ(file.Reopen(), -1);
        ACE_DEBUG((LM_INFO, "line after\n"));
    }
    EXPECT_NE(ReadFile(vFiles.back()).find("@LM_INFO@line after\n"), std::string::npos);

    std::string strAll;
    for (const std::string& strFile : vFiles)
        strAll += ReadFile(strFile);
    std::istringstream in(strAll);
    std::set<std::string> setSeen;
    const std::regex reLine("[0-9]{4}-[-0-9 :.]+@LM_INFO@line ([0-9]+ [0-9]+) of a text long "
                            "enough to need a few writes|[0-9]{4}-[-0-9 :.]+@LM_INFO@line after");
    std::smatch m;
    for (std::string s; std::getline(in, s);)
        EXPECT_TRUE(std::regex_match(s, m, reLine) &&
                    (m[1].length() == 0 || setSeen.insert(m[1]).second))
            << s;
    EXPECT_EQ(setSeen.size(), (size_t)kThreads * kLines);
}
