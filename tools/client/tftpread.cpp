#include "tools/client/tftpread.h"

#include "tftp/packet.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

std::string Option(const char* szName, int iValue)
{
    return szName + std::string(1, '\0') + std::to_string(iValue) + '\0';
}
}  // namespace

CTftpRead::CTftpRead(const std::string& strFile, const TTftpReadOptions& options)
    : m_ask(options), m_iBlockSize(kTftpBlockSize)
{
    m_strRequest = std::string{'\0', static_cast<char>(TftpRrq)} + strFile + '\0' + "octet" + '\0';
    if (m_ask.iBlockSize > 0)
        m_strRequest += Option("blksize", m_ask.iBlockSize);
    if (m_ask.iWindowSize > 0)
        m_strRequest += Option("windowsize", m_ask.iWindowSize);
    if (m_ask.iTimeout > 0)
        m_strRequest += Option("timeout", m_ask.iTimeout);
    if (m_ask.bTsize)
        m_strRequest += Option("tsize", 0);
}

void CTftpRead::Send(const std::string& strDatagram)
{
    if (fnSend)
        fnSend(strDatagram);
}

void CTftpRead::Ack()
{
    const uint16_t nBlock = static_cast<uint16_t>(m_nNext - 1);
    Send(std::string{'\0', static_cast<char>(TftpAck), static_cast<char>(nBlock >> 8),
                     static_cast<char>(nBlock)});
    m_iInWindow = 0;
    m_bAckHeld = false;
}

void CTftpRead::Retry()
{
    if (m_bAnswered)
        Ack();
    else
        Send(m_strRequest);
}

void CTftpRead::SendError(uint16_t nCode, const char* szText)
{
    char aError[256];
    Send(std::string(aError, BuildErrorMessage(aError, nCode, szText)));
    m_bEnded = true;
}

void CTftpRead::Abandon()
{
    if (m_bAnswered && !m_bEnded)
        SendError(0, "transfer abandoned");
}

// A probe ends with code 8, as a client that does not take the options offered.
void CTftpRead::EndProbe()
{
    SendError(8, "size known");
    m_bDone = true;
}

bool CTftpRead::OnOack(const unsigned char* p, size_t n, std::string& strWhy)
{
    if (m_nNext != 1)
        return true;  // a late repeat
    m_iBlockSize = kTftpBlockSize;
    m_iWindowSize = 1;
    std::vector<std::string> vFields;
    for (size_t i = 2; i < n;)
    {
        const void* pEnd = memchr(p + i, 0, n - i);
        if (!pEnd)
            return (strWhy = "OACK field without its end"), false;
        size_t nEnd = static_cast<const unsigned char*>(pEnd) - p;
        vFields.emplace_back(reinterpret_cast<const char*>(p + i), nEnd - i);
        i = nEnd + 1;
    }
    if (vFields.size() % 2)
        return (strWhy = "OACK option without a value"), false;
    for (size_t i = 0; i < vFields.size(); i += 2)
    {
        const char* szName = vFields[i].c_str();
        char* szEnd = nullptr;
        long long n64 = strtoll(vFields[i + 1].c_str(), &szEnd, 10);
        bool bNumber = !vFields[i + 1].empty() && !*szEnd;
        if (!strcasecmp(szName, "blksize") && m_ask.iBlockSize > 0 && bNumber &&
            n64 >= kTftpMinBlockSize && n64 <= m_ask.iBlockSize)
            m_iBlockSize = static_cast<int>(n64);
        else if (!strcasecmp(szName, "windowsize") && m_ask.iWindowSize > 0 && bNumber &&
                 n64 >= 1 && n64 <= m_ask.iWindowSize)
            m_iWindowSize = static_cast<int>(n64);
        else if (!strcasecmp(szName, "timeout") && m_ask.iTimeout > 0 && bNumber &&
                 n64 == m_ask.iTimeout)
            ;
        else if (!strcasecmp(szName, "tsize") && m_ask.bTsize && bNumber && n64 >= 0 &&
                 (m_ask.iFileSize < 0 || n64 == m_ask.iFileSize))
            m_iTsize = n64;
        else
            return (strWhy = "OACK option not as asked: " + vFields[i] + " " + vFields[i + 1]),
                   false;
    }
    if (m_ask.eMode == ReadProbe)
        EndProbe();
    else
        Ack();
    return true;
}

bool CTftpRead::OnData(const unsigned char* p, size_t n, std::string& strWhy)
{
    if (m_ask.eMode == ReadProbe)
        return EndProbe(), true;
    uint16_t nBlock = Get16(p + 2);
    if (nBlock != static_cast<uint16_t>(m_nNext))
    {
        if (!m_bRepeatAcked && m_ask.eMode != ReadLateAcks)
            Ack();
        m_bRepeatAcked = true;
        return true;
    }
    size_t nLen = n - kTftpHeaderSize;
    if (nLen > static_cast<size_t>(m_iBlockSize))
        return (strWhy =
                    "block " + std::to_string(m_nNext) + " has " + std::to_string(nLen) + " bytes"),
               false;
    const uint64_t iOffset = (m_nNext - 1) * static_cast<uint64_t>(m_iBlockSize);
    if (fnData && !fnData(iOffset, p + kTftpHeaderSize, nLen, strWhy))
        return false;
    m_nBytes += nLen;
    ++m_nNext;
    m_bRepeatAcked = false;
    const bool bLast = nLen < static_cast<size_t>(m_iBlockSize);
    if (bLast)
    {
        Ack();
        m_bDone = m_bEnded = true;
    }
    else if (++m_iInWindow >= m_iWindowSize)
    {
        if (m_ask.eMode == ReadLateAcks)
            m_bAckHeld = true;
        else
            Ack();
    }
    return true;
}

bool CTftpRead::OnDatagram(const unsigned char* p, size_t n, std::string& strWhy)
{
    if (m_bEnded || n < static_cast<size_t>(kTftpHeaderSize))
        return true;
    const uint16_t nOp = Get16(p);
    if (!m_bAnswered && nOp == TftpData)
    {
        m_iBlockSize = kTftpBlockSize;  // the options were not taken
        m_iWindowSize = 1;
    }
    m_bAnswered = true;
    switch (nOp)
    {
    case TftpOack:
        return OnOack(p, n, strWhy);
    case TftpData:
        return OnData(p, n, strWhy);
    case TftpError: {
        m_bEnded = true;  // no ERROR in return
        const char* szText = reinterpret_cast<const char*>(p + kTftpHeaderSize);
        strWhy = "error " + std::to_string(Get16(p + 2)) + " \"" +
                 std::string(szText, strnlen(szText, n - kTftpHeaderSize)) + "\"";
        return false;
    }
    default:
        strWhy = "opcode " + std::to_string(nOp);
        return false;
    }
}
