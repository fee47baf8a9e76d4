#include "platform/signals.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

static sigset_t StopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

static bool BlockStopSignals()
{
    signal(SIGPIPE, SIG_IGN);
    sigset_t set = StopSignalSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

TSignalThread::~TSignalThread() { Stop(); }

int TSignalThread::Start(PFN_HANDLER pfn, void* pArg)
{
    if (bRunning)
        return -1;
    if (!BlockStopSignals())
        return -1;
    pfnHandler = pfn;
    pHandlerArg = pArg;
    bQuit = false;
    if (pthread_create(&tidSignal, nullptr, signal_proc, this) != 0)
        return -1;
    bRunning = true;
    return 0;
}

void TSignalThread::Stop()
{
    if (!bRunning)
        return;
    bQuit = true;
    // Wakes the thread out of sigwaitinfo; it sees bQuit and leaves without
    // calling the handler.
    pthread_kill(tidSignal, SIGTERM);
    pthread_join(tidSignal, nullptr);
    bRunning = false;
}

void* TSignalThread::signal_proc(void* pArg)
{
    TSignalThread* pThis = static_cast<TSignalThread*>(pArg);
    sigset_t set = StopSignalSet();
    while (!pThis->bQuit)
    {
        siginfo_t info;
        int iSignal = sigwaitinfo(&set, &info);
        if (iSignal < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        if (pThis->bQuit)
            break;
        pThis->pfnHandler(iSignal, pThis->pHandlerArg);
    }
    return nullptr;
}

TSignalDescriptor::TSignalDescriptor()
{
    sigset_t set = StopSignalSet();
    fd = BlockStopSignals() ? signalfd(-1, &set, SFD_CLOEXEC) : -1;
}

TSignalDescriptor::~TSignalDescriptor()
{
    if (fd >= 0)
        close(fd);
}

int TSignalDescriptor::Take()
{
    signalfd_siginfo info;
    if (fd < 0 || read(fd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
        return 0;
    return static_cast<int>(info.ssi_signo);
}
