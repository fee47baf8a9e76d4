#include "platform/servicemanager.h"

#include "platform/fatalexit.h"
#include "platform/programpath.h"
#include "platform/signals.h"
#include "platform/unitfile.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

extern char** environ;

// ---------------------------------------------------------------------------
// Files and processes

static bool ReadWholeFile(const std::string& strPath, std::string& strText)
{
    std::ifstream f(strPath, std::ios::binary);
    if (!f)
        return false;
    std::ostringstream s;
    s << f.rdbuf();
    strText = s.str();
    return !f.bad();
}

static bool WriteAll(int fd, const std::string& strText)
{
    size_t nDone = 0;
    while (nDone < strText.size())
    {
        ssize_t n = write(fd, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        nDone += (size_t)n;
    }
    return true;
}

// mkdir -p
static bool MakeFolders(const std::string& strFolder)
{
    std::string strPath;
    std::istringstream parts(strFolder);
    std::string strPart;
    if (!strFolder.empty() && strFolder[0] == '/')
        strPath = "/";
    while (std::getline(parts, strPart, '/'))
    {
        if (strPart.empty())
            continue;
        strPath += strPart;
        if (mkdir(strPath.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        strPath += "/";
    }
    struct stat st;
    return stat(strFolder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---------------------------------------------------------------------------
// TServiceManager

TServiceManager::~TServiceManager() = default;

void TServiceManager::name(const char* szName, const char* szDisplayName)
{
    strName = szName ? szName : "";
    strDisplayName = szDisplayName ? szDisplayName : strName;
}

std::string TServiceManager::UnitPath() const
{
    return std::string(kUnitFolder) + "/" + UnitName();
}

int TServiceManager::Systemctl(const std::vector<std::string>& vArgs)
{
    std::vector<char*> vArgv;
    vArgv.push_back(const_cast<char*>("systemctl"));
    for (const auto& s : vArgs)
        vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);

    // The child starts with no blocked signals and default dispositions,
    // whatever this process has set up for itself.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t setEmpty, setDefault;
    sigemptyset(&setEmpty);
    sigemptyset(&setDefault);
    sigaddset(&setDefault, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &setEmpty);
    posix_spawnattr_setsigdefault(&attr, &setDefault);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int iError = posix_spawnp(&pid, vArgv[0], nullptr, &attr, vArgv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (iError != 0)
    {
        errno = iError;
        return -1;
    }
    int iStatus = 0;
    while (waitpid(pid, &iStatus, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0 ? 0 : -1;
}

int TServiceManager::Reload() { return Systemctl({"daemon-reload"}); }

int TServiceManager::insert()
{
    std::string strExe;
    if (!GetModuleFileName(strExe))
        return -1;
    if (strName.empty() || !MakeFolders(kUnitFolder))
        return -1;

    std::string strPath = UnitPath();
    // O_EXCL: an existing unit is never overwritten.
    int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    bool bWritten = WriteAll(fd, MakeUnitText(strDisplayName, strExe));
    if (::close(fd) != 0)
        bWritten = false;
    if (!bWritten)
    {
        unlink(strPath.c_str());
        return -1;
    }
    return Reload();
}

int TServiceManager::remove()
{
    struct stat st;
    if (lstat(UnitPath().c_str(), &st) != 0)
        return -1;
    // Leaves no enablement links behind that point at a missing unit.
    Systemctl({"disable", UnitName()});
    if (unlink(UnitPath().c_str()) != 0)
        return -1;
    return Reload();
}

int TServiceManager::start_svc() { return Systemctl({"start", UnitName()}); }

int TServiceManager::stop_svc() { return Systemctl({"stop", UnitName()}); }

int TServiceManager::startup(unsigned long nStartType)
{
    switch (nStartType)
    {
    case SERVICE_AUTO_START:
        if (Systemctl({"unmask", UnitName()}) != 0)
            return -1;
        return Systemctl({"enable", UnitName()});
    case SERVICE_DEMAND_START:
        if (Systemctl({"unmask", UnitName()}) != 0)
            return -1;
        return Systemctl({"disable", UnitName()});
    case SERVICE_DISABLED:
        return Systemctl({"mask", UnitName()});
    default:
        return -1;
    }
}

int TServiceManager::QueryDependencies(std::vector<std::string>& vDependencies) const
{
    std::string strUnit;
    if (!ReadWholeFile(UnitPath(), strUnit))
        return -1;
    vDependencies = UnitDependencies(strUnit);
    return 0;
}

int TServiceManager::RewriteUnit(const std::string& strText)
{
    // Written beside the unit and renamed over it: a reader sees the old or
    // the new text, never half of it.
    std::string strTemp = UnitPath() + ".new";
    int fd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    bool bWritten = WriteAll(fd, strText);
    if (::close(fd) != 0)
        bWritten = false;
    if (!bWritten || rename(strTemp.c_str(), UnitPath().c_str()) != 0)
    {
        unlink(strTemp.c_str());
        return -1;
    }
    return 0;
}

int TServiceManager::AddDependency(const char* szService)
{
    std::string strUnit;
    if (szService == nullptr || !ReadWholeFile(UnitPath(), strUnit))
        return -1;
    // Wants, not Requires: the service starts without the other one when that
    // is not installed, and after it when it is.
    std::string strDependency = std::string(szService) + ".service";
    strUnit = UnitAddKey(strUnit, "Unit", "Wants", strDependency);
    strUnit = UnitAddKey(strUnit, "Unit", "After", strDependency);
    return RewriteUnit(strUnit);
}

int TServiceManager::SetDescription(const char* szDescription)
{
    std::string strUnit;
    if (szDescription == nullptr || !ReadWholeFile(UnitPath(), strUnit))
        return -1;
    return RewriteUnit(UnitSetKey(strUnit, "Unit", "X-Description", szDescription));
}

int TServiceManager::report_status(unsigned long nState, unsigned long nExitCode,
                                   const std::string& strStatus)
{
    if (!bConnected)
        return -1;
    std::string strState, strText;
    switch (nState)
    {
    case SERVICE_START_PENDING:
        strText = "Starting";
        break;
    case SERVICE_RUNNING:
        strState = "READY=1\n";
        strText = "Running";
        break;
    case SERVICE_STOP_PENDING:
        strState = "STOPPING=1\n";
        strText = "Stopping";
        break;
    case SERVICE_STOPPED:
        strText = "Stopped with exit code " + std::to_string(nExitCode);
        break;
    default:
        return -1;
    }
    strState += "STATUS=" + (strStatus.empty() ? strText : strStatus);
    return sd_notify(0, strState.c_str()) > 0 ? 0 : -1;
}

namespace
{
// The status for an end while svc runs: a fatal error may end the process on
// any thread, and FatalExit sends it first.
std::mutex mtxExitStatus;
std::string strExitStatus;
std::atomic<bool> bInService{false};

void SendExitStatus()
{
    if (!bInService)
        return;
    std::lock_guard<std::mutex> lock(mtxExitStatus);
    if (!strExitStatus.empty())
        sd_notify(0, ("STATUS=" + strExitStatus).c_str());
}
}  // namespace

void TServiceManager::SetExitStatus(const std::string& strStatus)
{
    std::lock_guard<std::mutex> lock(mtxExitStatus);
    strExitStatus = strStatus;
}

// A service run stops on SIGTERM and SIGINT; SIGHUP, sent after a rotation of
// its log, makes it reopen its files.
static void ServiceSignal(int iSignal, void* pArg)
{
    static_cast<TServiceManager*>(pArg)->handle_control(iSignal == SIGHUP ? SERVICE_CONTROL_REOPEN
                                                                          : SERVICE_CONTROL_STOP);
}

int TServiceManager::StartDispatcher()
{
    const char* szSocket = getenv("NOTIFY_SOCKET");
    if (szSocket == nullptr || *szSocket == '\0')
    {
        errno = ENOTCONN;
        return -1;
    }
    SetFatalExitReport(SendExitStatus);
    // Set before the signal thread exists, cleared after it is joined: the
    // thread reads it without a lock.
    bConnected = true;
    TSignalThread signals;
    if (signals.Start(ServiceSignal, this) != 0)
    {
        bConnected = false;
        return -1;
    }
    open();
    signals.Stop();
    bConnected = false;
    return 0;
}

int TServiceManager::open()
{
    report_status(SERVICE_START_PENDING);
    bInService = bConnected;
    int iResult = svc();
    bInService = false;
    report_status(SERVICE_STOPPED, (unsigned long)iResult);
    return iResult;
}

int TServiceManager::svc() { return 0; }

void TServiceManager::handle_control(unsigned long nControl)
{
    if (nControl == SERVICE_CONTROL_STOP || nControl == SERVICE_CONTROL_SHUTDOWN)
        report_status(SERVICE_STOP_PENDING);
}
