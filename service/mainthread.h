// The service main thread: the whole life of one run of the service.
#pragma once

#include <ace/OS_NS_Thread.h>

#include <string>

// 1 in a foreground run ("-d"): the log file is opened but not attached, so
// every line stays on standard error. Set by the command line before the
// service starts.
extern int bDebugMode;

// Logs "Service start", opens the log file, reads the configuration, starts
// the TFTP service thread, the boot service thread and (with HTTP/Port) the
// HTTP service thread, reports the service running once all have bound their
// sockets, waits for evStop, joins them in that order, logs "Service down" and
// closes the log file. A bad configuration (or any exception during the
// start-up) ends the process with exit status -1.
void mainthread_proc();

// Opens the log file and the records file of the running service again by
// their names (after a rotation renamed them), and logs that it did. Any
// thread may call it; it does nothing before the log file exists or after it
// is closed.
void ReopenLogFiles();

// What mainthread_proc runs: the configuration reader, the service thread
// functions (each calls ServiceThreadBound once its sockets are bound) and the
// report that the service runs, with the status text naming the address and
// the ports served (tests give their own). The HTTP service thread is started
// after the other two, and only when gSettings.iHttpPort is set.
struct TServiceParts
{
    void (*pfnReadConfiguration)();
    ACE_THR_FUNC pfnTftpService;
    ACE_THR_FUNC pfnBootService;
    void (*pfnReady)(const std::string& strStatus);
    ACE_THR_FUNC pfnHttpService = nullptr;
};

void RunMainThread(const TServiceParts& parts);
