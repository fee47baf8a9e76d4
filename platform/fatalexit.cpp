#include "platform/fatalexit.h"

#include <stdio.h>
#include <unistd.h>

#include <atomic>

namespace
{
std::atomic<void (*)()> pfnFatalReport{nullptr};
std::atomic<bool> bEnding{false};
}  // namespace

void SetFatalExitReport(void (*pfnReport)()) { pfnFatalReport = pfnReport; }

void FatalExit()
{
    if (bEnding.exchange(true))
    {
        // The first one sends its report and ends the process; should it not
        // get that far, this one ends it.
        sleep(5);
        _exit(255);
    }
    if (void (*pfnReport)() = pfnFatalReport.load())
        pfnReport();
    fflush(nullptr);
    _exit(255);
}
