// Stop signals (SIGINT, SIGTERM, SIGHUP) taken on a thread of their own, or
// from a descriptor by a program that waits in one poll loop.
//
// The signals are blocked in the calling thread, and so in every thread it
// creates afterwards; a signal thread waits for them with sigwaitinfo and
// calls the handler in ordinary thread context, where it may log, lock and
// signal events freely.
#pragma once

#include <pthread.h>

#include <atomic>

class TSignalThread
{
public:
    typedef void (*PFN_HANDLER)(int iSignal, void* pArg);

    TSignalThread() = default;
    ~TSignalThread();
    TSignalThread(const TSignalThread&) = delete;
    TSignalThread& operator=(const TSignalThread&) = delete;

    // Blocks the stop signals in the calling thread (and so in every thread
    // it creates afterwards: call it before any other thread is created),
    // ignores SIGPIPE (a peer that went away must not end the process) and
    // starts the thread; pfnHandler is called on it once per signal
    // received. 0, or -1 when the thread cannot start.
    int Start(PFN_HANDLER pfnHandler, void* pArg);
    // Ends the thread and joins it; a handler call under way is finished first.
    void Stop();

private:
    // A plain thread, not one of ACE's: until a signal arrives it touches no
    // state of ACE's, so the end of the process on another thread never
    // tears ACE down under its feet.
    static void* signal_proc(void* pArg);

    PFN_HANDLER pfnHandler = nullptr;
    void* pHandlerArg = nullptr;
    std::atomic<bool> bQuit{false};
    bool bRunning = false;
    pthread_t tidSignal{};
};

// The same signals as a descriptor that poll sees readable while one is
// pending; for a single-threaded program.
class TSignalDescriptor
{
public:
    // Blocks the stop signals in the calling thread and ignores SIGPIPE, as
    // TSignalThread::Start does.
    TSignalDescriptor();
    ~TSignalDescriptor();
    TSignalDescriptor(const TSignalDescriptor&) = delete;
    TSignalDescriptor& operator=(const TSignalDescriptor&) = delete;

    // For poll with POLLIN; -1 when none could be made.
    int Descriptor() const { return fd; }
    // The number of the signal that made the descriptor readable, 0 if none.
    int Take();

private:
    int fd;
};
