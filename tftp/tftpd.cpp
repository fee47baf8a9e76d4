// The TFTP service thread on port 69: request checks and hand-over of each
// transfer to an event loop.
#include "tftp/tftpd.h"

#include "config/settings.h"
#include "core/clock.h"
#include "core/logfile.h"
#include "core/loglimit.h"
#include "core/metrics.h"
#include "core/records.h"
#include "core/readiness.h"
#include "core/stopevent.h"
#include "platform/beneath.h"
#include "platform/fatalexit.h"
#include "platform/ports.h"
#include "platform/sockopts.h"
#include "tftp/counts.h"
#include "tftp/loop.h"
#include "tftp/packet.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_sys_socket.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <strings.h>
#include <vector>

int giTftpWaitSeconds = kTftpWaitSeconds;
int giTftpStopGraceMs = 10000;

namespace
{
// Kinds of line a client causes at will, each written at most once per
// second per client (once per 10 seconds for a client over its limit).
enum TLogKind : uint64_t
{
    LogInvalid = 1,
    LogPath,
    LogTsize,
    LogBusy,
    LogClientBusy,
    LogOutside,
    LogNoSocket
};

// The largest block that fits the path to the client: the MTU of the
// connected socket's route, less the headers.
int MaxBlockSizeFor(int sock)
{
    const int iMtu = PathMtu(sock);
    int nMax = gSettings.iTftpMaxBlockSize;
    if (iMtu > kTftpBlockOverhead)
        nMax = std::min(nMax, iMtu - kTftpBlockOverhead);
    return std::max(nMax, kTftpMinBlockSize);
}

int LoopCount()
{
    // One core is left to the listener, the system's own network work and the
    // other service threads: on two cores one loop moved 32 lock-step
    // downloads 1.3 times as fast as two loops did, at 0.8 times the CPU per block.
    long nCpus = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::max(1L, std::min(nCpus - 1, 4L)));
}

class TTftpListener
{
    static constexpr const char* kGaugeName = "pxeservice_tftp_transfers_in_use";

public:
    explicit TTftpListener(int scTftp)
        : m_scTftp(scTftp),
          m_counts(gSettings.iTftpMaxTransfers, gSettings.iTftpMaxTransfersPerClient)
    {
        RegisterGauge(kGaugeName, "TFTP transfers running.", [this] { return m_counts.Total(); });
    }
    ~TTftpListener() { UnregisterGauge(kGaugeName); }
    TTftpListener(const TTftpListener&) = delete;
    TTftpListener& operator=(const TTftpListener&) = delete;

    // Starts the event loops; false when one cannot be started.
    bool StartLoops()
    {
        for (int i = LoopCount(); i > 0; --i)
        {
            m_vLoops.push_back(std::make_unique<TTftpLoop>(m_counts));
            if (!m_vLoops.back()->Start())
                return false;
        }
        return true;
    }

    // Serves port 69 until evStop is signalled.
    void Run()
    {
        for (;;)
        {
            ACE_Time_Value tvZero(0, 0);
            if (evStop.wait(&tvZero, 0) != -1)
                return;
            pollfd pfd[2] = {{m_scTftp, POLLIN, 0}, {evStop.Descriptor(), POLLIN, 0}};
            if (::poll(pfd, 2, kTftpWaitSeconds * 1000) <= 0 || pfd[1].revents != 0)
                continue;
            ReadBatch();
        }
    }

    // Lets the loops finish their transfers (within the grace) and waits for them.
    void StopLoops()
    {
        for (auto& pLoop : m_vLoops)
            pLoop->Stop(giTftpStopGraceMs);
        for (auto& pLoop : m_vLoops)
            pLoop->Join();
        m_vLoops.clear();
    }

private:
    static constexpr int kBatch = 16;

    void ReadBatch()
    {
        iovec aIov[kBatch];
        mmsghdr aMsgs[kBatch];
        memset(aMsgs, 0, sizeof aMsgs);
        for (int i = 0; i < kBatch; ++i)
        {
            aIov[i] = {m_aBuffers[i], sizeof m_aBuffers[i]};
            aMsgs[i].msg_hdr.msg_iov = &aIov[i];
            aMsgs[i].msg_hdr.msg_iovlen = 1;
            aMsgs[i].msg_hdr.msg_name = &m_aFrom[i];
            aMsgs[i].msg_hdr.msg_namelen = sizeof m_aFrom[i];
        }
        int nReceived = recvmmsg(m_scTftp, aMsgs, kBatch, MSG_DONTWAIT, nullptr);
        const int64_t iNow = MonotonicMs();
        for (int i = 0; i < nReceived; ++i)
        {
            // A datagram longer than any request arrives cut short.
            const bool bWhole = (aMsgs[i].msg_hdr.msg_flags & MSG_TRUNC) == 0;
            Serve(m_aFrom[i], m_aBuffers[i], bWhole ? static_cast<int>(aMsgs[i].msg_len) : -1,
                  iNow);
        }
    }

    // True when a line of this kind about this client is to be written now.
    bool MayLog(TLogKind iKind, const sockaddr_in& client, int64_t iNowMs)
    {
        unsigned nSuppressed = 0;
        TLogLimiter& limiter = iKind == LogClientBusy ? m_clientLimiter : m_limiter;
        if (!limiter.Allow(iKind << 32 | client.sin_addr.s_addr, iNowMs, &nSuppressed))
            return false;
        LogSuppressed(nSuppressed);
        return true;
    }

    // A socket of its own for an answer to client, on a port of the system's
    // choice, connected to the client; -1 (logged) when there is none.
    int TransferSocket(const sockaddr_in& client, int64_t iNowMs)
    {
        int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0)
        {
            if (MayLog(LogNoSocket, client, iNowMs))
            {
                char szFrom[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &client.sin_addr, szFrom, sizeof szFrom);
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "return: create udp socket error at %D\n"));
                ACE_DEBUG((LM_ERROR,
                           LOG_PREFIX "tftp: request from %s:%d dropped, no socket at %D\n", szFrom,
                           ntohs(client.sin_port)));
            }
            return -1;
        }
        sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::connect(sock, reinterpret_cast<const sockaddr*>(&client), sizeof client);
        return sock;
    }

    // Answers ERROR code from a socket of its own, as every answer but a refusal
    // for want of a place.
    void RefuseFromOwnPort(const sockaddr_in& client, uint16_t code, int64_t iNowMs)
    {
        int sock = TransferSocket(client, iNowMs);
        if (sock < 0)
            return;
        SendError(sock, code);
        ::close(sock);
    }

    static void SendError(int sock, uint16_t code)
    {
        char error[256];
        int nError = BuildError(error, code);
        (void)!::send(sock, error, static_cast<size_t>(nError), MSG_DONTWAIT);
    }

    // A refusal for want of a place, from port 69 at once: no socket is spent on it.
    void RefuseBusy(const sockaddr_in& client, const char* szText)
    {
        char error[256];
        int nError = BuildErrorMessage(error, 0, szText);
        ::sendto(m_scTftp, error, static_cast<size_t>(nError), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&client), sizeof client);
    }

    // The record of a request answered with ERROR instead of a transfer.
    static void RecordRefusal(const sockaddr_in& client, const char* szName, const char* szResult)
    {
        TTransferRecord record;
        record.nAddress = client.sin_addr.s_addr;
        record.strFile = szName;
        record.iBytes = record.iMs = -1;  // no transfer: neither is written
        record.strResult = szResult;
        RecordTransfer(record);
    }

    // Serves one datagram of nLength bytes (-1: longer than any request) from client.
    void Serve(const sockaddr_in& client, const char* pRequest, int nLength, int64_t iNowMs)
    {
        char szPath[kTftpPathSize], szMode[kTftpModeSize], szOption[kTftpOptionSize],
            szTsize[kTftpOptionSize];
        const TTftpRequestFields fields = {szPath, szMode, szOption, szTsize};
        if (nLength <= 0 || ClassifyDatagram(pRequest, nLength) != RecvRrq ||
            ParseReadRequest(pRequest, nLength, gSettings.strTftpRoot.c_str(), fields) != RequestOk)
        {
            if (MayLog(LogInvalid, client, iNowMs))
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "User request invalid\n"));
            // An empty datagram or one too long is not answered.
            if (nLength > 0)
                RefuseFromOwnPort(client, 4, iNowMs);
            RecordRefusal(client, "", "bad-request");
            return;
        }
        // The name as the client sent it, after the root.
        const char* szName = szPath + gSettings.strTftpRoot.size();
        if (!IsPathAllowed(szPath))
        {
            if (MayLog(LogPath, client, iNowMs))
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: donot support this path %s.\n", szPath));
            RefuseFromOwnPort(client, 4, iNowMs);
            RecordRefusal(client, szName, "bad-request");
            return;
        }
        const bool bNegotiate = gSettings.bTftpNegotiate;
        const bool bTsize = !bNegotiate && strcasecmp(szOption, "tsize") == 0;
        if (bTsize && strcmp(szTsize, "0") != 0)
        {
            if (MayLog(LogTsize, client, iNowMs))
                ACE_DEBUG((LM_INFO, LOG_PREFIX "User request get file=%s, but tsize isn't zero.\n",
                           szPath));
            return;
        }
        if (!TakePlace(client, iNowMs))
        {
            RecordRefusal(client, szName, "busy");
            return;
        }
        TTftpNewTransfer t;
        t.iClient = client.sin_addr.s_addr;
        t.strFile = szName;
        t.iStartMs = iNowMs;
        t.sock = TransferSocket(client, iNowMs);
        if (t.sock >= 0)
        {
            // As ever, a plain request is logged before its file is looked for.
            if (!bNegotiate && !bTsize)
                ACE_DEBUG((LM_INFO, LOG_PREFIX "User request get file=%s\n", szPath));
            int64_t iSize = 0;
            t.fd = OpenFile(client, szPath, t.sock, iNowMs, &iSize);
            if (t.fd >= 0 && !bNegotiate && iSize > kTftpMaxFileSize)
            {
                // Past block 65535 the block number wraps, which a transfer
                // without negotiation does not do: refuse before any data.
                ACE_DEBUG((LM_ERROR,
                           LOG_PREFIX "tftp: file %s has %Q bytes, more than %d blocks at %D\n",
                           szPath, static_cast<ACE_UINT64>(iSize), kTftpMaxBlocks));
                SendError(t.sock, 3);
                RecordRefusal(client, szName, "too-large");
                ::close(t.fd);
                t.fd = -1;
            }
            if (t.fd >= 0)
            {
                Prepare(t, pRequest, nLength, szPath, iSize, bTsize);
                LeastLoaded().Hand(t);
                return;
            }
            ::close(t.sock);
        }
        m_counts.Release(t.iClient);
    }

    // Takes a place in the counts, or refuses the request (false).
    bool TakePlace(const sockaddr_in& client, int64_t iNowMs)
    {
        const TAdmission iAdmission = m_counts.Take(client.sin_addr.s_addr);
        if (iAdmission == AdmitOk)
            return true;
        const bool bAll = iAdmission == AdmitBusy;
        if (MayLog(bAll ? LogBusy : LogClientBusy, client, iNowMs))
        {
            char szFrom[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &client.sin_addr, szFrom, sizeof szFrom);
            if (bAll)
                ACE_DEBUG((LM_INFO,
                           LOG_PREFIX "tftp: %d transfers running, request from %s refused at %D\n",
                           gSettings.iTftpMaxTransfers, szFrom));
            else
                ACE_DEBUG((LM_INFO,
                           LOG_PREFIX "tftp: %d transfers from %s running, request refused at %D\n",
                           gSettings.iTftpMaxTransfersPerClient, szFrom));
        }
        RefuseBusy(client, bAll ? "server busy" : "too many transfers from this client");
        return false;
    }

    // Opens the file at szPath (the root followed by the client's name) beneath
    // the root only, and gives its size; the descriptor, or -1 when the client
    // got ERROR instead.
    int OpenFile(const sockaddr_in& client, const char* szPath, int sock, int64_t iNowMs,
                 int64_t* piSize)
    {
        const std::string& strRoot = gSettings.strTftpRoot;
        int iErrno = 0;
        int fd = OpenBeneath(strRoot, szPath + strRoot.size(), &iErrno);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0)
        {
            *piSize = st.st_size;
            return fd;
        }
        if (fd >= 0)
            ::close(fd);
        if (iErrno == EXDEV || iErrno == ELOOP)
        {
            if (MayLog(LogOutside, client, iNowMs))
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: %s leads out of the root at %D\n", szPath));
            SendError(sock, 2);
            RecordRefusal(client, szPath + strRoot.size(), "access-denied");
            return -1;
        }
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: can't open %s for reading at %D\n", szPath));
        SendError(sock, 1);
        RecordRefusal(client, szPath + strRoot.size(), "not-found");
        return -1;
    }

    // The engine's parameters and the OACK of a transfer about to start.
    static void Prepare(TTftpNewTransfer& t, const char* pRequest, int nLength, const char* szPath,
                        int64_t iSize, bool bTsize)
    {
        t.params.iFileSize = iSize;
        t.params.iWaitSeconds = giTftpWaitSeconds;
        if (!gSettings.bTftpNegotiate)
        {
            // The OACK goes once, and any ACK starts the data.
            if (bTsize)
            {
                t.nOack = BuildTsizeOack(t.oack, iSize);
                t.params.bOackOnce = true;
                ACE_DEBUG((LM_INFO, LOG_PREFIX "User request get file=%s\n", szPath));
            }
            return;
        }
        TTftpGrant grant;
        NegotiateOptions(pRequest, nLength, iSize, MaxBlockSizeFor(t.sock),
                         gSettings.iTftpMaxWindowSize, gSettings.iTftpMaxTimeout, &grant);
        t.params.nBlockSize = grant.nBlockSize;
        t.params.nWindowSize = grant.nWindowSize;
        if (grant.iWaitSeconds > 0)
            t.params.iWaitSeconds = grant.iWaitSeconds;
        t.params.bStrictAcks = true;
        memcpy(t.oack, grant.oack, sizeof t.oack);
        t.nOack = grant.nOack;
        ACE_DEBUG((LM_INFO, LOG_PREFIX "User request get file=%s\n", szPath));
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: %s in blocks of %d, window %d, wait %d s at %D\n",
                   szPath, t.params.nBlockSize, t.params.nWindowSize, t.params.iWaitSeconds));
    }

    TTftpLoop& LeastLoaded()
    {
        TTftpLoop* pBest = m_vLoops.front().get();
        for (auto& pLoop : m_vLoops)
            if (pLoop->Load() < pBest->Load())
                pBest = pLoop.get();
        return *pBest;
    }

    const int m_scTftp;
    TTransferCounts m_counts;
    std::vector<std::unique_ptr<TTftpLoop>> m_vLoops;
    TLogLimiter m_limiter{1000};
    TLogLimiter m_clientLimiter{10000};
    char m_aBuffers[kBatch][kTftpPacketSize];
    sockaddr_in m_aFrom[kBatch];
};
}  // namespace

ACE_THR_FUNC_RETURN tftpservice_proc(void*)
{
    try
    {
        ACE_OS::socket_init(2, 0);
        ACE_HANDLE scTftp = ACE_OS::socket(AF_INET, SOCK_DGRAM, 0);
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
            const int iError = errno;
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: tftp bind port:%d at %D\n", kTftpPort));
            LOG_REASON(BindFailureReason(kTftpPort, iError));
            FatalExit();
        }
        TTftpListener listener(scTftp);
        if (!listener.StartLoops())
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: TFTP event loop cannot start at %D\n"));
            FatalExit();
        }
        ACE_DEBUG((LM_INFO, LOG_PREFIX "Start TFTP service at %D\n"));
        ServiceThreadBound();

        listener.Run();
        // No request is taken from here on; the running transfers may finish.
        ACE_OS::closesocket(scTftp);
        listener.StopLoops();
    }
    catch (...)
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "Error: Catch unknow exception in TFTP main thread at %D\n"));
        FatalExit();
    }
    return 0;
}
