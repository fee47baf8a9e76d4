// Helpers shared by the tests: temporary folders, files, child processes and
// a lab of two network namespaces joined by a veth pair.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with everything in it on destruction.
class TTempDir
{
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return strPath; }
    // Path of a name inside the folder.
    std::string operator/(const std::string& strName) const { return strPath + "/" + strName; }

private:
    std::string strPath;
};

void WriteFile(const std::string& strPath, const std::string& strContent);
std::string ReadFile(const std::string& strPath);  // empty when missing
// How often strWhat occurs in strText (overlapping occurrences each count).
int CountOf(const std::string& strText, const std::string& strWhat);

// Runs "sh -c strCommand" in the network namespace strNs ("": this one), bounded by iTimeoutSec
// (then killed). Output (stdout and stderr) in *pOutput when given. Returns the exit status, or -1.
int RunCommand(const std::string& strCommand, std::string* pOutput = nullptr, int iTimeoutSec = 60,
               const std::string& strNs = "");

// Polls fnDone every 20 ms for up to iTimeoutMs.
bool WaitUntil(const std::function<bool()>& fnDone, int iTimeoutMs);

// Path of a program built by this tree (tools and pxeservice).
std::string BuiltProgram(const std::string& strName);

// Two network namespaces, server and client, joined by a veth pair: the
// server side has 198.18.0.1/24, the client side 198.18.0.2/24, loopback is up
// in both; each veth end is named like the namespace that holds it. Everything
// is torn down on destruction (processes by pid first).
class TNetLab
{
public:
    static constexpr const char* kServerIp = "198.18.0.1";
    static constexpr const char* kClientIp = "198.18.0.2";

    TNetLab();
    ~TNetLab();
    TNetLab(const TNetLab&) = delete;
    TNetLab& operator=(const TNetLab&) = delete;

    bool Ok() const { return bOk; }
    const std::string& ServerNs() const { return strServerNs; }
    const std::string& ClientNs() const { return strClientNs; }

    // Runs a shell command inside a namespace (see RunCommand).
    int Run(const std::string& strNs, const std::string& strCommand, std::string* pOutput = nullptr,
            int iTimeoutSec = 60)
    {
        return RunCommand(strCommand, pOutput, iTimeoutSec, strNs);
    }
    // Starts a process inside a namespace with stdout and stderr into strLogFile
    // (none when empty); stopped and reaped by the destructor at the latest.
    pid_t Spawn(const std::string& strNs, const std::vector<std::string>& vArgs,
                const std::string& strLogFile);
    // Sends iSignal, waits up to iTimeoutMs, then SIGKILLs; see WaitProcess.
    int Stop(pid_t pid, int iSignal = 15, int iTimeoutMs = 5000);

    // Runs fn on a new thread that has entered the namespace, and waits for it.
    // Sockets fn creates belong to that namespace.
    static void RunIn(const std::string& strNs, const std::function<void()>& fn);
    // Moves the calling thread into the namespace. False on failure.
    static bool Enter(const std::string& strNs);

private:
    bool bOk = false;
    std::string strServerNs, strClientNs;
    std::vector<pid_t> vPids;
};
