#include "tftpclient.h"

#include "tftp/packet.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

TTftpReadOptions ReadOptions(const TClientRequest& r)
{
    TTftpReadOptions options;
    options.iBlockSize = r.iBlockSize;
    options.iWindowSize = r.iWindowSize;
    options.iTimeout = r.iTimeoutOption;
    options.bTsize = r.bTsize;
    options.iFileSize = r.pCheck ? static_cast<int64_t>(r.pCheck->Size()) : -1;
    options.eMode = r.eRole == RoleProbe  ? ReadProbe
                    : r.eRole == RoleSlow ? ReadLateAcks
                                          : ReadFetch;
    return options;
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

TClientTransfer::TClientTransfer(const TClientRequest& request)
    : r(request), read(request.strFile, ReadOptions(request))
{
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
    m_vTransfers.emplace_back(r);
    TClientTransfer& t = m_vTransfers.back();
    // By index: the transfers move as the vector grows.
    t.read.fnSend = [this, i](const std::string& strDatagram) {
        Send(m_vTransfers[i], strDatagram);
    };
    t.read.fnData = [this, i](uint64_t iOffset, const unsigned char* p, size_t n,
                              std::string& strWhy) { return OnData(i, iOffset, p, n, strWhy); };
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
    Send(t, t.read.Request());
    if (r.eRole == RoleSilent)
        End(i, StateSilent);
    return i;
}

// The request to the server's port, the rest to the transfer's port.
void CTftpClient::Send(TClientTransfer& t, const std::string& strDatagram)
{
    const sockaddr_in& saTo = t.read.Answered() ? t.saPeer : m_saServer;
    // A datagram the kernel drops is sent again on the time-out.
    sendto(t.fd, strDatagram.data(), strDatagram.size(), 0,
           reinterpret_cast<const sockaddr*>(&saTo), sizeof saTo);
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
    m_vTransfers[i].read.Abandon();
    End(i, StateFailed, strWhy);
}

void CTftpClient::Stop(size_t i)
{
    End(i, StateFailed, "stopped");
    TClientTransfer& t = m_vTransfers[i];
    if (t.fd >= 0)
        close(t.fd);
    t.fd = -1;
}

// The bytes of a block, compared with the original; the last one ends the file.
bool CTftpClient::OnData(size_t i, uint64_t iOffset, const unsigned char* p, size_t n,
                         std::string& strWhy) const
{
    const TClientTransfer& t = m_vTransfers[i];
    const CMappedFile* pCheck = t.r.pCheck;
    if (!pCheck)
        return true;
    if (iOffset + n > pCheck->Size() || memcmp(pCheck->Data() + iOffset, p, n))
        return (strWhy = "bytes differ in block " + std::to_string(t.read.NextBlock())), false;
    if (n < static_cast<size_t>(t.read.BlockSize()) && iOffset + n != pCheck->Size())
        return (strWhy = std::to_string(iOffset + n) + " bytes, the file has " +
                         std::to_string(pCheck->Size())),
               false;
    return true;
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
            (t.read.Answered() && saFrom.sin_port != t.saPeer.sin_port))
            continue;
        if (!t.read.Answered())
            t.saPeer = saFrom;
        const uint64_t nBefore = t.read.NextBlock();
        std::string strWhy;
        const unsigned char* p = static_cast<unsigned char*>(m_aIov[iMsg].iov_base);
        if (!t.read.OnDatagram(p, m_aMsgs[iMsg].msg_len, strWhy))
        {
            Fail(i, strWhy);
            continue;
        }
        if (t.read.NextBlock() != nBefore)  // progress
        {
            t.iTimeouts = 0;
            t.tpDeadline = m_tpNow + std::chrono::milliseconds(t.r.iTimeoutMs);
            if (t.read.AckHeld())  // RoleSlow
            {
                t.bAckDue = true;
                t.tpDeadline = m_tpNow + std::chrono::milliseconds(t.r.iAckDelayMs);
            }
        }
        if (t.read.Done())
            End(i, StateDone);
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
            t.read.Ack();
            if (++t.iAcks == r.iAckLimit)
                End(i, StateSilent);
        }
        else if (++t.iTimeouts > r.iRetries)
        {
            Fail(i, "no answer after " + std::to_string(r.iRetries) + " time-outs");
            continue;
        }
        else
            t.read.Retry();
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
