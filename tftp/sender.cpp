// The transfer engine of the TFTP server.
#include "tftp/sender.h"

#include "core/logfile.h"

#include <ace/Log_Msg.h>

#include <algorithm>

TTftpSender::TTftpSender(TTftpPeer& peer, const TTftpParams& params)
    : m_peer(peer), m_params(params)
{
    m_params.nWindowSize = std::max(1, m_params.nWindowSize);
}

bool TTftpSender::CountTimeout()
{
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: timeout retrying...at %D\n"));
    return ++m_iTimeouts <= kTftpMaxTimeouts;
}

int TTftpSender::Abort()
{
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: abort send file at %D\n"));
    return TransferAborted;
}

void TTftpSender::StartWait()
{
    m_bFreshWait = true;
    if (m_params.bStrictAcks)
        m_iDeadline = m_peer.NowMs() + m_params.iWaitSeconds * 1000;
}

TTftpSender::Reply TTftpSender::AwaitReply(uint16_t* pBlock)
{
    for (;;)
    {
        // Without negotiation every receive waits in full; with it, the wait
        // ends at the deadline whatever arrived meanwhile.
        int iWaitMs = m_params.iWaitSeconds * 1000;
        if (m_params.bStrictAcks && !m_bFreshWait)
        {
            iWaitMs = static_cast<int>(std::max<int64_t>(0, m_iDeadline - m_peer.NowMs()));
            if (iWaitMs == 0)
                return ReplyTimeout;
        }
        m_bFreshWait = false;
        int nLength = sizeof m_reply;
        int iResult = m_peer.Receive(m_reply, &nLength, iWaitMs);
        switch (iResult)
        {
        case RecvAck:
            // The block number must be the datagram's own, not what the buffer held before.
            if (nLength < 4)
            {
                ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: short ACK of %d bytes discarded at %D\n",
                           nLength));
                continue;
            }
            *pBlock = static_cast<uint16_t>((static_cast<unsigned char>(m_reply[2]) << 8) |
                                            static_cast<unsigned char>(m_reply[3]));
            return ReplyAck;
        case RecvOack:
            return ReplyOack;
        case RecvTimeout:
            return ReplyTimeout;
        case RecvErrorPacket:
            return ReplyClientError;
        case RecvDiscard:
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: packet discard at %D\n"));
            continue;
        case RecvRrq:
        case RecvWrq:
        case RecvData:
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: abnormal return value %d at %D\n", iResult));
            continue;
        default:
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: get packet error at %D\n"));
            return ReplyFailure;
        }
    }
}

int TTftpSender::SendOack(const char* pOack, int nOack)
{
    const TTftpPeer::TDatagram oack = {pOack, nOack, nullptr, 0};
    for (;;)
    {
        m_peer.Send(&oack, 1);
        StartWait();
        uint16_t iBlock = 0;
        Reply reply;
        while ((reply = AwaitReply(&iBlock)) == ReplyOack || (reply == ReplyAck && iBlock != 0))
        {
            if (reply == ReplyAck)
                ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: ACK %d ignored, waiting for ACK 0 at %D\n",
                           iBlock));
            else
                ACE_DEBUG(
                    (LM_DEBUG, LOG_PREFIX "tftp: abnormal return value %d at %D\n", RecvOack));
        }
        switch (reply)
        {
        case ReplyAck:
            return TransferComplete;
        case ReplyTimeout:
            if (!CountTimeout())
                return Abort();
            break;
        case ReplyClientError:
            // A client that only wanted the options (the size, most often) ends here.
            ACE_DEBUG(
                (LM_DEBUG, LOG_PREFIX "tftp: client ended the transfer after the OACK at %D\n"));
            return TransferDeclined;
        default:
            return Abort();
        }
    }
}

int TTftpSender::SendWindow(uint64_t iFirst)
{
    const long nBlock = m_params.nBlockSize;
    long nCount = m_params.nWindowSize;
    if (m_iFinal != 0)
        nCount = std::min<long>(nCount, static_cast<long>(m_iFinal - iFirst + 1));
    m_vWindow.resize(static_cast<size_t>(nCount * nBlock));
    m_vHeaders.resize(static_cast<size_t>(nCount * 4));
    m_vDatagrams.resize(static_cast<size_t>(nCount));

    // The whole window in one read, again for every sending of it.
    long nRead =
        m_peer.Read(static_cast<int64_t>(iFirst - 1) * nBlock, m_vWindow.data(), nCount * nBlock);
    if (nRead < 0)
        return -1;
    int nSent = 0;
    for (long i = 0; i < nCount; ++i)
    {
        long nData = std::min(nBlock, std::max(0L, nRead - i * nBlock));
        char* pHeader = &m_vHeaders[static_cast<size_t>(i * 4)];
        BuildDataHeader(pHeader, iFirst + i);
        m_vDatagrams[static_cast<size_t>(i)] = {pHeader, 4, m_vWindow.data() + i * nBlock,
                                                static_cast<int>(nData)};
        ++nSent;
        // A block shorter than the block size, empty included, is the final block.
        if (nData < nBlock)
        {
            m_iFinal = iFirst + i;
            break;
        }
    }
    m_peer.Send(m_vDatagrams.data(), nSent);
    StartWait();
    return nSent;
}

int TTftpSender::SendFile()
{
    uint64_t iFirst = 1;  // first block not acknowledged
    for (;;)
    {
        int nSent = SendWindow(iFirst);
        if (nSent < 0)
        {
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: read error at %D\n"));
            return Abort();
        }
        const uint64_t iLast =
            iFirst + static_cast<uint64_t>(nSent) - 1;  // last block of the window

        // Wait until a reply moves the transfer on.
        for (bool bMoved = false; !bMoved;)
        {
            uint16_t iBlock = 0;
            switch (AwaitReply(&iBlock))
            {
            case ReplyAck: {
                uint64_t iAcked;
                if (m_params.bStrictAcks)
                {
                    // The window's block that carries this number, across the rollover.
                    iAcked = iFirst + static_cast<uint16_t>(iBlock - static_cast<uint16_t>(iFirst));
                    if (iAcked == iFirst + 0xffff && !m_bResent)
                    {
                        // The block before the window: the client has none of it.
                        ACE_DEBUG((LM_DEBUG,
                                   LOG_PREFIX "tftp: ACK %d again, window sent again at %D\n",
                                   iBlock));
                        m_bResent = bMoved = true;
                        break;
                    }
                    if (iAcked > iLast)
                    {
                        ACE_DEBUG((LM_DEBUG,
                                   LOG_PREFIX "tftp: ACK %d outside the window ignored at %D\n",
                                   iBlock));
                        continue;
                    }
                }
                else
                {
                    // Taken as given: an old number goes back, a later one goes on from
                    // there, as long as the file has a block after it (the final block's
                    // own ACK ends the transfer below).
                    iAcked = iBlock;
                    if (iAcked != m_iFinal &&
                        static_cast<int64_t>(iAcked) * m_params.nBlockSize > m_params.iFileSize)
                    {
                        ACE_DEBUG((LM_DEBUG,
                                   LOG_PREFIX "tftp: ACK %d past the final block ignored at %D\n",
                                   iBlock));
                        continue;
                    }
                }
                if (m_iFinal != 0 && iAcked == m_iFinal)
                    return TransferComplete;
                if (iAcked + 1 != iFirst)
                    m_bResent = false;
                iFirst = iAcked + 1;
                bMoved = true;
                break;
            }
            case ReplyOack:
                if (m_params.bStrictAcks)
                {
                    ACE_DEBUG(
                        (LM_DEBUG, LOG_PREFIX "tftp: abnormal return value %d at %D\n", RecvOack));
                    continue;
                }
                // Taken as a request for the same block again, or as the end after the final one.
                if (m_iFinal != 0 && iLast == m_iFinal)
                    return TransferComplete;
                bMoved = true;
                break;
            case ReplyTimeout:
                if (!CountTimeout())
                    return Abort();
                bMoved = true;
                break;
            default:  // an ERROR from the client, a receive failure
                return Abort();
            }
        }
    }
}
