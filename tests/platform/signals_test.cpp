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
    EXPECT_EQ(raise(SIGPIPE), 0);  // a write to a closed connection does not end the process
}
