// The bounded queue and the thread pool of the TFTP server.
#include "tftp/thread.h"
#include "common/testutil.h"

#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
// A queue of ints that lets the test see its indices.
class TIntQueue : public TMPMC
{
public:
    explicit TIntQueue(int iCapacity) : TMPMC(iCapacity), vSlots(static_cast<size_t>(iCapacity)) {}
    int Head() { lock.acquire(); int i = head; lock.release(); return i; }
    int Tail() { lock.acquire(); int i = tail; lock.release(); return i; }
    int Count() { lock.acquire(); int i = count; lock.release(); return i; }

protected:
    int ReadSlot(void* pItem) override { *static_cast<int*>(pItem) = vSlots[static_cast<size_t>(head)]; return 0; }
    int WriteSlot(void* pItem) override { vSlots[static_cast<size_t>(tail)] = *static_cast<int*>(pItem); return 0; }

private:
    std::vector<int> vSlots;
};

TEST(Queue, ItemsComeOutInOrderAndIndicesWrap)
{
    TIntQueue queue(4);
    int iNext = 0, iExpected = 0;
    // Three items in, two out, repeatedly: head and tail pass the end several times.
    for (int iRound = 0; iRound < 7; ++iRound)
    {
        for (int i = 0; i < 3 && queue.Count() < 4; ++i)
        {
            int iItem = iNext++;
            EXPECT_EQ(queue.Put(&iItem), 0);
        }
        for (int i = 0; i < 2; ++i)
        {
            int iItem = -1;
            EXPECT_EQ(queue.Get(&iItem), 0);
            EXPECT_EQ(iItem, iExpected++);
        }
        EXPECT_EQ(queue.Tail(), iNext % 4);
        EXPECT_EQ(queue.Head(), iExpected % 4);
        EXPECT_EQ(queue.Count(), iNext - iExpected);
    }
    EXPECT_GT(iNext, 8);  // both indices went round more than once
}

TEST(Queue, FullQueueBlocksPutUntilGet)
{
    TIntQueue queue(2);
    int a = 1, b = 2;
    queue.Put(&a);
    queue.Put(&b);
    std::atomic<bool> bPut{false};
    std::thread producer([&] { int c = 3; queue.Put(&c); bPut = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(bPut.load());  // still blocked: no free slot
    int iItem = 0;
    queue.Get(&iItem);
    EXPECT_EQ(iItem, 1);
    producer.join();
    EXPECT_TRUE(bPut.load());
    queue.Get(&iItem);
    EXPECT_EQ(iItem, 2);
    queue.Get(&iItem);
    EXPECT_EQ(iItem, 3);

    EXPECT_EQ(queue.Count(), 0);
}

// Workers that wait for a gate and record when they ended.
struct TWorkerBoard
{
    std::mutex mtx;
    std::vector<bool> vOpen;
    std::vector<int> vEnded;
    std::atomic<int> nRunning{0};
};
TWorkerBoard* gpBoard = nullptr;

struct TWorkerArg
{
    int iIndex;
};

ACE_THR_FUNC_RETURN GatedWorker(void* pArg)
{
    int iIndex = static_cast<TWorkerArg*>(pArg)->iIndex;
    ++gpBoard->nRunning;
    for (;;)
    {
        {
            std::lock_guard<std::mutex> guard(gpBoard->mtx);
            if (gpBoard->vOpen[static_cast<size_t>(iIndex)])
            {
                gpBoard->vEnded.push_back(iIndex);
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    --gpBoard->nRunning;
    return 0;
}

void Open(int iIndex)
{
    std::lock_guard<std::mutex> guard(gpBoard->mtx);
    gpBoard->vOpen[static_cast<size_t>(iIndex)] = true;
}

TEST(ThreadPool, StopWithoutWorkersEndsAtOnce)
{
    TThreadPool* pPool = new TThreadPool;
    pPool->Stop();
    delete pPool;  // joins the waiting thread, which read the null handle
    SUCCEED();
}

TEST(ThreadPool, DestructorWaitsForEveryRunningWorker)
{
    TWorkerBoard board;
    board.vOpen.assign(3, false);
    gpBoard = &board;
    TWorkerArg args[3] = {{0}, {1}, {2}};
    std::atomic<bool> bDestroyed{false};
    std::thread owner([&] {
        TThreadPool pool;
        for (auto& arg : args)
            EXPECT_EQ(pool.CreateWorkThread(GatedWorker, &arg), 0);
        pool.Stop();
        // leaving the scope destroys the pool
    });
    std::thread watcher([&] { owner.join(); bDestroyed = true; });
    EXPECT_TRUE(WaitUntil([&] { return board.nRunning == 3; }, 5000));
    Open(2);
    Open(0);
    EXPECT_TRUE(WaitUntil([&] { std::lock_guard<std::mutex> g(board.mtx); return board.vEnded.size() == 2; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(bDestroyed.load());  // worker 1 still runs
    Open(1);
    watcher.join();
    EXPECT_TRUE(bDestroyed.load());
    EXPECT_EQ(board.nRunning.load(), 0);
    gpBoard = nullptr;
}

// The waiting thread takes the oldest handle out of the queue to join it, so
// with the oldest worker still running the queue holds the next 256 handles:
// 257 workers are outstanding and the 258th CreateWorkThread blocks (after its
// thread has started) until the oldest has been joined.
TEST(ThreadPool, CreateBlocksWhenTheQueueIsFullUntilTheOldestIsJoined)
{
    constexpr int kWorkers = TThreadPool::kCapacity + 2;
    TWorkerBoard board;
    board.vOpen.assign(kWorkers, false);
    gpBoard = &board;
    std::vector<TWorkerArg> vArgs(kWorkers);
    for (int i = 0; i < kWorkers; ++i)
        vArgs[static_cast<size_t>(i)].iIndex = i;
    // Every worker but the oldest may end at once; the oldest holds the queue.
    for (int i = 1; i < kWorkers; ++i)
        board.vOpen[static_cast<size_t>(i)] = true;

    TThreadPool pool;
    std::atomic<int> nCreated{0};
    std::thread producer([&] {
        for (int i = 0; i < kWorkers; ++i)
        {
            EXPECT_EQ(pool.CreateWorkThread(GatedWorker, &vArgs[static_cast<size_t>(i)]), 0);
            ++nCreated;
        }
    });
    // Every thread has run, the last one too, but its CreateWorkThread has not returned.
    bool bAllRan = WaitUntil([&] { std::lock_guard<std::mutex> g(board.mtx); return board.vEnded.size() == kWorkers - 1; },
                           60000);
    bool bCreatedBeforeLast = WaitUntil([&] { return nCreated == kWorkers - 1; }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int nBlocked = nCreated.load();
    Open(0);
    producer.join();
    pool.Stop();
    EXPECT_TRUE(bAllRan);
    EXPECT_TRUE(bCreatedBeforeLast);
    EXPECT_EQ(nBlocked, kWorkers - 1);
    EXPECT_EQ(nCreated.load(), kWorkers);
    gpBoard = nullptr;
}
}  // namespace
