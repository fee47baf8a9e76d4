#include "platform/signals.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace
{
std::atomic<int> gnSeen{0};
int aiSeen[8];

void Record(int iSignal, void*)
{
    aiSeen[gnSeen.load()] = iSignal;
    ++gnSeen;
}
}  // namespace

TEST(SignalThread, EachStopSignalReachesTheHandlerAndStopEndsQuietly)
{
    TSignalThread signals;
    ASSERT_EQ(signals.Start(Record, nullptr), 0);
    EXPECT_EQ(signals.Start(Record, nullptr), -1);  // one thread per object
    const int aiSent[] = {SIGINT, SIGTERM, SIGHUP,
                          SIGINT};  // each would end the process unless the thread takes it
    for (int i = 0; i < 4; ++i)
    {
        kill(getpid(), aiSent[i]);
        ASSERT_TRUE(WaitUntil([&] { return gnSeen == i + 1 && aiSeen[i] == aiSent[i]; }, 5000))
            << i;
    }
    signals.Stop();
    signals.Stop();                // twice is harmless
    EXPECT_EQ(raise(SIGPIPE), 0);  // a write to a closed connection does not end the process
}
