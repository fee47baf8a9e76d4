#include "core/readiness.h"

#include <condition_variable>
#include <mutex>

namespace
{
std::mutex mtxReady;
std::condition_variable cvReleased;
int nMissing = 0;
bool bHoldThreads = false;
unsigned nRound = 0;  // changes when held threads may go on
std::function<void()> fnOnReady;

void Release()
{
    {
        std::lock_guard<std::mutex> lock(mtxReady);
        ++nRound;
    }
    cvReleased.notify_all();
}
}  // namespace

void ExpectServiceThreads(int nThreads, std::function<void()> fnReady, bool bHold)
{
    {
        std::lock_guard<std::mutex> lock(mtxReady);
        nMissing = nThreads;
        fnOnReady = std::move(fnReady);
        bHoldThreads = bHold;
    }
    Release();
}

void ServiceThreadBound()
{
    std::function<void()> fn;
    {
        std::unique_lock<std::mutex> lock(mtxReady);
        if (nMissing <= 0)
            return;
        if (--nMissing > 0)
        {
            const unsigned nHeld = nRound;
            if (bHoldThreads)
                cvReleased.wait(lock, [nHeld] { return nRound != nHeld; });
            return;
        }
        fn.swap(fnOnReady);
    }
    if (fn)
        fn();
    Release();
}
