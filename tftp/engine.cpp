// The transfer engine of the TFTP server.
#include "tftp/engine.h"

#include "core/logfile.h"

#include <ace/Log_Msg.h>

#include <algorithm>

namespace
{
constexpr int kMaxWindow = 64;
// Time-outs survived by a transfer whose client has never answered.
constexpr int kSilentTimeouts = 1;

// Kinds of the lines that datagrams passed over cause, each limited on its own.
enum
{
    LogAckOutside,
    LogAckBeforeData,
    LogShortAck,
    LogAbnormal
};
}  // namespace

TTftpEngine::TTftpEngine(TTftpSource& source, const TTftpParams& params)
    : m_source(source), m_params(params), m_limiter(1000, 8)
{
    TTftpParams& p = m_params;
    p.nBlockSize = std::clamp(p.nBlockSize, kTftpMinBlockSize, kTftpMaxBlockSize);
    p.nWindowSize = p.bStrictAcks ? std::clamp(p.nWindowSize, 1, kMaxWindow) : 1;
    p.iWaitSeconds = std::clamp(p.iWaitSeconds, kTftpMinTimeout, kTftpMaxTimeout);
    p.iFileSize = std::max<int64_t>(0, p.iFileSize);
    // A block shorter than the block size ends the file, an empty one when
    // the file fills its last block exactly.
    m_iFinal = static_cast<uint64_t>(p.iFileSize / p.nBlockSize) + 1;
    const int64_t nWindowBytes = int64_t(p.nWindowSize) * p.nBlockSize;
    m_vWindow.resize(static_cast<size_t>(std::min(nWindowBytes, p.iFileSize)));
    m_vHeaders.resize(static_cast<size_t>(p.nWindowSize) * kTftpHeaderSize);
    m_vOutput.reserve(static_cast<size_t>(p.nWindowSize));
}

int64_t TTftpEngine::BytesAcked() const
{
    return std::min(m_params.iFileSize, static_cast<int64_t>(m_iFirst - 1) * m_params.nBlockSize);
}

bool TTftpEngine::MayLog(int iKind, int64_t iNowMs)
{
    unsigned nSuppressed = 0;
    if (!m_limiter.Allow(static_cast<uint64_t>(iKind), iNowMs, &nSuppressed))
        return false;
    LogSuppressed(nSuppressed);
    return true;
}

void TTftpEngine::Finish(TTftpEnd iEnd)
{
    m_iEnd = iEnd;
    m_iDeadline = INT64_MAX;
}

void TTftpEngine::Abort(TTftpEnd iEnd)
{
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: abort send file at %D\n"));
    Finish(iEnd);
}

void TTftpEngine::StartWait(int64_t iNowMs)
{
    const int64_t iWaitMs = int64_t(m_params.iWaitSeconds) * 1000;
    m_iDeadline = std::min(iNowMs, INT64_MAX - 1 - iWaitMs) + iWaitMs;
}

void TTftpEngine::Start(int64_t iNowMs, const char* pOack, int nOack)
{
    m_vOutput.clear();
    if (Started())
        return;
    if (nOack > 0)
    {
        m_vOack.assign(pOack, pOack + nOack);
        m_bOack = true;
        SendOack(iNowMs);
    }
    else
        SendWindow(iNowMs);
}

void TTftpEngine::SendOack(int64_t iNowMs)
{
    m_vOutput.push_back({m_vOack.data(), static_cast<int>(m_vOack.size()), nullptr, 0});
    StartWait(iNowMs);
}

void TTftpEngine::SendWindow(int64_t iNowMs)
{
    // The whole window in one read, again for every sending of it, and never
    // past the size the file had when it was opened.
    const int64_t nBlock = m_params.nBlockSize;
    const int64_t nCount = static_cast<int64_t>(
        std::min<uint64_t>(static_cast<uint64_t>(m_params.nWindowSize), m_iFinal - m_iFirst + 1));
    const int64_t iOffset = static_cast<int64_t>(m_iFirst - 1) * nBlock;
    const long nWant = static_cast<long>(std::min(nCount * nBlock, m_params.iFileSize - iOffset));
    const long nRead = nWant > 0 ? m_source.Read(iOffset, m_vWindow.data(), nWant) : 0;
    if (nRead < 0 || nRead > nWant)
    {
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: read error at %D\n"));
        Abort(EndReadError);
        return;
    }
    if (nRead < nWant)
    {
        // A short block now would end the transfer as if the file were whole.
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: file changed while being sent at %D\n"));
        Abort(EndFileChanged);
        const int nError = BuildErrorMessage(m_error, 0, "file changed");
        m_vOutput.push_back({m_error, nError, nullptr, 0});
        return;
    }
    for (int64_t i = 0; i < nCount; ++i)
    {
        char* pHeader = &m_vHeaders[static_cast<size_t>(i * kTftpHeaderSize)];
        BuildDataHeader(pHeader, m_iFirst + static_cast<uint64_t>(i));
        const int64_t nData = std::min<int64_t>(nBlock, nRead - i * nBlock);
        m_vOutput.push_back(
            {pHeader, kTftpHeaderSize, m_vWindow.data() + i * nBlock, static_cast<int>(nData)});
    }
    m_iLast = m_iFirst + static_cast<uint64_t>(nCount) - 1;
    StartWait(iNowMs);
}

void TTftpEngine::OnDatagram(const char* pDatagram, int nLength, int64_t iNowMs)
{
    m_vOutput.clear();
    if (Ended() || !Started())
        return;
    const int iResult = ClassifyDatagram(pDatagram, nLength);
    switch (iResult)
    {
    case RecvAck:
        if (nLength < kTftpHeaderSize)
        {
            if (MayLog(LogShortAck, iNowMs))
                ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: short ACK of %d bytes discarded at %D\n",
                           nLength));
            return;
        }
        OnAck(static_cast<uint16_t>((static_cast<unsigned char>(pDatagram[2]) << 8) |
                                    static_cast<unsigned char>(pDatagram[3])),
              iNowMs);
        return;
    case RecvErrorPacket:
        if (!m_bOack)
        {
            Abort(EndClientError);
            return;
        }
        // A client that only wanted the options (the size, most often) ends here.
        if (!m_params.bOackOnce)
            ACE_DEBUG(
                (LM_DEBUG, LOG_PREFIX "tftp: client ended the transfer after the OACK at %D\n"));
        Finish(EndDeclined);
        return;
    default:  // an RRQ, WRQ, DATA or OACK, or no opcode of TFTP at all
        if (MayLog(LogAbnormal, iNowMs))
            ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: abnormal return value %d at %D\n", iResult));
        return;
    }
}

void TTftpEngine::OnAck(uint16_t iBlock, int64_t iNowMs)
{
    if (m_bOack)
    {
        // ACK 0 answers the OACK; after the plain "tsize" answer any number does.
        if (iBlock != 0 && !m_params.bOackOnce)
        {
            if (MayLog(LogAckBeforeData, iNowMs))
                ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: ACK %d ignored, waiting for ACK 0 at %D\n",
                           iBlock));
            return;
        }
        m_bOack = false;
        m_bAnswered = true;
        SendWindow(iNowMs);
        return;
    }
    // The block of the window that carries this number, across the rollover.
    const uint64_t iAcked =
        m_iFirst + static_cast<uint16_t>(iBlock - static_cast<uint16_t>(m_iFirst));
    if (iAcked > m_iLast)
    {
        if (MayLog(LogAckOutside, iNowMs))
            ACE_DEBUG(
                (LM_DEBUG, LOG_PREFIX "tftp: ACK %d outside the window ignored at %D\n", iBlock));
        return;
    }
    m_bAnswered = true;
    m_iFirst = iAcked + 1;
    if (iAcked == m_iFinal)
        Finish(EndComplete);
    else
        SendWindow(iNowMs);
}

void TTftpEngine::OnTime(int64_t iNowMs)
{
    m_vOutput.clear();
    if (Ended() || !Started() || iNowMs < m_iDeadline)
        return;
    if (m_bOack && m_params.bOackOnce)
    {
        // The plain "tsize" answer is sent once and waited for once.
        Finish(EndTimeout);
        return;
    }
    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: timeout retrying...at %D\n"));
    ++m_iTimeouts;
    if (m_iTimeouts > kTftpMaxTimeouts || (!m_bAnswered && m_iTimeouts > kSilentTimeouts))
        Abort(EndTimeout);
    else if (m_bOack)
        SendOack(iNowMs);
    else
        SendWindow(iNowMs);
}
