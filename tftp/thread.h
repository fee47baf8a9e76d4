// A bounded first-in first-out queue for several producers and consumers, and
// the thread pool of the TFTP server built on it.
#pragma once

#include <ace/Mutex.h>
#include <ace/Semaphore.h>
#include <ace/OS_NS_Thread.h>

// The queue keeps the synchronisation and the indices; the derived class keeps
// the items. ReadSlot/WriteSlot are called with lock held and never move the
// indices themselves.
class TMPMC
{
public:
    explicit TMPMC(int iCapacity);
    virtual ~TMPMC();

    TMPMC(const TMPMC&) = delete;
    TMPMC& operator=(const TMPMC&) = delete;

    // Blocks while the queue is full; returns the result of WriteSlot.
    int Put(void* pItem);
    // Blocks while the queue is empty; returns the result of ReadSlot.
    int Get(void* pItem);

protected:
    virtual int ReadSlot(void* pItem) = 0;   // copy slot head out to pItem
    virtual int WriteSlot(void* pItem) = 0;  // store *pItem into slot tail

    ACE_Mutex lock;
    ACE_Semaphore freeSlots;
    ACE_Semaphore usedSlots;
    int capacity;
    int count;
    int head;
    int tail;
};

// Runs every worker on a thread of its own and joins the workers, in the
// order of their creation, on a waiting thread of its own. At most 256
// workers are outstanding (running, or ended but not yet joined); the next
// CreateWorkThread blocks until the oldest has been joined. Stop must be
// called before destruction; the destructor then waits for every worker.
class TThreadPool : public TMPMC
{
public:
    static constexpr int kCapacity = 256;

    TThreadPool();
    ~TThreadPool() override;

    // 0 when the thread was created and queued, -1 when it could not be created.
    int CreateWorkThread(ACE_THR_FUNC pFunc, void* pArg);
    // Queues the null handle: the waiting thread ends after every worker before it.
    void Stop();

    static ACE_THR_FUNC_RETURN WaitingThreadProc(void* pArg);

protected:
    int ReadSlot(void* pItem) override;
    int WriteSlot(void* pItem) override;

    ACE_hthread_t threads[kCapacity];
    ACE_hthread_t waitingThread;
};
