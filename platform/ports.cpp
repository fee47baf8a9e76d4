#include "platform/ports.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace
{
std::string ReadText(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

// The process of each socket inode, from the links of /proc/PID/fd.
void FindHolders(std::vector<TPortUser>& vUsers)
{
    DIR* pProc = opendir("/proc");
    if (pProc == nullptr)
        return;
    while (dirent* pEntry = readdir(pProc))
    {
        if (!isdigit(static_cast<unsigned char>(pEntry->d_name[0])))
            continue;
        const std::string strFds = std::string("/proc/") + pEntry->d_name + "/fd";
        DIR* pFds = opendir(strFds.c_str());
        if (pFds == nullptr)
            continue;
        while (dirent* pFd = readdir(pFds))
        {
            char szLink[64];
            const ssize_t n =
                readlink((strFds + "/" + pFd->d_name).c_str(), szLink, sizeof(szLink) - 1);
            if (n <= 0)
                continue;
            szLink[n] = '\0';
            unsigned long nInode = 0;
            if (sscanf(szLink, "socket:[%lu]", &nInode) != 1)
                continue;
            for (TPortUser& user : vUsers)
                if (user.nInode == nInode && user.iPid == 0)
                {
                    user.iPid = atoi(pEntry->d_name);
                    user.strProgram = ReadText(std::string("/proc/") + pEntry->d_name + "/comm");
                    while (!user.strProgram.empty() && user.strProgram.back() == '\n')
                        user.strProgram.pop_back();
                }
        }
        closedir(pFds);
    }
    closedir(pProc);
}

// "dnsmasq (pid 812)", or a word for a holder /proc does not show.
std::string Holder(const TPortUser& user)
{
    if (user.iPid == 0)
        return "a program this user cannot see (try as root)";
    return user.strProgram + " (pid " + std::to_string(user.iPid) + ")";
}
}  // namespace

std::vector<TPortUser> ParseUdpTable(const std::string& strTable, uint16_t nPort, bool bIpv6)
{
    // "  sl  local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
    // inode ...", the local address as the hexadecimal digits of the address
    // as stored, a colon and the port.
    std::vector<TPortUser> vUsers;
    std::istringstream in(strTable);
    std::string strLine;
    std::getline(in, strLine);  // the heading
    while (std::getline(in, strLine))
    {
        std::istringstream fields(strLine);
        std::string strSlot, strLocal, strSkip;
        TPortUser user;
        if (!(fields >> strSlot >> strLocal))
            continue;
        for (int i = 0; i < 7; ++i)
            fields >> strSkip;
        if (!(fields >> user.nInode))
            continue;
        const std::string::size_type nColon = strLocal.find(':');
        if (nColon == std::string::npos ||
            std::strtoul(strLocal.c_str() + nColon + 1, nullptr, 16) != nPort)
            continue;
        if (bIpv6)
            user.strAddress = "IPv6";
        else
        {
            in_addr addr;
            addr.s_addr = static_cast<in_addr_t>(
                std::strtoul(strLocal.substr(0, nColon).c_str(), nullptr, 16));
            char szAddress[INET_ADDRSTRLEN] = "";
            user.strAddress = inet_ntop(AF_INET, &addr, szAddress, sizeof(szAddress));
        }
        vUsers.push_back(user);
    }
    return vUsers;
}

std::vector<TPortUser> FindUdpPortUsers(uint16_t nPort)
{
    std::vector<TPortUser> vUsers = ParseUdpTable(ReadText("/proc/net/udp"), nPort, false);
    for (const TPortUser& user : ParseUdpTable(ReadText("/proc/net/udp6"), nPort, true))
        vUsers.push_back(user);
    FindHolders(vUsers);
    return vUsers;
}

std::string BindFailureText(uint16_t nPort, int iErrno, const std::vector<TPortUser>& vUsers)
{
    std::string strText = strerror(iErrno);
    if (!strText.empty())
        strText[0] = static_cast<char>(tolower(static_cast<unsigned char>(strText[0])));
    const std::string strPort = "UDP port " + std::to_string(nPort);
    if (iErrno == EACCES)
        return strText + ": " + strPort +
               " needs privilege; start as root or with CAP_NET_BIND_SERVICE";
    if (iErrno != EADDRINUSE)
        return strText + ": binding " + strPort;
    std::string strHolders;
    for (const TPortUser& user : vUsers)
    {
        const std::string strHolder = Holder(user);
        if (strHolders.find(strHolder) == std::string::npos)
            strHolders += (strHolders.empty() ? "" : ", ") + strHolder;
    }
    strText +=
        ": " + strPort + " is held by " + (strHolders.empty() ? "another program" : strHolders);
    if (nPort == 67)
        return strText + "; set BootServer/RunWithDhcp to yes to leave it to that server";
    return strText + "; stop it, or serve from a machine without it";
}

std::string BindFailureReason(uint16_t nPort, int iErrno)
{
    return BindFailureText(
        nPort, iErrno, iErrno == EADDRINUSE ? FindUdpPortUsers(nPort) : std::vector<TPortUser>());
}

int WaitForSocket(int sc, short iEvents, int iTimeoutMs)
{
    using TClock = std::chrono::steady_clock;
    const TClock::time_point tEnd = TClock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;)
    {
        int iLeftMs = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - TClock::now()).count());
        if (iLeftMs < 0)
            iLeftMs = 0;
        pollfd pfd = {sc, iEvents, 0};
        int iResult = ::poll(&pfd, 1, iLeftMs);
        if (iResult >= 0 || errno != EINTR)
            return iResult;
    }
}

int ConnectWithin(int sc, const sockaddr_in& addr, int iTimeoutMs)
{
    int iFlags = ::fcntl(sc, F_GETFL, 0);
    if (iFlags < 0 || ::fcntl(sc, F_SETFL, iFlags | O_NONBLOCK) < 0)
        return errno;
    if (::connect(sc, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        if (errno != EINPROGRESS)
            return errno;
        const int iReady = WaitForSocket(sc, POLLOUT, iTimeoutMs);
        if (iReady <= 0)
            return iReady == 0 ? ETIMEDOUT : errno;
        int iError = 0;
        socklen_t nLen = sizeof(iError);
        if (::getsockopt(sc, SOL_SOCKET, SO_ERROR, &iError, &nLen) != 0)
            return errno;
        if (iError != 0)
            return iError;
    }
    return ::fcntl(sc, F_SETFL, iFlags) == 0 ? 0 : errno;
}

int ProbeTcp(const std::string& strHost, uint16_t nPort, int iTimeoutMs)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    if (inet_aton(strHost.c_str(), &addr.sin_addr) == 0)
        return EINVAL;
    const int sc = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sc < 0)
        return errno;
    const int iResult = ConnectWithin(sc, addr, iTimeoutMs);
    ::close(sc);
    return iResult;
}
