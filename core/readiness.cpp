#include "core/readiness.h"

#include <mutex>

namespace
{
std::mutex mtxReady;
int nMissing = 0;
std::function<void()> fnOnReady;
}  // namespace

void ExpectServiceThreads(int nThreads, std::function<void()> fnReady)
{
    std::lock_guard<std::mutex> lock(mtxReady);
    nMissing = nThreads;
    fnOnReady = std::move(fnReady);
}

void ServiceThreadBound()
{
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> lock(mtxReady);
        if (nMissing <= 0 || --nMissing > 0)
            return;
        fn.swap(fnOnReady);
    }
    if (fn)
        fn();
}
