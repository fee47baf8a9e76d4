#include "testutil.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

TTempDir::TTempDir()
{
    char szTemplate[] = "/tmp/pxetest-XXXXXX";
    if (mkdtemp(szTemplate) != nullptr)
        strPath = szTemplate;
}

TTempDir::~TTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(strPath, ec);
}

void WriteFile(const std::string& strPath, const std::string& strContent)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strContent;
}

std::string ReadFile(const std::string& strPath)
{
    std::ostringstream s;
    s << std::ifstream(strPath, std::ios::binary).rdbuf();
    return s.str();
}

int CountOf(const std::string& strText, const std::string& strWhat)
{
    int n = 0;
    for (size_t i = strText.find(strWhat); i != std::string::npos; i = strText.find(strWhat, i + 1))
        ++n;
    return n;
}

// Waits up to iTimeoutMs for a child to end by itself. Returns its exit status,
// 128+signal for a signalled child, -2 when it did not end, -1 on error.
static int WaitProcess(pid_t pid, int iTimeoutMs)
{
    int iStatus = 0;
    pid_t r = 0;
    if (!WaitUntil([&] { return (r = waitpid(pid, &iStatus, WNOHANG)) != 0; }, iTimeoutMs))
        return -2;
    return r < 0 ? -1 : WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
}

// Sends iSignal to pid (a negative pid: to its group), then SIGKILL when it has not ended
// within iTimeoutMs.
static int StopProcess(pid_t pid, int iSignal, int iTimeoutMs)
{
    if (pid == 0 || pid == -1)
        return -1;
    kill(pid, iSignal);
    const int r = WaitProcess(abs(pid), iTimeoutMs);
    return r != -2 ? r : (kill(pid, SIGKILL), WaitProcess(abs(pid), 5000));
}

// Starts vArgs in a process group of its own in strNamespace (none: this one), with stdin from
// /dev/null and stdout and stderr into fdOut, or else strLogFile (appended), or else /dev/null.
static pid_t Spawn(const std::vector<std::string>& vArgs, const std::string& strLogFile,
                   const std::string& strNamespace, int fdOut)
{
    // Everything the child needs is made before fork: a threaded test process may hold the
    // allocator's lock at that moment.
    std::vector<char*> vArgv;
    for (const auto& s : vArgs)
        vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);
    const std::string strNsPath = "/var/run/netns/" + strNamespace;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    setpgid(0, 0);
    const int fdNs = strNamespace.empty() ? -1 : open(strNsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (!strNamespace.empty() && (fdNs < 0 || setns(fdNs, CLONE_NEWNET) != 0))
        _exit(126);
    if (fdOut < 0 && !strLogFile.empty())
        fdOut = open(strLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fdOut < 0)
        fdOut = open("/dev/null", O_WRONLY);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(fdOut, 1);
    dup2(fdOut, 2);
    execvp(vArgv[0], vArgv.data());
    _exit(127);
}

int RunCommand(const std::string& strCommand, std::string* pOutput, int iTimeoutSec,
               const std::string& strNs)
{
    char szOutput[] = "/tmp/pxetest-out-XXXXXX";
    const int fd = mkostemp(szOutput, O_CLOEXEC);
    const pid_t pid = fd < 0 ? -1 : Spawn({"/bin/sh", "-c", strCommand}, "", strNs, fd);
    close(fd);
    // The group holds whatever the command started in the background too.
    int r = pid < 0 ? -1 : WaitProcess(pid, iTimeoutSec * 1000);
    if (r == -2)
        r = StopProcess(-pid, SIGKILL, 5000);
    if (pOutput)
        *pOutput = ReadFile(szOutput);
    unlink(szOutput);
    return r;
}

bool WaitUntil(const std::function<bool()>& fnDone, int iTimeoutMs)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (!fnDone())
    {
        if (std::chrono::steady_clock::now() >= tEnd)
            return false;
        usleep(20000);
    }
    return true;
}

std::string BuiltProgram(const std::string& strName)
{
    const std::string strTool = std::string(PXE_BINARY_DIR) + "/tools/" + strName;
    return access(strTool.c_str(), X_OK) == 0 ? strTool
                                              : std::string(PXE_BINARY_DIR) + "/" + strName;
}

// scripts/lab.sh makes and removes the lab "pxt<pid>n<k>": namespaces "pxt<pid>n<k>s" and
// "pxt<pid>n<k>c", each holding its end of the veth pair under its own name. Labs left behind
// by a run that died are removed when their pid is gone.
static int Lab(const std::string& strArgs, std::string* pOutput = nullptr)
{
    return RunCommand("bash " PXE_SOURCE_DIR "/scripts/lab.sh " + strArgs + " 2>&1", pOutput);
}

TNetLab::TNetLab()
{
    static std::atomic<int> nLabs{0};
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(
             "/var/run/netns", std::filesystem::directory_options::skip_permission_denied, ec))
    {
        int iPid = 0;
        const std::string strNs = e.path().filename();
        if (sscanf(strNs.c_str(), "pxt%dn", &iPid) == 1 && iPid > 0 && kill(iPid, 0) != 0 &&
            errno == ESRCH)
            RunCommand("ip netns del " + strNs + " 2>/dev/null");
    }
    const std::string strName = "pxt" + std::to_string(getpid()) + "n" + std::to_string(nLabs++);
    strServerNs = strName + "s";
    strClientNs = strName + "c";
    std::string strOut;
    bOk = Lab("up " + strName, &strOut) == 0;
    if (!bOk)
        fprintf(stderr, "TNetLab: set-up failed: %s\n", strOut.c_str());
}

TNetLab::~TNetLab()
{
    for (pid_t pid : vPids)
        StopProcess(pid, SIGKILL, 2000);
    Lab("down " + strServerNs.substr(0, strServerNs.size() - 1));
}

pid_t TNetLab::Spawn(const std::string& strNs, const std::vector<std::string>& vArgs,
                     const std::string& strLogFile)
{
    const pid_t pid = ::Spawn(vArgs, strLogFile, strNs, -1);
    if (pid > 0)
        vPids.push_back(pid);
    return pid;
}

int TNetLab::Stop(pid_t pid, int iSignal, int iTimeoutMs)
{
    vPids.erase(std::remove(vPids.begin(), vPids.end(), pid), vPids.end());
    return pid > 0 ? StopProcess(pid, iSignal, iTimeoutMs) : -1;
}

bool TNetLab::Enter(const std::string& strNs)
{
    const int fd = open(("/var/run/netns/" + strNs).c_str(), O_RDONLY | O_CLOEXEC);
    const bool bOk = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return bOk;
}

void TNetLab::RunIn(const std::string& strNs, const std::function<void()>& fn)
{
    std::thread t([&] {
        if (Enter(strNs))
            fn();
        else
            fprintf(stderr, "TNetLab: cannot enter %s\n", strNs.c_str());
    });
    t.join();
}
