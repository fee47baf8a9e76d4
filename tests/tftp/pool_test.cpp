// The bounded queue and the thread pool of the TFTP server.
#include "tftp/thread.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace
{
// Workers 0 and 1 run until they are let go, the others end at once.
constexpr int kWorkers = TThreadPool::kCapacity + 2;
std::atomic<bool> gbHeld[kWorkers] = {true, true};
std::atomic<int> gnEnded{0};

ACE_THR_FUNC_RETURN gatedworker_proc(void* pArg)
{
    while (gbHeld[reinterpret_cast<intptr_t>(pArg)])
        usleep(5000);
    ++gnEnded;
    return 0;
}

// The waiting thread takes the oldest handle out of the queue to join it, so
// with the two oldest workers running the queue holds the next 256 handles:
// the 258th CreateWorkThread blocks (after its thread has started) until the
// oldest has been joined. Stop then waits behind the second, and so does the
// destructor. The 258 handles take the queue's indices round past its end, in order.
TEST(ThreadPool, CreateBlocksOnAFullQueueAndTheDestructorWaitsForEveryWorker)
{
    std::atomic<int> nCreated{0};
    std::atomic<bool> bDestroyed{false};
    std::thread owner([&] {
        {
            TThreadPool pool;
            for (intptr_t i = 0; i < kWorkers; ++i, ++nCreated)
                EXPECT_EQ(pool.CreateWorkThread(gatedworker_proc, reinterpret_cast<void*>(i)), 0);
            pool.Stop();
        }
        bDestroyed = true;
    });
    EXPECT_TRUE(
        WaitUntil([&] { return gnEnded == kWorkers - 2 && nCreated == kWorkers - 1; }, 60000));
    usleep(200000);
    EXPECT_EQ(nCreated.load(), kWorkers - 1);
    gbHeld[0] = false;
    EXPECT_TRUE(WaitUntil([&] { return nCreated == kWorkers && gnEnded == kWorkers - 1; }, 5000));
    usleep(200000);
    EXPECT_FALSE(bDestroyed.load());  // worker 1 still runs
    gbHeld[1] = false;
    EXPECT_TRUE(WaitUntil([&] { return bDestroyed.load(); }, 5000));
    owner.join();
    EXPECT_EQ(gnEnded.load(), kWorkers);
}
}  // namespace
