// The TFTP service thread on port 69 and the worker that serves one request.
#include "tftp/tftpd.h"

#include "config/settings.h"
#include "core/logfile.h"
#include "core/readiness.h"
#include "core/stopevent.h"
#include "platform/fatalexit.h"
#include "platform/sockopts.h"
#include "tftp/sender.h"
#include "tftp/thread.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_sys_socket.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <strings.h>

ACE_Event evRequestTaken(0, 0, USYNC_THREAD);
int giTftpWaitSeconds = kTftpWaitSeconds;

namespace
{
ACE_HANDLE HandleFromArg(void* pArg)
{
    return static_cast<ACE_HANDLE>(reinterpret_cast<intptr_t>(pArg));
}

void* ArgFromHandle(ACE_HANDLE h) { return reinterpret_cast<void*>(static_cast<intptr_t>(h)); }

// The largest block that fits the path to the client: the MTU of the
// connected socket's route, less the headers.
int MaxBlockSizeFor(ACE_HANDLE sock)
{
    const int iMtu = PathMtu(sock);
    int nMax = gSettings.iTftpMaxBlockSize;
    if (iMtu > kTftpBlockOverhead)
        nMax = std::min(nMax, iMtu - kTftpBlockOverhead);
    return std::max(nMax, kTftpMinBlockSize);
}

// Serves a checked request with option negotiation: every option is looked at,
// and the file may have any size.
void ServeNegotiated(TftpTransfer& t, int nLength)
{
    int64_t iSize = 0;
    int fd = OpenFileForSending(&t, &iSize, true);
    if (fd < 0)
        return;
    TTftpGrant grant;
    NegotiateOptions(t.packet, nLength, iSize, MaxBlockSizeFor(t.sock),
                     gSettings.iTftpMaxWindowSize, &grant);
    TTftpParams params;
    params.nBlockSize = grant.nBlockSize;
    params.nWindowSize = grant.nWindowSize;
    params.iWaitSeconds = grant.iWaitSeconds > 0 ? grant.iWaitSeconds : t.waitSeconds;
    params.bStrictAcks = true;
    params.iFileSize = iSize;
    ACE_DEBUG((LM_INFO, LOG_PREFIX "User request get file=%s\n", t.path));
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: %s in blocks of %d, window %d, wait %d s at %D\n",
               t.path, params.nBlockSize, params.nWindowSize, params.iWaitSeconds));
    RunTransfer(&t, fd, params, grant.oack, grant.nOack);
    ::close(fd);
}

// Serves one request from the transfer's socket t.sock; the request is already
// in t.packet (nLength bytes), iReceived the result of its receive.
void ServeRequest(TftpTransfer& t, int iReceived, int nLength)
{
    char szOption[kTftpOptionSize];
    const TTftpRequestFields fields = {t.path, t.mode, szOption, t.tsizeValue};
    if (iReceived != RecvRrq ||
        ParseReadRequest(t.packet, nLength, gSettings.strTftpRoot.c_str(), fields) != RequestOk)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "User request invalid\n"));
        SendError(t.sock, &t.client, 4);
        return;
    }
    if (!IsPathAllowed(t.path))
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: donot support this path %s.\n", t.path));
        SendError(t.sock, &t.client, 4);
        return;
    }
    if (gSettings.bTftpNegotiate)
    {
        ServeNegotiated(t, nLength);
        return;
    }
    if (strcasecmp(szOption, "tsize") == 0)
    {
        if (strcmp(t.tsizeValue, "0") != 0)
        {
            ACE_DEBUG(
                (LM_INFO, LOG_PREFIX "User request get file=%s, but tsize isn't zero.\n", t.path));
            return;
        }
        int64_t iSize = 0;
        int fd = OpenFileForSending(&t, &iSize);
        if (fd < 0)
            return;
        ::close(fd);

        char oack[100];
        int nOack = BuildTsizeOack(oack, iSize);
        if (ACE_OS::sendto(t.sock, oack, nOack, 0, reinterpret_cast<sockaddr*>(&t.client),
                           sizeof t.client) < 0)
            return;
        // One wait for the client's ACK, of any block number; the OACK is not sent again.
        int nReply = t.packetSize;
        if (RecvPacket(t.sock, &t.client, t.packet, &nReply, t.waitSeconds) != RecvAck)
            return;
    }
    ACE_DEBUG((LM_INFO, LOG_PREFIX "User request get file=%s\n", t.path));
    SendFile(&t);
}

// Takes a request off port 69 when it cannot be served (szWhy says why), so
// that the service thread does not see it again at once and spin on it.
void DropRequest(ACE_HANDLE scTftp, const char* szWhy)
{
    char cByte;
    sockaddr_in from;
    socklen_t nFrom = sizeof from;
    if (::recvfrom(scTftp, &cByte, 1, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                   &nFrom) < 0)
        return;
    char szFrom[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, szFrom, sizeof szFrom);
    ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: request from %s:%d dropped, %s at %D\n", szFrom,
               ntohs(from.sin_port), szWhy));
}
}  // namespace

ACE_THR_FUNC_RETURN tftpsend_proc(void* pArg)
{
    bool bTaken = false;
    try
    {
        ACE_HANDLE scTftp = HandleFromArg(pArg);
        TftpTransfer t;
        memset(&t, 0, sizeof t);

        t.sock = ACE_OS::socket(AF_INET, SOCK_DGRAM, 0);
        if (t.sock == ACE_INVALID_HANDLE)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "return: create udp socket error at %D\n"));
            DropRequest(scTftp, "no socket");
            bTaken = true;
            evRequestTaken.signal();
            return 0;
        }

        t.packetSize = kTftpPacketSize;
        t.waitSeconds = giTftpWaitSeconds;
        int nLength = t.packetSize;
        int iReceived = RecvPacket(scTftp, &t.client, t.packet, &nLength, t.waitSeconds);

        // A port of the system's choice, connected to the client: the transfer's own.
        sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        ACE_OS::bind(t.sock, reinterpret_cast<sockaddr*>(&local), sizeof local);
        ACE_OS::connect(t.sock, reinterpret_cast<sockaddr*>(&t.client), sizeof t.client);

        bTaken = true;
        evRequestTaken.signal();

        ServeRequest(t, iReceived, nLength);
        ACE_OS::closesocket(t.sock);
    }
    catch (...)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Catch unknow exception in TFTP send thread at %D\n"));
        // The service thread waits for the request to be taken: never leave it waiting.
        if (!bTaken)
            evRequestTaken.signal();
    }
    return 0;
}

ACE_THR_FUNC_RETURN tftpservice_proc(void*)
{
    try
    {
        ACE_HANDLE scTftp = ACE_INVALID_HANDLE;
        {
            TThreadPool pool;
            ACE_OS::socket_init(2, 0);

            scTftp = ACE_OS::socket(AF_INET, SOCK_DGRAM, 0);
            if (scTftp == ACE_INVALID_HANDLE)
            {
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: Can not create udp socket at %D\n"));
                FatalExit();
            }
            sockaddr_in local;
            memset(&local, 0, sizeof local);
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_ANY);
            local.sin_port = htons(kTftpPort);
            if (ACE_OS::bind(scTftp, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0)
            {
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: tftp bind port:%d at %D\n", kTftpPort));
                FatalExit();
            }
            ACE_DEBUG((LM_INFO, LOG_PREFIX "Start TFTP service at %D\n"));
            ServiceThreadBound();

            for (;;)
            {
                ACE_Time_Value tvZero(0, 0);
                if (evStop.wait(&tvZero, 0) != -1)
                    break;
                pollfd pfd[2] = {{scTftp, POLLIN, 0}, {evStop.Descriptor(), POLLIN, 0}};
                if (::poll(pfd, 2, kTftpWaitSeconds * 1000) <= 0 || pfd[1].revents != 0)
                    continue;
                if (pool.CreateWorkThread(tftpsend_proc, ArgFromHandle(scTftp)) != 0)
                {
                    DropRequest(scTftp, "no worker thread");
                    continue;
                }
                // Port 69 is left alone until the worker has taken its request.
                evRequestTaken.wait();
            }
            pool.Stop();
        }  // the pool's destructor returns once every worker has ended
        ACE_OS::closesocket(scTftp);
    }
    catch (...)
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "Error: Catch unknow exception in TFTP main thread at %D\n"));
        FatalExit();
    }
    return 0;
}
