#include "platform/signals.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace
{
struct TSeen
{
    std::mutex mtx;
    std::vector<int> vSignals;
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mtx);
        return vSignals.size();
    }
};

void Record(int iSignal, void* pArg)
{
    TSeen* pSeen = static_cast<TSeen*>(pArg);
    std::lock_guard<std::mutex> lock(pSeen->mtx);
    pSeen->vSignals.push_back(iSignal);
}
}  // namespace

TEST(SignalThread, EachStopSignalReachesTheHandlerAndStopEndsQuietly)
{
    TSeen seen;
    TSignalThread signals;
    ASSERT_EQ(signals.Start(Record, &seen), 0);
    EXPECT_EQ(signals.Start(Record, &seen), -1);  // one thread per object

    // The signals are blocked here now and taken by the thread.
    sigset_t setNow;
    pthread_sigmask(SIG_BLOCK, nullptr, &setNow);
    EXPECT_TRUE(sigismember(&setNow, SIGINT));
    EXPECT_TRUE(sigismember(&setNow, SIGTERM));
    EXPECT_TRUE(sigismember(&setNow, SIGHUP));

    const int aiSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGINT};
    for (size_t i = 0; i < sizeof(aiSignals) / sizeof(aiSignals[0]); ++i)
    {
        kill(getpid(), aiSignals[i]);
        ASSERT_TRUE(WaitUntil([&] { return seen.Count() == i + 1; }, 5000)) << i;
    }
    signals.Stop();
    signals.Stop();  // twice is harmless
    EXPECT_EQ(seen.vSignals, (std::vector<int>{SIGINT, SIGTERM, SIGHUP, SIGINT}));

    // SIGPIPE is ignored: a write to a closed pipe fails instead of ending the process.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(write(fds[1], "x", 1), -1);
    close(fds[1]);

    // It can be started again once stopped.
    ASSERT_EQ(signals.Start(Record, &seen), 0);
    kill(getpid(), SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return seen.Count() == 5; }, 5000));
    signals.Stop();
    EXPECT_EQ(seen.vSignals.back(), SIGHUP);
}
