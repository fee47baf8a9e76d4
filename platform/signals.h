// Stop signals (SIGINT, SIGTERM, SIGHUP) taken on a thread of their own.
//
// The signals are blocked in the calling thread, and so in every thread it
// creates afterwards; a signal thread waits for them with sigwaitinfo and
// calls the handler in ordinary thread context, where it may log, lock and
// signal events freely.
#pragma once

#include <ace/OS_NS_Thread.h>

#include <atomic>

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and ignores SIGPIPE
// (a peer that went away must not end the process). Call before any thread
// is created. False when the mask cannot be set.
bool BlockStopSignals();

class TSignalThread
{
public:
    typedef void (*PFN_HANDLER)(int iSignal, void* pArg);

    TSignalThread() = default;
    ~TSignalThread();
    TSignalThread(const TSignalThread&) = delete;
    TSignalThread& operator=(const TSignalThread&) = delete;

    // Blocks the stop signals and starts the thread; pfnHandler is called on
    // it once per signal received. 0, or -1 when the thread cannot start.
    int Start(PFN_HANDLER pfnHandler, void* pArg);
    // Ends the thread and joins it; a handler call under way is finished first.
    void Stop();

private:
    static ACE_THR_FUNC_RETURN signal_proc(void* pArg);

    PFN_HANDLER pfnHandler = nullptr;
    void* pHandlerArg = nullptr;
    std::atomic<bool> bQuit{false};
    bool bRunning = false;
    ACE_thread_t tidSignal{};
    ACE_hthread_t hSignal{};
};
