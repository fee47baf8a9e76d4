#include "console/consolequery.h"

#include "config/settings.h"
#include "core/logfile.h"
#include "core/metrics.h"
#include "platform/ports.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_strings.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace
{

// Time the console gets to accept the connection, and then to answer.
const int kConsoleWaitMs = 4000;
// One receive of at most this many bytes decides.
const size_t kMaxReply = 255;

const char kTaskTag[] = "Task:";

// Closes the console connection when the query ends, whatever the path.
class TSocketGuard
{
public:
    explicit TSocketGuard(int sc_) : sc(sc_) {}
    ~TSocketGuard() { Close(); }
    TSocketGuard(const TSocketGuard&) = delete;
    TSocketGuard& operator=(const TSocketGuard&) = delete;
    void Close()
    {
        if (sc >= 0)
            ::close(sc);
        sc = -1;
    }
    int Get() const { return sc; }

private:
    int sc;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Fills addr with the console's host and port from the settings.
bool ResolveConsole(sockaddr_in& addr)
{
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(ACE_OS::atoi(gSettings.strConsolePort.c_str())));
    if (::inet_aton(gSettings.strIpAddress.c_str(), &addr.sin_addr) != 0)
        return true;
    // getaddrinfo, unlike the old resolver call, is safe on many threads at once.
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    if (::getaddrinfo(gSettings.strIpAddress.c_str(), nullptr, &hints, &pResult) != 0 ||
        pResult == nullptr)
        return false;
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(pResult->ai_addr)->sin_addr;
    ::freeaddrinfo(pResult);
    return true;
}

}  // namespace

std::string FormatConsoleRequest(const std::string& mac, const std::string& ip)
{
    return "Length:0\r\nCompress:no\r\nVersion:3.0\r\nTaskID:0\r\nTaskType:"
           "PXEServerQuery\r\nAddress:" +
           mac + "\r\nIP:" + ip + "\r\n\r\n";
}

EConsoleReply ParseConsoleReply(const char* pData, size_t nLength, std::string& strText,
                                std::string& strWord)
{
    if (nLength > kMaxReply)
        nLength = kMaxReply;
    // A full buffer loses its last byte; a zero byte ends the text early.
    if (nLength == kMaxReply)
        --nLength;
    const void* pZero = std::memchr(pData, '\0', nLength);
    if (pZero != nullptr)
        nLength = static_cast<size_t>(static_cast<const char*>(pZero) - pData);
    strText.assign(pData, nLength);

    std::string::size_type nTag = strText.find(kTaskTag);
    if (nTag == std::string::npos)
        return EConsoleReply::NoTag;
    std::string::size_type nBegin = nTag + sizeof(kTaskTag) - 1;
    while (nBegin < strText.size() && IsBlank(strText[nBegin]))
        ++nBegin;
    std::string::size_type nEnd = nBegin;
    while (nEnd < strText.size() && !IsBlank(strText[nEnd]))
        ++nEnd;
    if (nEnd == nBegin)
        return EConsoleReply::NoWord;
    strWord.assign(strText, nBegin, nEnd - nBegin);
    return ACE_OS::strncasecmp(strWord.c_str(), "allnone", 7) == 0 ? EConsoleReply::NoTask
                                                                   : EConsoleReply::Task;
}

bool QueryConsoleTask(const std::string& mac, const std::string& ip, std::string& task)
{
    // How long the query took, whichever way it ends.
    struct TTimer
    {
        const std::chrono::steady_clock::time_point tStart = std::chrono::steady_clock::now();
        ~TTimer()
        {
            CountConsoleQuery(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - tStart)
                                  .count());
        }
    } timer;
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Info: Asking server for PXE tasks for %s...\n", mac.c_str()));

    TSocketGuard scConsole(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (scConsole.Get() < 0)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: socket() error at %D\n"));
        return false;
    }

    sockaddr_in addrConsole;
    if (!ResolveConsole(addrConsole))
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "Debug: unknow host %s at %D\n", gSettings.strIpAddress.c_str()));
        return false;
    }

    // Within kConsoleWaitMs: an unanswered attempt would otherwise hold the
    // calling worker for the system's own limit of about two minutes.
    if (const int iError = ConnectWithin(scConsole.Get(), addrConsole, kConsoleWaitMs))
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: can not connect to console at %D\n"));
        char szHost[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &addrConsole.sin_addr, szHost, sizeof(szHost));
        ACE_DEBUG((LM_ERROR,
                   LOG_PREFIX "Debug: the console at %s port %d does not answer: %s at %D\n",
                   szHost, ntohs(addrConsole.sin_port), strerror(iError)));
        return false;
    }

    // One send of the whole request; a console that has gone must not raise SIGPIPE.
    const std::string strRequest = FormatConsoleRequest(mac, ip);
    if (::send(scConsole.Get(), strRequest.data(), strRequest.size(), MSG_NOSIGNAL) == -1)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: send to console error at %D\n"));
        return false;
    }

    int iReady = WaitForSocket(scConsole.Get(), POLLIN, kConsoleWaitMs);
    if (iReady < 0)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: select error at %D\n"));
        return false;
    }
    if (iReady == 0)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Debug: timeout to console at %D\n"));
        return false;
    }

    char szReply[kMaxReply + 1];
    ssize_t nReceived = ::recv(scConsole.Get(), szReply, kMaxReply, 0);
    if (nReceived == 0)
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: console terminated at %D\n"));
        return false;
    }
    if (nReceived < 0)
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: recv failure at %D\n"));
        return false;
    }
    scConsole.Close();

    std::string strText, strWord;
    EConsoleReply eReply =
        ParseConsoleReply(szReply, static_cast<size_t>(nReceived), strText, strWord);
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: recv from console %s\n", strText.c_str()));
    switch (eReply)
    {
    case EConsoleReply::NoTag:
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: can not find tag \"Task:\"\n"));
        return false;
    case EConsoleReply::NoWord:
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Debug: can not task type \n"));
        return false;
    case EConsoleReply::NoTask:
        task.clear();
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Info: Returning false (%d) \n", 0));
        return false;
    case EConsoleReply::Task:
        break;
    }
    task = strWord;
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Info: Returning true (%d) \n", 1));
    return true;
}
