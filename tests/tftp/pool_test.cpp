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
class TIntQueue : public TMPMC
{
public:
    TIntQueue() : TMPMC(4) {}
    int slots[4] = {};

protected:
    int ReadSlot(void* pItem) override
    {
        *static_cast<int*>(pItem) = slots[head];
        return 0;
    }
    int WriteSlot(void* pItem) override
    {
        slots[tail] = *static_cast<int*>(pItem);
        return 0;
    }
};

TEST(Queue, ItemsComeOutInOrderWhileHeadAndTailWrap)
{
    TIntQueue queue;
    int iNext = 0, iExpected = 0;
    for (int iRound = 0; iRound < 7; ++iRound)  // up to three in, two out: the indices go round
    {
        for (int i = 0; i < 3 && iNext - iExpected < 4; ++i, ++iNext)
            EXPECT_EQ(queue.Put(&iNext), 0);
        for (int i = 0, iItem = -1; i < 2; ++i)
            EXPECT_TRUE(queue.Get(&iItem) == 0 && iItem == iExpected++);
    }
    EXPECT_EQ(iNext, 16);
}

// Workers that run until their gate opens.
constexpr int kWorkers = TThreadPool::kCapacity + 2;
std::atomic<bool> gbOpen[kWorkers];
std::atomic<int> gnEnded{0};

ACE_THR_FUNC_RETURN GatedWorker(void* pArg)
{
    while (!gbOpen[reinterpret_cast<intptr_t>(pArg)])
        usleep(5000);
    ++gnEnded;
    return 0;
}

// The waiting thread takes the oldest handle out of the queue to join it, so
// with the two oldest workers running the queue holds the next 256 handles:
// the 258th CreateWorkThread blocks (after its thread has started) until the
// oldest has been joined. Stop then waits behind the second, and so does the
// destructor.
TEST(ThreadPool, CreateBlocksOnAFullQueueAndTheDestructorWaitsForEveryWorker)
{
    for (int i = 0; i < kWorkers; ++i)
        gbOpen[i] = i > 1;
    std::atomic<int> nCreated{0};
    std::atomic<bool> bDestroyed{false};
    std::thread owner([&] {
        {
            TThreadPool pool;
            for (intptr_t i = 0; i < kWorkers; ++i, ++nCreated)
                EXPECT_EQ(pool.CreateWorkThread(GatedWorker, reinterpret_cast<void*>(i)), 0);
            pool.Stop();
        }
        bDestroyed = true;
    });
    EXPECT_TRUE(
        WaitUntil([&] { return gnEnded == kWorkers - 2 && nCreated == kWorkers - 1; }, 60000));
    usleep(200000);
    EXPECT_EQ(nCreated.load(), kWorkers - 1);
    gbOpen[0] = true;
    EXPECT_TRUE(WaitUntil([&] { return nCreated == kWorkers && gnEnded == kWorkers - 1; }, 5000));
    usleep(200000);
    EXPECT_FALSE(bDestroyed.load());  // worker 1 still runs
    gbOpen[1] = true;
    EXPECT_TRUE(WaitUntil([&] { return bDestroyed.load(); }, 5000));
    owner.join();
    EXPECT_EQ(gnEnded.load(), kWorkers);
}
}  // namespace
