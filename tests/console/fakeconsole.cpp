#include "fakeconsole.h"

#include "common/testutil.h"
#include "config/settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

TNetLab& ConsoleLab()
{
    static TNetLab lab;
    return lab;
}

TFakeConsole::TFakeConsole()
{
    scListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(addr);
    if (scListen < 0 || bind(scListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(scListen, 64) != 0 || getsockname(scListen, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
    {
        if (scListen >= 0)
            close(scListen);
        scListen = -1;
        return;
    }
    nPort = ntohs(addr.sin_port);
    thServer = std::thread(&TFakeConsole::Serve_proc, this);
}

TFakeConsole::~TFakeConsole()
{
    bStop = true;
    if (thServer.joinable())
        thServer.join();
    if (scListen >= 0)
        close(scListen);
}

void TFakeConsole::UseInSettings() const
{
    gSettings.strIpAddress = "127.0.0.1";
    gSettings.strConsolePort = std::to_string(nPort);
}

void TFakeConsole::SetScript(EMode eMode_, const std::vector<std::string>& vSegments_, int iGapMs_)
{
    std::lock_guard<std::mutex> lock(mtx);
    eMode = eMode_;
    vSegments = vSegments_;
    iGapMs = iGapMs_;
}

std::vector<std::string> TFakeConsole::Requests() const
{
    std::lock_guard<std::mutex> lock(mtx);
    return vRequests;
}

void TFakeConsole::Serve_proc()
{
    while (!bStop)
    {
        pollfd pfd = {scListen, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        int sc = accept(scListen, nullptr, nullptr);
        if (sc < 0)
            continue;
        ++nConnections;
        ServeOne(sc);
        close(sc);
    }
}

// Polls sc for up to iTimeoutMs; true when readable (data or end).
static bool Readable(int sc, int iTimeoutMs)
{
    pollfd pfd = {sc, POLLIN, 0};
    return poll(&pfd, 1, iTimeoutMs) > 0;
}

void TFakeConsole::ServeOne(int sc)
{
    // The query ends with an empty line; read until then (bounded).
    std::string strRequest;
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (strRequest.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < tEnd)
    {
        if (!Readable(sc, 100))
            continue;
        char szBuf[512];
        ssize_t n = recv(sc, szBuf, sizeof(szBuf), 0);
        if (n <= 0)
            break;
        strRequest.append(szBuf, static_cast<size_t>(n));
    }
    EMode eNow;
    std::vector<std::string> vNow;
    int iGapNow;
    {
        std::lock_guard<std::mutex> lock(mtx);
        vRequests.push_back(strRequest);
        eNow = eMode;
        vNow = vSegments;
        iGapNow = iGapMs;
    }
    if (eNow == CloseAtOnce)
        return;
    if (eNow == Silent)
    {
        // Hold the connection until the client gives up.
        for (int i = 0; i < 100 && !bStop; ++i)
            if (Readable(sc, 100))
                break;
        return;
    }
    for (size_t i = 0; i < vNow.size(); ++i)
    {
        if (i > 0 && iGapNow > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(iGapNow));
        if (send(sc, vNow[i].data(), vNow[i].size(), MSG_NOSIGNAL) < 0)
            break;
    }
    // Let the client read before the close, so that it never sees a reset.
    Readable(sc, 2000);
}

TLogCapture::TLogCapture()
{
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    pOld = pLog->msg_callback(this);
    pLog->set_flags(ACE_Log_Msg::MSG_CALLBACK);
}

TLogCapture::~TLogCapture()
{
    ACE_Log_Msg::instance()->msg_callback(pOld);
}

void TLogCapture::log(ACE_Log_Record& record)
{
    vLines.push_back({static_cast<unsigned long>(record.type()), record.msg_data()});
}

unsigned long TLogCapture::Find(const std::string& strPart) const
{
    for (const TLine& line : vLines)
        if (line.strText.find(strPart) != std::string::npos)
            return line.nPriority;
    return 0;
}

std::string TLogCapture::All() const
{
    std::string strAll;
    for (const TLine& line : vLines)
        strAll += std::to_string(line.nPriority) + " " + line.strText;
    return strAll;
}
