#include "platform/signals.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace
{
std::atomic<int> gnSeen{0}, giLast{0};

void Record(int iSignal, void*)
{
    giLast = iSignal;
    ++gnSeen;
}
}  // namespace

TEST(SignalThread, EachStopSignalReachesTheHandlerAndStopEndsQuietly)
{
    TSignalThread signals;
    ASSERT_EQ(signals.Start(Record, nullptr), 0);
    EXPECT_EQ(signals.Start(Record, nullptr), -1);  // one thread per object
    // Each would end the process unless the thread takes it; one at a time.
    for (int iSignal : {SIGINT, SIGTERM, SIGHUP, SIGINT})
    {
        const int nSeen = gnSeen + 1;
        kill(getpid(), iSignal);
        ASSERT_TRUE(WaitUntil([&] { return gnSeen == nSeen && giLast == iSignal; }, 5000))
            << iSignal;
    }
    signals.Stop();                // the destructor stops it again: harmless
    EXPECT_EQ(raise(SIGPIPE), 0);  // a write to a closed connection does not end the process
}
