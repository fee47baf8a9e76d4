// The packet layer of the TFTP server and the transfer of one file over the
// transfer's own socket.
#include "tftp/tftpd.h"

#include "core/logfile.h"
#include "tftp/sender.h"

#include <ace/Log_Msg.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace
{
// Receives one datagram that is known to be there, or that SO_RCVTIMEO bounds,
// and matches it against *pPeer. MSG_TRUNC gives the datagram's real length, so
// that one longer than the buffer is recognised (and dropped whole) instead of
// taken in part.
int TakeDatagram(ACE_HANDLE sock, sockaddr_in* pPeer, char* buffer, int* pLength)
{
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    socklen_t nFrom = sizeof from;
    ssize_t nReceived;
    do
        nReceived = ::recvfrom(sock, buffer, static_cast<size_t>(*pLength), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &nFrom);
    while (nReceived < 0 && errno == EINTR);
    if (nReceived < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return RecvTimeout;
    if (nReceived <= 0 || nReceived > *pLength)
        return RecvError;
    *pLength = static_cast<int>(nReceived);

    if (pPeer->sin_port == 0)
        *pPeer = from;
    else if (from.sin_port != pPeer->sin_port)
        return RecvDiscard;
    return ClassifyDatagram(buffer, *pLength);
}

// The client behind the transfer's socket, and the file.
class TSocketPeer : public TTftpPeer
{
public:
    TSocketPeer(ACE_HANDLE sock, const sockaddr_in& client, int fd)
        : m_sock(sock), m_peer(client), m_fd(fd)
    {
    }

    void Send(const TDatagram* pDatagrams, int nCount) override
    {
        // One system call for the whole window.
        constexpr int kBatch = 64;
        iovec iov[kBatch][2];
        mmsghdr msgs[kBatch];
        for (int nDone = 0; nDone < nCount;)
        {
            int n = std::min(kBatch, nCount - nDone);
            memset(msgs, 0, sizeof(mmsghdr) * static_cast<size_t>(n));
            for (int i = 0; i < n; ++i)
            {
                const TDatagram& d = pDatagrams[nDone + i];
                iov[i][0] = {const_cast<char*>(d.pHead), static_cast<size_t>(d.nHead)};
                iov[i][1] = {const_cast<char*>(d.pBody), static_cast<size_t>(d.nBody)};
                msgs[i].msg_hdr.msg_name = &m_peer;
                msgs[i].msg_hdr.msg_namelen = sizeof m_peer;
                msgs[i].msg_hdr.msg_iov = iov[i];
                msgs[i].msg_hdr.msg_iovlen = d.nBody > 0 ? 2 : 1;
            }
            int nSent = ::sendmmsg(m_sock, msgs, static_cast<unsigned>(n), 0);
            if (nSent < 0 && errno == EINTR)
                continue;
            // A datagram the system did not take is lost like one lost on the way.
            nDone += nSent > 0 ? nSent : n;
        }
    }

    int Receive(char* buffer, int* pnLength, int iWaitMs) override
    {
        // The wait is the socket's receive time-out: one system call per reply.
        if (iWaitMs != m_iWaitMs)
        {
            timeval tv = {iWaitMs / 1000, (iWaitMs % 1000) * 1000};
            setsockopt(m_sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            m_iWaitMs = iWaitMs;
        }
        return TakeDatagram(m_sock, &m_peer, buffer, pnLength);
    }

    int64_t NowMs() override
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        long nDone = 0;
        while (nDone < nLength)
        {
            ssize_t n = ::pread(m_fd, buffer + nDone, static_cast<size_t>(nLength - nDone),
                                iOffset + nDone);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            nDone += n;
        }
        return nDone;
    }

private:
    ACE_HANDLE m_sock;
    sockaddr_in m_peer;
    int m_fd;
    int m_iWaitMs = -1;
};
}  // namespace

int RecvPacket(ACE_HANDLE sock, sockaddr_in* pPeer, char* buffer, int* pLength, int iWaitSeconds)
{
    pollfd pfd = {sock, POLLIN, 0};
    int iReady;
    do
        iReady = ::poll(&pfd, 1, iWaitSeconds * 1000);
    while (iReady < 0 && errno == EINTR);
    if (iReady < 0)
        return RecvError;
    if (iReady == 0)
        return RecvTimeout;
    int iResult = TakeDatagram(sock, pPeer, buffer, pLength);
    // Readable, yet nothing to take: the datagram went meanwhile.
    return iResult == RecvTimeout ? RecvError : iResult;
}

int SendError(ACE_HANDLE sock, const sockaddr_in* pPeer, uint16_t code)
{
    char buffer[256];
    int nError = BuildError(buffer, code);
    if (nError < 0)
        return -1;
    ssize_t nSent = ::sendto(sock, buffer, static_cast<size_t>(nError), 0,
                             reinterpret_cast<const sockaddr*>(pPeer), sizeof(sockaddr_in));
    return nSent < 0 ? -1 : 0;
}

int OpenFileForSending(const TftpTransfer* pTransfer, int64_t* piSize, bool bAnySize)
{
    // Look before opening: opening a named pipe would block until a writer
    // comes, and opening some devices has effects of its own.
    struct stat st;
    int fd = -1;
    if (stat(pTransfer->path, &st) == 0 && S_ISREG(st.st_mode))
        fd = ::open(pTransfer->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Look again at what was opened: the name may have changed meanwhile.
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)))
    {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0)
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "tftp: can't open %s for reading at %D\n", pTransfer->path));
        SendError(pTransfer->sock, &pTransfer->client, 1);
        return -1;
    }
    if (!bAnySize && st.st_size > kTftpMaxFileSize)
    {
        // Past block 65535 the block number wraps, which a transfer without
        // negotiation does not do: refuse before any data.
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: file %s has %Q bytes, more than %d blocks at %D\n",
                   pTransfer->path, static_cast<ACE_UINT64>(st.st_size), kTftpMaxBlocks));
        SendError(pTransfer->sock, &pTransfer->client, 3);
        ::close(fd);
        return -1;
    }
    *piSize = st.st_size;
    return fd;
}

int RunTransfer(const TftpTransfer* pTransfer, int fd, const TTftpParams& params, const char* pOack,
                int nOack)
{
    TSocketPeer peer(pTransfer->sock, pTransfer->client, fd);
    TTftpSender sender(peer, params);
    int iResult = nOack > 0 ? sender.SendOack(pOack, nOack) : TransferComplete;
    return iResult == TransferComplete ? sender.SendFile() : iResult;
}

int SendFile(TftpTransfer* pTransfer)
{
    int64_t iSize = 0;
    int fd = OpenFileForSending(pTransfer, &iSize);
    if (fd < 0)
        return -1;
    TTftpParams params;
    params.iWaitSeconds = pTransfer->waitSeconds;
    params.iFileSize = iSize;
    RunTransfer(pTransfer, fd, params, nullptr, 0);
    ::close(fd);
    return 0;
}
