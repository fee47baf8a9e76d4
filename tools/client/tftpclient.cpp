#include "tftpclient.h"

#include "tftp/packet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
const int kReceiveBuffer = 4 * 1024 * 1024;  // socket buffer: several windows of large blocks
const int kScanMs = 20;                      // time-outs are looked at this often

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

std::string Option(const char* szName, int iValue)
{
    return szName + std::string(1, '\0') + std::to_string(iValue) + '\0';
}
}  // namespace

int ParseNumber(const char* sz, int iMin, int iMax)
{
    char* szEnd = nullptr;
    long n = strtol(sz, &szEnd, 10);
    return (*sz && !*szEnd && n >= iMin && n <= iMax) ? static_cast<int>(n) : -1;
}

CMappedFile::~CMappedFile()
{
    if (m_p)
        munmap(const_cast<unsigned char*>(m_p), m_n);
}

bool CMappedFile::Open(const std::string& strPath)
{
    int fd = open(strPath.c_str(), O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
    {
        perror(strPath.c_str());
        if (fd >= 0)
            close(fd);
        return false;
    }
    m_n = static_cast<uint64_t>(st.st_size);
    void* p = nullptr;
    if (m_n)
        p = mmap(nullptr, m_n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
    {
        perror("mmap");
        return false;
    }
    m_p = static_cast<const unsigned char*>(p);
    return true;
}

CTftpClient::CTftpClient()
{
    const size_t nDatagram = kTftpMaxBlockSize + kTftpHeaderSize;
    m_vBuffers.resize(kBatch * nDatagram);
    for (int i = 0; i < kBatch; ++i)
    {
        m_aIov[i].iov_base = &m_vBuffers[i * nDatagram];
        m_aIov[i].iov_len = nDatagram;
        memset(&m_aMsgs[i], 0, sizeof m_aMsgs[i]);
        m_aMsgs[i].msg_hdr.msg_iov = &m_aIov[i];
        m_aMsgs[i].msg_hdr.msg_iovlen = 1;
        m_aMsgs[i].msg_hdr.msg_name = &m_aFrom[i];
    }
    m_ep = epoll_create1(EPOLL_CLOEXEC);
    m_tpNow = m_tpScan = TClock::now();
}

CTftpClient::~CTftpClient()
{
    for (TClientTransfer& t : m_vTransfers)
        if (t.fd >= 0)
            close(t.fd);
    if (m_ep >= 0)
        close(m_ep);
}

bool CTftpClient::Open(const std::string& strServer, uint16_t nPort)
{
    m_saServer.sin_family = AF_INET;
    m_saServer.sin_port = htons(nPort);
    if (inet_pton(AF_INET, strServer.c_str(), &m_saServer.sin_addr) != 1)
    {
        fprintf(stderr, "%s is no IPv4 address\n", strServer.c_str());
        return false;
    }
    if (m_ep < 0)
    {
        perror("epoll_create1");
        return false;
    }
    return true;
}

size_t CTftpClient::Start(const TClientRequest& r)
{
    size_t i = m_vTransfers.size();
    m_vTransfers.emplace_back();
    TClientTransfer& t = m_vTransfers.back();
    t.r = r;
    t.strRequest =
        std::string{'\0', static_cast<char>(TftpRrq)} + r.strFile + '\0' + "octet" + '\0';
    if (r.iBlockSize)
        t.strRequest += Option("blksize", r.iBlockSize);
    if (r.iWindowSize)
        t.strRequest += Option("windowsize", r.iWindowSize);
    if (r.iTimeoutOption)
        t.strRequest += Option("timeout", r.iTimeoutOption);
    if (r.bTsize)
        t.strRequest += Option("tsize", 0);
    m_tpNow = TClock::now();
    t.tpStart = m_tpNow;
    t.tpDeadline = m_tpNow + std::chrono::milliseconds(r.iTimeoutMs);
    ++m_nRunning;

    t.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int iSize = kReceiveBuffer;
    sockaddr_in saSource{};
    saSource.sin_family = AF_INET;
    saSource.sin_addr.s_addr = r.nSource;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    if (t.fd < 0 ||
        (setsockopt(t.fd, SOL_SOCKET, SO_RCVBUFFORCE, &iSize, sizeof iSize) != 0 &&
         setsockopt(t.fd, SOL_SOCKET, SO_RCVBUF, &iSize, sizeof iSize) != 0) ||
        bind(t.fd, reinterpret_cast<const sockaddr*>(&saSource), sizeof saSource) != 0 ||
        (r.eRole != RoleSilent && epoll_ctl(m_ep, EPOLL_CTL_ADD, t.fd, &ev) != 0))
    {
        End(i, StateFailed, std::string("socket: ") + strerror(errno));
        return i;
    }
    Send(t, t.strRequest.data(), t.strRequest.size(), m_saServer);
    if (r.eRole == RoleSilent)
        End(i, StateSilent);
    return i;
}

void CTftpClient::Send(TClientTransfer& t, const void* p, size_t n, const sockaddr_in& saTo)
{
    // A datagram the kernel drops is sent again on the time-out.
    sendto(t.fd, p, n, 0, reinterpret_cast<const sockaddr*>(&saTo), sizeof saTo);
}

// Acknowledges the last block taken in order.
void CTftpClient::SendAck(TClientTransfer& t)
{
    uint16_t nBlock = static_cast<uint16_t>(t.nNext - 1);
    const unsigned char a[kTftpHeaderSize] = {0, TftpAck, static_cast<unsigned char>(nBlock >> 8),
                                              static_cast<unsigned char>(nBlock)};
    Send(t, a, sizeof a, t.saPeer);
    t.iInWindow = 0;
}

// Ends a running transfer without a word to the server.
void CTftpClient::End(size_t i, EClientState eState, const std::string& strWhy)
{
    TClientTransfer& t = m_vTransfers[i];
    if (t.eState != StateRunning)
        return;
    t.eState = eState;
    t.strWhy = strWhy;
    t.tpEnd = m_tpNow;
    --m_nRunning;
    m_vEnded.push_back(i);
    if (eState == StateSilent)
    {
        if (t.fd >= 0)
            epoll_ctl(m_ep, EPOLL_CTL_DEL, t.fd, nullptr);
    }
    else if (t.fd >= 0)
    {
        close(t.fd);
        t.fd = -1;
    }
}

// A transfer that had an answer tells the server it gives up (code 0).
void CTftpClient::Fail(size_t i, const std::string& strWhy)
{
    TClientTransfer& t = m_vTransfers[i];
    char error[256];
    if (t.bAnswered)
        Send(t, error, BuildErrorMessage(error, 0, "transfer abandoned"), t.saPeer);
    End(i, StateFailed, strWhy);
}

// A probe ends with code 8, as a client that does not take the options offered.
void CTftpClient::EndProbe(size_t i)
{
    TClientTransfer& t = m_vTransfers[i];
    char error[256];
    Send(t, error, BuildErrorMessage(error, 8, "size known"), t.saPeer);
    End(i, StateDone);
}

void CTftpClient::Stop(size_t i)
{
    End(i, StateFailed, "stopped");
    TClientTransfer& t = m_vTransfers[i];
    if (t.fd >= 0)
        close(t.fd);
    t.fd = -1;
}

bool CTftpClient::OnOack(size_t i, const unsigned char* p, size_t n, std::string& strWhy)
{
    TClientTransfer& t = m_vTransfers[i];
    const TClientRequest& r = t.r;
    if (t.nNext != 1)
        return true;  // a late repeat
    t.iBlockSize = kTftpBlockSize;
    t.iWindowSize = 1;
    std::vector<std::string> vFields;
    for (size_t iAt = 2; iAt < n;)
    {
        const void* pEnd = memchr(p + iAt, 0, n - iAt);
        if (!pEnd)
            return (strWhy = "OACK field without its end"), false;
        size_t nEnd = static_cast<const unsigned char*>(pEnd) - p;
        vFields.emplace_back(reinterpret_cast<const char*>(p + iAt), nEnd - iAt);
        iAt = nEnd + 1;
    }
    if (vFields.size() % 2)
        return (strWhy = "OACK option without a value"), false;
    for (size_t iField = 0; iField < vFields.size(); iField += 2)
    {
        const char* szName = vFields[iField].c_str();
        char* szEnd = nullptr;
        long long n64 = strtoll(vFields[iField + 1].c_str(), &szEnd, 10);
        bool bNumber = !vFields[iField + 1].empty() && !*szEnd;
        if (!strcasecmp(szName, "blksize") && r.iBlockSize && bNumber && n64 >= kTftpMinBlockSize &&
            n64 <= r.iBlockSize)
            t.iBlockSize = static_cast<int>(n64);
        else if (!strcasecmp(szName, "windowsize") && r.iWindowSize && bNumber && n64 >= 1 &&
                 n64 <= r.iWindowSize)
            t.iWindowSize = static_cast<int>(n64);
        else if (!strcasecmp(szName, "timeout") && r.iTimeoutOption && bNumber &&
                 n64 == r.iTimeoutOption)
            ;
        else if (!strcasecmp(szName, "tsize") && r.bTsize && bNumber &&
                 (!r.pCheck || static_cast<uint64_t>(n64) == r.pCheck->Size()))
            ;
        else
            return (strWhy =
                        "OACK option not as asked: " + vFields[iField] + " " + vFields[iField + 1]),
                   false;
    }
    if (r.eRole == RoleProbe)
        EndProbe(i);
    else
        SendAck(t);
    return true;
}

bool CTftpClient::OnData(size_t i, const unsigned char* p, size_t n, std::string& strWhy)
{
    TClientTransfer& t = m_vTransfers[i];
    const TClientRequest& r = t.r;
    if (r.eRole == RoleProbe)
        return EndProbe(i), true;
    uint16_t nBlock = Get16(p + 2);
    if (nBlock != static_cast<uint16_t>(t.nNext))
    {
        if (!t.bRepeatAcked && r.eRole != RoleSlow)
            SendAck(t);
        t.bRepeatAcked = true;
        return true;
    }
    size_t nLen = n - kTftpHeaderSize;
    uint64_t nOffset = (t.nNext - 1) * static_cast<uint64_t>(t.iBlockSize);
    if (nLen > static_cast<size_t>(t.iBlockSize))
        return (strWhy =
                    "block " + std::to_string(t.nNext) + " has " + std::to_string(nLen) + " bytes"),
               false;
    const CMappedFile* pCheck = r.pCheck;
    if (pCheck && (nOffset + nLen > pCheck->Size() ||
                   memcmp(pCheck->Data() + nOffset, p + kTftpHeaderSize, nLen)))
        return (strWhy = "bytes differ in block " + std::to_string(t.nNext)), false;
    t.nBytes += nLen;
    ++t.nNext;
    t.iTimeouts = 0;
    t.bRepeatAcked = false;
    t.tpDeadline = m_tpNow + std::chrono::milliseconds(r.iTimeoutMs);
    bool bLast = nLen < static_cast<size_t>(t.iBlockSize);
    if (bLast && pCheck && t.nBytes != pCheck->Size())
        return (strWhy = std::to_string(t.nBytes) + " bytes, the file has " +
                         std::to_string(pCheck->Size())),
               false;
    if (bLast)
    {
        SendAck(t);
        End(i, StateDone);
    }
    else if (++t.iInWindow >= t.iWindowSize)
    {
        if (r.eRole != RoleSlow)
            SendAck(t);
        else
        {
            t.bAckDue = true;
            t.tpDeadline = m_tpNow + std::chrono::milliseconds(r.iAckDelayMs);
        }
    }
    return true;
}

// false and strWhy when the transfer failed.
bool CTftpClient::OnDatagram(size_t i, const unsigned char* p, size_t n, std::string& strWhy)
{
    TClientTransfer& t = m_vTransfers[i];
    if (n < static_cast<size_t>(kTftpHeaderSize))
        return true;
    uint16_t nOp = Get16(p);
    if (!t.bAnswered && nOp == TftpData)
    {
        t.iBlockSize = kTftpBlockSize;  // the options were not taken
        t.iWindowSize = 1;
    }
    t.bAnswered = true;
    switch (nOp)
    {
    case TftpOack:
        return OnOack(i, p, n, strWhy);
    case TftpData:
        return OnData(i, p, n, strWhy);
    case TftpError: {
        const char* szText = reinterpret_cast<const char*>(p + kTftpHeaderSize);
        End(i, StateFailed,
            "error " + std::to_string(Get16(p + 2)) + " \"" +
                std::string(szText, strnlen(szText, n - kTftpHeaderSize)) + "\"");
        return true;  // no ERROR in return
    }
    default:
        strWhy = "opcode " + std::to_string(nOp);
        return false;
    }
}

void CTftpClient::Receive(size_t i)
{
    for (int iMsg = 0; iMsg < kBatch; ++iMsg)
        m_aMsgs[iMsg].msg_hdr.msg_namelen = sizeof m_aFrom[iMsg];
    int n = recvmmsg(m_vTransfers[i].fd, m_aMsgs, kBatch, MSG_DONTWAIT, nullptr);
    for (int iMsg = 0; iMsg < n && m_vTransfers[i].eState == StateRunning; ++iMsg)
    {
        TClientTransfer& t = m_vTransfers[i];
        const sockaddr_in& saFrom = m_aFrom[iMsg];
        // Only the server's address counts; once it answered, only its port of this transfer.
        if (saFrom.sin_addr.s_addr != m_saServer.sin_addr.s_addr ||
            (t.bAnswered && saFrom.sin_port != t.saPeer.sin_port))
            continue;
        if (!t.bAnswered)
            t.saPeer = saFrom;
        std::string strWhy;
        const unsigned char* p = static_cast<unsigned char*>(m_aIov[iMsg].iov_base);
        if (!OnDatagram(i, p, m_aMsgs[iMsg].msg_len, strWhy))
            Fail(i, strWhy);
    }
}

void CTftpClient::CheckTimeouts()
{
    for (size_t i = 0; i < m_vTransfers.size(); ++i)
    {
        TClientTransfer& t = m_vTransfers[i];
        const TClientRequest& r = t.r;
        if (t.eState != StateRunning)
            continue;
        if (r.iLimitMs && m_tpNow - t.tpStart >= std::chrono::milliseconds(r.iLimitMs))
        {
            Fail(i, "not done within " + std::to_string(r.iLimitMs) + " ms");
            continue;
        }
        if (m_tpNow < t.tpDeadline)
            continue;
        if (t.bAckDue)
        {
            t.bAckDue = false;
            SendAck(t);
            if (++t.iAcks == r.iAckLimit)
                End(i, StateSilent);
        }
        else if (++t.iTimeouts > r.iRetries)
        {
            Fail(i, "no answer after " + std::to_string(r.iRetries) + " time-outs");
            continue;
        }
        else if (t.bAnswered)
            SendAck(t);
        else
            Send(t, t.strRequest.data(), t.strRequest.size(), m_saServer);
        t.tpDeadline = m_tpNow + std::chrono::milliseconds(r.iTimeoutMs);
    }
}

void CTftpClient::Poll(int iWaitMs, std::vector<size_t>& vEnded)
{
    epoll_event aEvents[64];
    int n = epoll_wait(m_ep, aEvents, 64, iWaitMs);
    m_tpNow = TClock::now();
    for (int i = 0; i < n; ++i)
        if (m_vTransfers[aEvents[i].data.u64].eState == StateRunning)
            Receive(aEvents[i].data.u64);
    if (m_tpNow - m_tpScan >= std::chrono::milliseconds(kScanMs))
    {
        CheckTimeouts();
        m_tpScan = m_tpNow;
    }
    vEnded.clear();
    vEnded.swap(m_vEnded);
}
