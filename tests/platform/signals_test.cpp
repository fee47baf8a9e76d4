#include "platform/signals.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace
{
std::atomic<size_t> nSeen{0};
int aiSeen[8];

void Record(int iSignal, void*)
{
    aiSeen[nSeen.load()] = iSignal;
    ++nSeen;
}
}  // namespace

TEST(SignalThread, EachStopSignalReachesTheHandlerAndStopEndsQuietly)
{
    TSignalThread signals;
    ASSERT_EQ(signals.Start(Record, nullptr), 0);
    EXPECT_EQ(signals.Start(Record, nullptr), -1);  // one thread per object
    // Each would end the process unless the thread takes it.
    const std::vector<int> vSent{SIGINT, SIGTERM, SIGHUP, SIGINT};
    for (size_t i = 0; i < vSent.size(); ++i)
    {
        kill(getpid(), vSent[i]);
        ASSERT_TRUE(WaitUntil([&] { return nSeen == i + 1; }, 5000)) << i;
    }
    signals.Stop();
    signals.Stop();  // twice is harmless
    EXPECT_EQ(std::vector<int>(aiSeen, aiSeen + nSeen), vSent);

    // SIGPIPE is ignored: a write to a closed pipe fails instead of ending the process.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(write(fds[1], "x", 1), -1);
    close(fds[1]);
}
