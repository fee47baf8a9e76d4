#include "service/mainthread.h"

#include "boot/bootservice.h"
#include "config/configuration.h"
#include "config/exception.h"
#include "service/logfile.h"
#include "service/stopevent.h"
#include "tftp/tftpd.h"

#include <ace/Log_Msg.h>
#include <ace/Thread.h>

#include <stdlib.h>

int bDebugMode = 0;

// Starts a joinable thread with default scheduling; false when it cannot be
// created (the service then runs without it).
static bool StartServiceThread(ACE_THR_FUNC pfnThread, ACE_hthread_t& hThread)
{
    return ACE_OS::thr_create(pfnThread, nullptr, 0, nullptr, &hThread) == 0;
}

void RunMainThread(const TServiceParts& parts)
{
    // Held by a plain pointer on purpose: the exit(-1) paths below leave it
    // alone, and the log stream stays usable for threads that log late.
    TLogFile* pLogFile = nullptr;
    try
    {
        // Written before the log file is attached: reaches standard error only.
        ACE_DEBUG((LM_INFO, "\n\n" LOG_PREFIX "Service start at %D\n"));
        pLogFile = new TLogFile(bDebugMode == 0);

        // The settings are complete before the first service thread exists.
        parts.pfnReadConfiguration();

        ACE_hthread_t hTftp{}, hBoot{};
        bool bTftp = StartServiceThread(parts.pfnTftpService, hTftp);
        bool bBoot = StartServiceThread(parts.pfnBootService, hBoot);

        evStop.wait();

        if (bTftp)
            ACE_Thread::join(hTftp);
        if (bBoot)
            ACE_Thread::join(hBoot);
        ACE_DEBUG((LM_INFO, LOG_PREFIX "Service down at %D\n"));
    }
    catch (TTiXmlException& e)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Error: Catch config file exception:%s in main thread at %D\n", e.Message()));
        exit(-1);
    }
    catch (...)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Error: Catch unknow exception in main thread at %D\n"));
        exit(-1);
    }
    delete pLogFile;
}

void mainthread_proc()
{
    RunMainThread({ReadConfiguration, tftpservice_proc, bootservice_proc});
}
