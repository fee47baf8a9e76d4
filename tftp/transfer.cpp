// The packet layer of the TFTP server and the transfer of one file.
#include "tftp/tftpd.h"

#include "service/logfile.h"

#include <ace/Log_Msg.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char* const TftpErrorText[8] = {
    "not defined",
    "file not found",
    "access violation",
    "disk full or allocation exceeded",
    "illegal TFTP operatio",
    "unknown transfer ID",
    "file already exists",
    "no such user",
};

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

    sockaddr_in from;
    memset(&from, 0, sizeof from);
    socklen_t nFrom = sizeof from;
    // MSG_TRUNC gives the datagram's real length, so that one longer than the
    // buffer is recognised (and dropped whole) instead of taken in part.
    ssize_t nReceived = ::recvfrom(sock, buffer, static_cast<size_t>(*pLength), MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &nFrom);
    if (nReceived <= 0 || nReceived > *pLength)
        return RecvError;
    *pLength = static_cast<int>(nReceived);

    if (pPeer->sin_port == 0)
        *pPeer = from;
    else if (from.sin_port != pPeer->sin_port)
        return RecvDiscard;

    if (nReceived < 2)
        return RecvError;
    int iOpcode = (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]);
    switch (iOpcode)
    {
    case TftpRrq:   return RecvRrq;
    case TftpWrq:   return RecvWrq;
    case TftpData:  return RecvData;
    case TftpAck:   return RecvAck;
    case TftpError: return RecvErrorPacket;
    case TftpOack:  return RecvOack;
    default:        return RecvError;
    }
}

int SendError(ACE_HANDLE sock, const sockaddr_in* pPeer, uint16_t code)
{
    if (code > 7)
        return -1;
    char buffer[256];
    memset(buffer, 0, sizeof buffer);
    uint16_t nOpcode = htons(TftpError), nCode = htons(code);
    memcpy(buffer, &nOpcode, 2);
    memcpy(buffer + 2, &nCode, 2);
    size_t nText = strlen(TftpErrorText[code]);
    memcpy(buffer + 4, TftpErrorText[code], nText + 1);
    ssize_t nSent = ::sendto(sock, buffer, 4 + nText + 1, 0, reinterpret_cast<const sockaddr*>(pPeer),
                             sizeof(sockaddr_in));
    return nSent < 0 ? -1 : 0;
}

int SendData(ACE_HANDLE sock, const sockaddr_in* pPeer, int block, int length, char* packet)
{
    uint16_t nOpcode = htons(TftpData), nBlock = htons(static_cast<uint16_t>(block & 0xffff));
    memcpy(packet, &nOpcode, 2);
    memcpy(packet + 2, &nBlock, 2);
    ssize_t nSent = ::sendto(sock, packet, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(pPeer),
                             sizeof(sockaddr_in));
    return nSent < 0 ? -1 : 0;
}

int OpenFileForSending(const TftpTransfer* pTransfer, int64_t* piSize)
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
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: can't open %s for reading at %D\n", pTransfer->path));
        SendError(pTransfer->sock, &pTransfer->client, 1);
        return -1;
    }
    if (st.st_size > kTftpMaxFileSize)
    {
        // Past block 65535 the block number wraps and the client would be sent
        // the wrong part of the file: refuse before any data.
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: file %s has %Q bytes, more than %d blocks at %D\n", pTransfer->path,
                   static_cast<ACE_UINT64>(st.st_size), kTftpMaxBlocks));
        SendError(pTransfer->sock, &pTransfer->client, 3);
        ::close(fd);
        return -1;
    }
    *piSize = st.st_size;
    return fd;
}

int SendFile(TftpTransfer* pTransfer)
{
    int64_t iSize = 0;
    int fd = OpenFileForSending(pTransfer, &iSize);
    if (fd < 0)
        return -1;

    int iAcked = 0;      // last acknowledged block number
    int iTimeouts = 0;   // over the whole transfer, never reset
    sockaddr_in peer = pTransfer->client;
    bool bAbort = false;
    for (;;)
    {
        // Every block is read again at its position each time it is sent.
        ssize_t nRead = ::pread(fd, pTransfer->packet + 4, kTftpBlockSize, static_cast<off_t>(iAcked) * kTftpBlockSize);
        if (nRead < 0)
        {
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: read error in %s at %D\n", pTransfer->path));
            bAbort = true;
            break;
        }
        bool bFinal = nRead < kTftpBlockSize;
        SendData(pTransfer->sock, &peer, iAcked + 1, 4 + static_cast<int>(nRead), pTransfer->packet);

        int iResult;
        do
        {
            int nLength = pTransfer->packetSize;
            iResult = RecvPacket(pTransfer->sock, &peer, pTransfer->packet, &nLength, pTransfer->waitSeconds);
            if (iResult == RecvDiscard)
                ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: packet discard at %D\n"));
            else if (iResult == RecvRrq || iResult == RecvWrq || iResult == RecvData)
                ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: abnormal return value %d at %D\n", iResult));
        } while (iResult == RecvDiscard || iResult == RecvRrq || iResult == RecvWrq || iResult == RecvData);

        if (iResult == RecvAck || iResult == RecvOack)
        {
            if (bFinal)
                break;
            if (iResult == RecvAck)
                iAcked = (static_cast<unsigned char>(pTransfer->packet[2]) << 8) |
                         static_cast<unsigned char>(pTransfer->packet[3]);
        }
        else if (iResult == RecvTimeout)
        {
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: timeout retrying...at %D\n"));
            if (++iTimeouts > kTftpMaxTimeouts)
            {
                bAbort = true;
                break;
            }
        }
        else if (iResult == RecvErrorPacket)
        {
            bAbort = true;
            break;
        }
        else
        {
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: get packet error at %D\n"));
            bAbort = true;
            break;
        }
    }
    ::close(fd);
    if (bAbort)
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: abort send file at %D\n"));
    return 0;
}
