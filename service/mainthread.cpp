#include "service/mainthread.h"

#include "boot/bootservice.h"
#include "boot/dhcp.h"
#include "config/check.h"
#include "config/configuration.h"
#include "config/exception.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "platform/fatalexit.h"
#include "platform/privileges.h"
#include "core/logfile.h"
#include "core/readiness.h"
#include "core/records.h"
#include "service/service.h"
#include "core/stopevent.h"
#include "http/httpd.h"
#include "tftp/packet.h"
#include "tftp/tftpd.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <ace/Thread.h>
#include <ace/Time_Value.h>

#include <stdlib.h>

#include <mutex>
#include <string>

int bDebugMode = 0;

namespace
{
// The log file of the run, for ReopenLogFiles on the signal thread.
std::mutex mtxLogFile;
TLogFile* pRunLogFile = nullptr;

void ShareLogFile(TLogFile* pLogFile)
{
    std::lock_guard<std::mutex> lock(mtxLogFile);
    pRunLogFile = pLogFile;
}

// Keeps the latest error line of the threads it is installed on (without its
// "(pid:...) (File:...) " prefix) as the status that the service manager
// shows when the process ends on a fatal error.
// A "Reason: " line that follows is added to the error line it explains.
class TErrorLineKeeper : public ACE_Log_Msg_Callback
{
public:
    void log(ACE_Log_Record& record) override
    {
        if (record.type() != LM_ERROR)
            return;
        std::string strLine = record.msg_data();
        std::string::size_type nText = strLine.find(") ", strLine.find("|Line:"));
        if (nText != std::string::npos)
            strLine.erase(0, nText + 2);
        while (!strLine.empty() && strLine.back() == '\n')
            strLine.pop_back();
        // One keeper serves every thread: each has its own last line.
        static thread_local std::string strLast;
        static const std::string kReason = "Reason: ";
        if (strLine.compare(0, kReason.size(), kReason) == 0 && !strLast.empty())
            strLine = strLast + " - " + strLine.substr(kReason.size());
        else
            strLast = strLine;
        TServiceManager::SetExitStatus(strLine);
    }
};

// Installs the keeper on the calling thread; returns the callback it had.
ACE_Log_Msg_Callback* KeepErrorLines()
{
    static TErrorLineKeeper keeper;
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    pLog->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    return pLog->msg_callback(&keeper);
}

// A service thread function (the argument) run with its error lines kept.
ACE_THR_FUNC_RETURN servicethread_proc(void* pArg)
{
    KeepErrorLines();
    return reinterpret_cast<ACE_THR_FUNC>(pArg)(nullptr);
}

// Starts a joinable thread with default scheduling; false when it cannot be
// created (the service then runs without it, and is never reported ready).
bool StartServiceThread(ACE_THR_FUNC pfnThread, ACE_hthread_t& hThread)
{
    void* pArg = reinterpret_cast<void*>(pfnThread);
    return ACE_OS::thr_create(servicethread_proc, pArg, 0, nullptr, &hThread) == 0;
}

// "Running on 198.18.0.1, UDP ports 67, 4011 and 69" (and ", TCP port 8080"
// with the HTTP server); port 67 is not served beside a DHCP server, and with
// no interface configured every one is.
std::string ServingStatus()
{
    const std::string& strIp = gSettings.strIpAddress;
    std::string strPorts = std::to_string(kBinlPort);
    if (!gSettings.bRunWithDhcp)
        strPorts = std::to_string(kDhcpServerPort) + ", " + strPorts;
    std::string strStatus = "Running on " + (bAnyNic ? "every interface (" + strIp + ")" : strIp) +
                            ", UDP ports " + strPorts + " and " + std::to_string(kTftpPort);
    if (gSettings.iHttpPort != 0)
        strStatus += ", TCP port " + std::to_string(gSettings.iHttpPort);
    return strStatus;
}

// Once the ports are bound, the configured user (if any) takes over from root;
// failing that, the service must not run at all.
void RunAsServiceUser()
{
    const std::string& strUser = gSettings.strServiceUser;
    std::string strWhy;
    if (!DropPrivileges(strUser, strWhy))
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: can not run as user %s: %s at %D\n",
                   strUser.c_str(), strWhy.c_str()));
        FatalExit();
    }
    ACE_DEBUG((LM_INFO, LOG_PREFIX "Running as user %s at %D\n", strUser.c_str()));
}

void ReportRunning(const std::string& strStatus)
{
    SERVICE::instance()->report_status(SERVICE_RUNNING, 0, strStatus);
}
}  // namespace

void RunMainThread(const TServiceParts& parts)
{
    // Held by a plain pointer on purpose: the fatal paths below leave it
    // alone, and the log stream stays usable for threads that log late.
    TLogFile* pLogFile = nullptr;
    ACE_Log_Msg_Callback* pOldCallback = KeepErrorLines();
    try
    {
        // Written before the log file is attached: reaches standard error only.
        ACE_DEBUG((LM_INFO, "\n\n" LOG_PREFIX "Service start at %D\n"));
        pLogFile = new TLogFile(bDebugMode == 0);
        ShareLogFile(pLogFile);

        // The settings are complete before the first service thread exists.
        parts.pfnReadConfiguration();
        // Without its records the service still boots its clients.
        if (gRecords.Open(gSettings.strLogRecords, gSettings.bLogJournal) != 0)
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: records file %s cannot be opened at %D\n",
                       gSettings.strLogRecords.c_str()));

        // Ready once every service thread has its sockets, not before; the HTTP
        // server runs only when its port is set. With a user to run as, no thread
        // serves until the process runs as it.
        const bool bWithHttp = gSettings.iHttpPort != 0 && parts.pfnHttpService != nullptr;
        const bool bDrop = !gSettings.strServiceUser.empty();
        ExpectServiceThreads(
            bWithHttp ? 3 : 2,
            [&parts, bDrop] {
                if (bDrop)
                    RunAsServiceUser();
                ACE_Time_Value tvZero(0);
                if (parts.pfnReady != nullptr && evStop.wait(&tvZero, 0) == -1)
                    parts.pfnReady(ServingStatus());
            },
            bDrop);
        ACE_hthread_t hTftp{}, hBoot{}, hHttp{};
        bool bTftp = StartServiceThread(parts.pfnTftpService, hTftp);
        bool bBoot = StartServiceThread(parts.pfnBootService, hBoot);
        bool bHttp = bWithHttp && StartServiceThread(parts.pfnHttpService, hHttp);

        evStop.wait();
        // A thread held for one that never reported goes on to see the stop.
        ExpectServiceThreads(0, nullptr);

        if (bTftp)
            ACE_Thread::join(hTftp);
        if (bBoot)
            ACE_Thread::join(hBoot);
        if (bHttp)
            ACE_Thread::join(hHttp);
        ACE_DEBUG((LM_INFO, LOG_PREFIX "Service down at %D\n"));
    }
    catch (TTiXmlException& e)
    {
        ACE_DEBUG((LM_ERROR,
                   LOG_PREFIX "Error: Catch config file exception:%s in main thread at %D\n",
                   e.Message()));
        const std::string strReason = DescribeXmlFault(e);
        if (!strReason.empty())
            LOG_REASON(strReason);
        FatalExit();
    }
    catch (...)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Error: Catch unknow exception in main thread at %D\n"));
        try
        {
            throw;
        }
        catch (const TSettingFault& e)
        {
            if (!e.strReason.empty())
                LOG_REASON(e.strReason);
        }
        catch (...)
        {
        }
        FatalExit();
    }
    gRecords.Close();
    ShareLogFile(nullptr);
    delete pLogFile;
    ACE_Log_Msg::instance()->msg_callback(pOldCallback);
}

void ReopenLogFiles()
{
    std::lock_guard<std::mutex> lock(mtxLogFile);
    if (pRunLogFile == nullptr)
        return;
    // The calling thread (the signal thread, which ACE did not create) writes
    // its own line into the file too.
    if (bDebugMode == 0)
        ACE_Log_Msg::instance()->msg_ostream(pRunLogFile);
    if (pRunLogFile->Reopen() == 0)
        ACE_DEBUG((LM_INFO, LOG_PREFIX "Log file reopened at %D\n"));
    else
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: log file %s cannot be reopened at %D\n",
                   pRunLogFile->FileName().c_str()));
    if (gRecords.Reopen() != 0)
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: records file %s cannot be reopened at %D\n",
                   gSettings.strLogRecords.c_str()));
}

void mainthread_proc()
{
    RunMainThread({ReadAndCheckConfiguration, tftpservice_proc, bootservice_proc, ReportRunning,
                   httpservice_proc});
}
