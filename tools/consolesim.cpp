// consolesim: a stand-in for the management console, for tests, demos and
// for checking a boot set-up without the real console.
//
//   consolesim --port N [--bind ADDR] [--map FILE] [--default REPLY] [--log FILE]
//
// It accepts TCP connections, reads one task query per connection (a block of
// "Name:value" lines ended by an empty line), looks the "Address:" value up in
// the map and answers with the reply found there, or with the default reply
// (initially "allnone") for a client that is not in the map; then it closes
// the connection. Every query gives one log line
//   consolesim: received mac=<mac> ip=<ip> from=<peer> reply=<reply>
//   (<mac> written as aa:bb:cc:dd:ee:ff whatever way the query wrote it).
// The map file holds one "MAC reply" per line (MAC as aa:bb:cc:dd:ee:ff or
// aa-bb-cc-dd-ee-ff, any case); blank lines and lines starting with '#' are
// skipped. A reply is one of:
//   a task word, e.g. dos, Linux, none, allnone: sent as "Task:<word>\r\n\r\n";
//   a text holding "Task:": sent as it stands, after \r \n \t \0 \\ are decoded;
//   @close:  the connection is closed without a reply;
//   @silent: no reply; the connection is held until the client closes it.
// SIGHUP reads the map again (a bad map keeps the old one), SIGTERM and SIGINT
// stop the program. --port 0 takes any free port; the "listening on" line
// names it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/signals.h"

namespace
{

typedef std::chrono::steady_clock TClock;

const size_t kMaxRequest = 4096;        // a longer request is answered from what arrived
const size_t kMaxConnections = 1000;    // more wait in the listen queue
const int kConnectionLifetimeSec = 30;  // a connection is closed after this at the latest

FILE* gLog = stdout;

void Log(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* szFormat, ...)
{
    char szTime[32];
    time_t t = time(nullptr);
    tm tmNow;
    localtime_r(&t, &tmNow);
    strftime(szTime, sizeof(szTime), "%Y-%m-%d %H:%M:%S", &tmNow);
    fprintf(gLog, "%s consolesim: ", szTime);
    va_list args;
    va_start(args, szFormat);
    vfprintf(gLog, szFormat, args);
    va_end(args);
    fputc('\n', gLog);
    fflush(gLog);
}

// Text safe for one log line: control and non-ASCII bytes as \xHH.
std::string Printable(const std::string& str)
{
    std::string strOut;
    for (unsigned char c : str)
    {
        if (c == '\r')
            strOut += "\\r";
        else if (c == '\n')
            strOut += "\\n";
        else if (c == '\\')
            strOut += "\\\\";
        else if (c < 0x20 || c >= 0x7f)
        {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\x%02x", c);
            strOut += sz;
        }
        else
            strOut += static_cast<char>(c);
    }
    return strOut;
}

// "AA-bb-CC:dd:ee:FF" -> "aa:bb:cc:dd:ee:ff"; false when it is no MAC.
bool NormalizeMac(const std::string& strIn, std::string& strMac)
{
    if (strIn.size() != 17)
        return false;
    strMac.clear();
    for (size_t i = 0; i < strIn.size(); ++i)
    {
        unsigned char c = static_cast<unsigned char>(strIn[i]);
        if (i % 3 == 2)
        {
            if (c != ':' && c != '-')
                return false;
            strMac += ':';
        }
        else
        {
            if (!isxdigit(c))
                return false;
            strMac += static_cast<char>(tolower(c));
        }
    }
    return true;
}

std::string Trim(const std::string& str)
{
    size_t nBegin = str.find_first_not_of(" \t\r\n");
    if (nBegin == std::string::npos)
        return std::string();
    size_t nEnd = str.find_last_not_of(" \t\r\n");
    return str.substr(nBegin, nEnd - nBegin + 1);
}

bool LoadMap(const std::string& strPath, std::map<std::string, std::string>& mapReplies,
             std::string& strError)
{
    std::ifstream file(strPath);
    if (!file)
    {
        strError = strPath + ": cannot open";
        return false;
    }
    std::map<std::string, std::string> mapNew;
    std::string strLine;
    for (int iLine = 1; std::getline(file, strLine); ++iLine)
    {
        std::string str = Trim(strLine);
        if (str.empty() || str[0] == '#')
            continue;
        size_t nBlank = str.find_first_of(" \t");
        std::string strMac;
        if (!NormalizeMac(str.substr(0, nBlank), strMac))
        {
            strError = strPath + ":" + std::to_string(iLine) + ": bad MAC address";
            return false;
        }
        std::string strReply =
            nBlank == std::string::npos ? std::string() : Trim(str.substr(nBlank));
        if (strReply.empty())
        {
            strError = strPath + ":" + std::to_string(iLine) + ": no reply after the MAC address";
            return false;
        }
        mapNew[strMac] = strReply;
    }
    mapReplies.swap(mapNew);
    return true;
}

// The bytes sent for a reply of the map (see the head of this file).
std::string WireReply(const std::string& strReply)
{
    if (strReply.find("Task:") == std::string::npos)
        return "Task:" + strReply + "\r\n\r\n";
    std::string strOut;
    for (size_t i = 0; i < strReply.size(); ++i)
    {
        char c = strReply[i];
        if (c != '\\' || i + 1 == strReply.size())
        {
            strOut += c;
            continue;
        }
        switch (strReply[++i])
        {
        case 'r':
            strOut += '\r';
            break;
        case 'n':
            strOut += '\n';
            break;
        case 't':
            strOut += '\t';
            break;
        case '0':
            strOut += '\0';
            break;
        case '\\':
            strOut += '\\';
            break;
        default:
            strOut += '\\';
            strOut += strReply[i];
            break;
        }
    }
    return strOut;
}

// Value of the first line "strName:value" of the request, blanks trimmed.
std::string HeaderValue(const std::string& strRequest, const char* szName)
{
    size_t nPos = 0;
    const size_t nName = strlen(szName);
    while (nPos < strRequest.size())
    {
        size_t nEnd = strRequest.find('\n', nPos);
        if (nEnd == std::string::npos)
            nEnd = strRequest.size();
        if (strRequest.compare(nPos, nName, szName) == 0)
            return Trim(strRequest.substr(nPos + nName, nEnd - nPos - nName));
        nPos = nEnd + 1;
    }
    return std::string();
}

bool RequestComplete(const std::string& strIn)
{
    return strIn.find("\r\n\r\n") != std::string::npos || strIn.find("\n\n") != std::string::npos ||
           strIn.size() >= kMaxRequest;
}

struct TConnection
{
    int sc = -1;
    std::string strPeer;
    std::string strIn;
    std::string strOut;
    size_t nSent = 0;
    bool bAnswered = false;  // the request has been looked up
    TClock::time_point tDeadline;
};

class TConsoleSim
{
public:
    TConsoleSim(const std::string& strMapFile_, const std::string& strDefault_)
        : strMapFile(strMapFile_), strDefault(strDefault_)
    {
    }

    bool LoadMapFile()
    {
        if (strMapFile.empty())
            return true;
        std::string strError;
        if (!LoadMap(strMapFile, mapReplies, strError))
        {
            Log("error: %s", strError.c_str());
            return false;
        }
        Log("map %s: %zu entries", strMapFile.c_str(), mapReplies.size());
        return true;
    }

    // Serves scListen until SIGTERM or SIGINT arrives; SIGHUP reloads the map.
    void Run(int scListen_, TSignalDescriptor& signals)
    {
        scListen = scListen_;
        for (;;)
        {
            std::vector<pollfd> vPoll;
            vPoll.push_back({signals.Descriptor(), POLLIN, 0});
            vPoll.push_back({scListen,
                             static_cast<short>(lConnections.size() < kMaxConnections ? POLLIN : 0),
                             0});
            for (const TConnection& conn : lConnections)
                vPoll.push_back(
                    {conn.sc,
                     static_cast<short>(conn.strOut.size() > conn.nSent ? POLLOUT : POLLIN), 0});
            int iReady = poll(vPoll.data(), vPoll.size(), 1000);
            if (iReady < 0 && errno != EINTR)
            {
                Log("error: poll: %s", strerror(errno));
                return;
            }
            if (iReady > 0 && (vPoll[0].revents & POLLIN) && !HandleSignal(signals))
                break;
            size_t i = 2;
            const TClock::time_point tNow = TClock::now();
            for (auto it = lConnections.begin(); it != lConnections.end(); ++i)
            {
                bool bKeep = iReady > 0 && vPoll[i].revents != 0 ? Serve(*it) : true;
                if (bKeep && tNow >= it->tDeadline)
                {
                    Log("closing %s after %d s", it->strPeer.c_str(), kConnectionLifetimeSec);
                    bKeep = false;
                }
                if (bKeep)
                    ++it;
                else
                {
                    close(it->sc);
                    it = lConnections.erase(it);
                }
            }
            if (iReady > 0 && (vPoll[1].revents & POLLIN))
                Accept();
        }
        for (TConnection& conn : lConnections)
            close(conn.sc);
        lConnections.clear();
    }

private:
    // False when the program is to stop.
    bool HandleSignal(TSignalDescriptor& signals)
    {
        int iSignal = signals.Take();
        if (iSignal == 0)
            return true;
        if (iSignal == SIGHUP)
        {
            LoadMapFile();
            return true;
        }
        return false;
    }

    void Accept()
    {
        // Take what is queued, up to the limit; the rest waits for the next pass.
        while (lConnections.size() < kMaxConnections)
        {
            sockaddr_in addrPeer;
            socklen_t nLen = sizeof(addrPeer);
            int sc = accept4(scListen, reinterpret_cast<sockaddr*>(&addrPeer), &nLen,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (sc < 0)
            {
                if (errno == EMFILE || errno == ENFILE)
                {
                    // Out of descriptors: let the open connections end first.
                    Log("accept: %s", strerror(errno));
                    usleep(100000);
                }
                else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                         errno != ECONNABORTED)
                    Log("accept: %s", strerror(errno));
                return;
            }
            TConnection conn;
            conn.sc = sc;
            char szAddr[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &addrPeer.sin_addr, szAddr, sizeof(szAddr));
            conn.strPeer = std::string(szAddr) + ":" + std::to_string(ntohs(addrPeer.sin_port));
            conn.tDeadline = TClock::now() + std::chrono::seconds(kConnectionLifetimeSec);
            lConnections.push_back(conn);
        }
    }

    // Reads, answers or writes as the connection is ready to; false to close it.
    bool Serve(TConnection& conn)
    {
        if (conn.strOut.size() > conn.nSent)
            return Flush(conn);
        char szBuf[1024];
        ssize_t nRead = recv(conn.sc, szBuf, sizeof(szBuf), 0);
        if (nRead < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (conn.bAnswered)
            return nRead > 0;  // an answered or held connection ends when the client closes it
        if (nRead > 0)
        {
            conn.strIn.append(
                szBuf, std::min(static_cast<size_t>(nRead), kMaxRequest - conn.strIn.size()));
            if (!RequestComplete(conn.strIn))
                return true;
        }
        else if (conn.strIn.empty())
            return false;  // closed without a request
        return Answer(conn);
    }

    bool Answer(TConnection& conn)
    {
        conn.bAnswered = true;
        std::string strMac = HeaderValue(conn.strIn, "Address:");
        std::string strKey;
        if (!NormalizeMac(strMac, strKey))
            strKey = strMac;
        auto it = mapReplies.find(strKey);
        const std::string& strReply = it != mapReplies.end() ? it->second : strDefault;
        Log("received mac=%s ip=%s from=%s reply=%s", Printable(strKey).c_str(),
            Printable(HeaderValue(conn.strIn, "IP:")).c_str(), conn.strPeer.c_str(),
            Printable(strReply).c_str());
        if (strReply == "@close")
            return false;
        if (strReply == "@silent")
            return true;  // held until the client closes it
        conn.strOut = WireReply(strReply);
        return Flush(conn);
    }

    // Sends what is left of the reply; false when the connection failed.
    bool Flush(TConnection& conn)
    {
        while (conn.nSent < conn.strOut.size())
        {
            ssize_t n = send(conn.sc, conn.strOut.data() + conn.nSent,
                             conn.strOut.size() - conn.nSent, MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            conn.nSent += static_cast<size_t>(n);
        }
        // All sent: end this side and drain the client's input until it closes,
        // so that unread input never turns the close into a reset that loses the reply.
        shutdown(conn.sc, SHUT_WR);
        return true;
    }

    int scListen = -1;
    std::string strMapFile;
    std::string strDefault;
    std::map<std::string, std::string> mapReplies;
    std::list<TConnection> lConnections;
};

void Usage(const char* szProg)
{
    fprintf(stderr,
            "usage: %s --port N [--bind ADDR] [--map FILE] [--default REPLY] [--log FILE]\n"
            "  --port N         TCP port to listen on (0: any free port)\n"
            "  --bind ADDR      IPv4 address to listen on (default 0.0.0.0)\n"
            "  --map FILE       lines \"MAC reply\"; '#' starts a comment line\n"
            "  --default REPLY  reply for clients not in the map (default allnone)\n"
            "  --log FILE       append the log to FILE instead of standard output\n"
            "A reply is a task word (dos, Linux, none, allnone), a text holding \"Task:\"\n"
            "(sent as it stands, with \\r \\n \\t \\0 \\\\ decoded), @close or @silent.\n",
            szProg);
}

}  // namespace

int main(int argc, char* argv[])
{
    static const option aOptions[] = {{"port", required_argument, nullptr, 'p'},
                                      {"bind", required_argument, nullptr, 'b'},
                                      {"map", required_argument, nullptr, 'm'},
                                      {"default", required_argument, nullptr, 'd'},
                                      {"log", required_argument, nullptr, 'l'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    long nPort = -1;
    std::string strBind = "0.0.0.0", strMap, strDefault = "allnone", strLog;
    int iOpt;
    while ((iOpt = getopt_long(argc, argv, "p:b:m:d:l:h", aOptions, nullptr)) != -1)
    {
        switch (iOpt)
        {
        case 'p': {
            char* pEnd = nullptr;
            nPort = strtol(optarg, &pEnd, 10);
            if (*optarg == '\0' || *pEnd != '\0' || nPort < 0 || nPort > 65535)
                nPort = -2;
            break;
        }
        case 'b':
            strBind = optarg;
            break;
        case 'm':
            strMap = optarg;
            break;
        case 'd':
            strDefault = optarg;
            break;
        case 'l':
            strLog = optarg;
            break;
        case 'h':
            Usage(argv[0]);
            return 0;
        default:
            Usage(argv[0]);
            return 2;
        }
    }
    if (nPort < 0 || optind != argc || strDefault.empty())
    {
        Usage(argv[0]);
        return 2;
    }
    if (!strLog.empty())
    {
        gLog = fopen(strLog.c_str(), "a");
        if (gLog == nullptr)
        {
            fprintf(stderr, "consolesim: cannot open %s: %s\n", strLog.c_str(), strerror(errno));
            return 1;
        }
    }

    // The stop and reload signals are taken from a descriptor, in the main loop.
    TSignalDescriptor signals;

    TConsoleSim sim(strMap, strDefault);
    if (!sim.LoadMapFile())
        return 2;

    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    if (inet_pton(AF_INET, strBind.c_str(), &addr.sin_addr) != 1)
    {
        Log("error: bad bind address %s", strBind.c_str());
        return 2;
    }
    int scListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int iOn = 1;
    if (signals.Descriptor() < 0 || scListen < 0 ||
        setsockopt(scListen, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn)) != 0 ||
        bind(scListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(scListen, 512) != 0)
    {
        Log("error: cannot listen on %s:%ld: %s", strBind.c_str(), nPort, strerror(errno));
        return 1;
    }
    socklen_t nLen = sizeof(addr);
    getsockname(scListen, reinterpret_cast<sockaddr*>(&addr), &nLen);

    Log("listening on %s:%u, default reply %s", strBind.c_str(), ntohs(addr.sin_port),
        Printable(strDefault).c_str());
    sim.Run(scListen, signals);
    close(scListen);
    Log("stopped");
    return 0;
}
