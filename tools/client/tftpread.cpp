#include "tools/client/tftpread.h"

#include "tftp/packet.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
}  // namespace

CTftpRead::CTftpRead(const std::string& strFile, int iBlockSize, int iWindowSize, bool bTsize)
    : m_iAskBlockSize(iBlockSize), m_iAskWindowSize(iWindowSize), m_bAskTsize(bTsize),
      m_iBlockSize(kTftpBlockSize)
{
    m_strRequest = std::string{'\0', static_cast<char>(TftpRrq)} + strFile + '\0' + "octet" + '\0';
    if (iBlockSize > 0)
        m_strRequest += std::string("blksize", 8) + std::to_string(iBlockSize) + '\0';
    if (iWindowSize > 0)
        m_strRequest += std::string("windowsize", 11) + std::to_string(iWindowSize) + '\0';
    if (bTsize)
        m_strRequest += std::string("tsize\0"
                                    "0\0",
                                    8);
}

std::string CTftpRead::Retry() const
{
    if (!m_bAnswered)
        return m_strRequest;
    const uint16_t nBlock = static_cast<uint16_t>(m_nNext - 1);
    return std::string{'\0', static_cast<char>(TftpAck), static_cast<char>(nBlock >> 8),
                       static_cast<char>(nBlock)};
}

std::string CTftpRead::Abandon()
{
    // Error code 0, then the text and its zero byte.
    return std::string{'\0', static_cast<char>(TftpError), '\0', '\0'} + "transfer abandoned" +
           '\0';
}

void CTftpRead::SendAck(uint16_t nBlock)
{
    if (fnSend)
        fnSend(std::string{'\0', static_cast<char>(TftpAck), static_cast<char>(nBlock >> 8),
                           static_cast<char>(nBlock)});
    m_iInWindow = 0;
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
        if (!strcasecmp(szName, "blksize") && m_iAskBlockSize > 0 && bNumber &&
            n64 >= kTftpMinBlockSize && n64 <= m_iAskBlockSize)
            m_iBlockSize = static_cast<int>(n64);
        else if (!strcasecmp(szName, "windowsize") && m_iAskWindowSize > 0 && bNumber && n64 >= 1 &&
                 n64 <= m_iAskWindowSize)
            m_iWindowSize = static_cast<int>(n64);
        else if (!strcasecmp(szName, "tsize") && m_bAskTsize && bNumber && n64 >= 0)
            m_iTsize = n64;
        else
            return (strWhy = "OACK option not as asked: " + vFields[i] + " " + vFields[i + 1]),
                   false;
    }
    SendAck(0);
    return true;
}

bool CTftpRead::OnData(const unsigned char* p, size_t n, std::string& strWhy)
{
    uint16_t nBlock = Get16(p + 2);
    if (nBlock != static_cast<uint16_t>(m_nNext))
    {
        if (!m_bRepeatAcked)
            SendAck(static_cast<uint16_t>(m_nNext - 1));
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
    if (bLast || ++m_iInWindow >= m_iWindowSize)
        SendAck(nBlock);
    m_bDone = bLast;
    return true;
}

bool CTftpRead::OnDatagram(const unsigned char* p, size_t n, std::string& strWhy)
{
    if (m_bDone || n < static_cast<size_t>(kTftpHeaderSize))
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
