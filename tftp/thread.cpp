#include "tftp/thread.h"

#include "core/logfile.h"
#include "platform/fatalexit.h"

#include <ace/Log_Msg.h>
#include <ace/Thread.h>

#include <climits>

TMPMC::TMPMC(int iCapacity)
    : lock(USYNC_THREAD),
      freeSlots(static_cast<unsigned int>(iCapacity), USYNC_THREAD, nullptr, nullptr, INT_MAX),
      usedSlots(0, USYNC_THREAD, nullptr, nullptr, INT_MAX), capacity(iCapacity), count(0), head(0),
      tail(0)
{
}

// Members go in reverse order: usedSlots, freeSlots, lock.
TMPMC::~TMPMC() = default;

int TMPMC::Put(void* pItem)
{
    freeSlots.acquire();
    lock.acquire();
    int iResult = WriteSlot(pItem);
    if (++tail == capacity)
        tail = 0;
    ++count;
    lock.release();
    usedSlots.release();
    return iResult;
}

int TMPMC::Get(void* pItem)
{
    usedSlots.acquire();
    lock.acquire();
    int iResult = ReadSlot(pItem);
    if (++head == capacity)
        head = 0;
    --count;
    lock.release();
    freeSlots.release();
    return iResult;
}

TThreadPool::TThreadPool() : TMPMC(kCapacity), threads(), waitingThread(0)
{
    if (ACE_OS::thr_create(WaitingThreadProc, this, 0, nullptr, &waitingThread, 0, nullptr, 0,
                           nullptr) != 0)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: TFTP create waiting thread at %D\n"));
        FatalExit();
    }
}

TThreadPool::~TThreadPool()
{
    if (waitingThread != 0)
        ACE_Thread::join(waitingThread);
}

int TThreadPool::CreateWorkThread(ACE_THR_FUNC pFunc, void* pArg)
{
    ACE_hthread_t hThread = 0;
    if (ACE_OS::thr_create(pFunc, pArg, 0, nullptr, &hThread, 0, nullptr, 0, nullptr) != 0)
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "TFTP create work thread at %D\n"));
        return -1;
    }
    Put(&hThread);
    return 0;
}

void TThreadPool::Stop()
{
    ACE_hthread_t hNull = 0;
    Put(&hNull);
}

ACE_THR_FUNC_RETURN TThreadPool::WaitingThreadProc(void* pArg)
{
    TThreadPool* pPool = static_cast<TThreadPool*>(pArg);
    for (;;)
    {
        ACE_hthread_t hThread = 0;
        pPool->Get(&hThread);
        if (hThread == 0)
            return 0;
        ACE_Thread::join(hThread);
    }
}

int TThreadPool::ReadSlot(void* pItem)
{
    *static_cast<ACE_hthread_t*>(pItem) = threads[head];
    return 0;
}

int TThreadPool::WriteSlot(void* pItem)
{
    threads[tail] = *static_cast<ACE_hthread_t*>(pItem);
    return 0;
}
