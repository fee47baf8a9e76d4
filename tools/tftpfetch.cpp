// tftpfetch: a TFTP read client for benchmarks. Runs N reads of one file at
// once in one event loop, compares every byte with the original file, and
// prints what it fetched and how fast.
//
//   tftpfetch [--port N] [--blksize N] [--windowsize N] [--tsize] [--parallel N]
//             [--timeout MS] [--retries N] [--check FILE] SERVER FILE
//
// The options asked for go into the read request. An OACK grants some or all
// of them; a server that answers with DATA grants none (512-byte blocks, one
// block a window). Block numbers wrap from 65535 to 0. With a window of W the
// client acknowledges every W-th block received in order and the last block;
// on a gap or a repeated block it acknowledges the last block it has in order,
// once until the transfer moves on. A transfer fails after --retries time-outs
// in a row (of --timeout ms each, the last request or ACK sent again each time),
// on an ERROR, on an OACK that grants what was not asked for, and on the first
// byte that differs from --check. Prints one line,
//   transfers N failed F bytes B seconds S MB/s R blksize N windowsize N cpu S
// (bytes of the transfers that succeeded, MB = 10^6 bytes, the block size and
// window of the first transfer, the client's own CPU seconds) and exits 1 when
// any transfer failed, 2 on bad usage or set-up.
#include "tftp/packet.h"
#include "tools/client/tftpread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
typedef std::chrono::steady_clock TClock;

const int kBatch = 16;                       // datagrams taken from a socket per call
const int kReceiveBuffer = 4 * 1024 * 1024;  // socket buffer: several windows of large blocks

struct TOptions
{
    uint16_t nPort = kTftpPort;
    int iBlockSize = 0;  // 0: not asked for
    int iWindowSize = 0;
    bool bTsize = false;
    int iParallel = 1;
    int iTimeoutMs = 1000;
    int iRetries = 12;
    std::string strCheck;
    std::string strServer;
    std::string strFile;
};

struct TTransfer
{
    int fd = -1;
    sockaddr_in saPeer{};  // the server's port of this transfer, once it answered
    bool bFailed = false;
    std::unique_ptr<CTftpRead> pRead;
    int iTimeouts = 0;  // in a row
    TClock::time_point tpDeadline;
};

class CFetcher
{
public:
    explicit CFetcher(const TOptions& o) : m_o(o) {}
    ~CFetcher();
    bool Setup();
    int Run();

private:
    void Send(TTransfer& t, const std::string& strDatagram, const sockaddr_in& saTo);
    void Fail(TTransfer& t, size_t iIndex, const std::string& strWhy);
    void Finish(TTransfer& t);
    void Receive(size_t iIndex);
    bool OnDatagram(TTransfer& t, const unsigned char* p, size_t n, std::string& strWhy);
    bool CheckBytes(uint64_t iOffset, const unsigned char* p, size_t n, std::string& strWhy) const;
    void CheckTimeouts();

    const TOptions& m_o;
    sockaddr_in m_saServer{};
    const unsigned char* m_pOriginal = nullptr;
    uint64_t m_nOriginal = 0;
    std::vector<TTransfer> m_vTransfers;
    int m_iActive = 0;
    int m_iFailed = 0;
    int m_ep = -1;
    TClock::time_point m_tpNow;
    TClock::time_point m_tpEnd;
    std::vector<unsigned char> m_vBuffers;  // kBatch datagrams of the largest block
    mmsghdr m_aMsgs[kBatch];
    iovec m_aIov[kBatch];
    sockaddr_in m_aFrom[kBatch];
};

CFetcher::~CFetcher()
{
    for (TTransfer& t : m_vTransfers)
        if (t.fd >= 0)
            close(t.fd);
    if (m_ep >= 0)
        close(m_ep);
    if (m_pOriginal)
        munmap(const_cast<unsigned char*>(m_pOriginal), m_nOriginal);
}

bool CFetcher::Setup()
{
    m_saServer.sin_family = AF_INET;
    m_saServer.sin_port = htons(m_o.nPort);
    if (inet_pton(AF_INET, m_o.strServer.c_str(), &m_saServer.sin_addr) != 1)
    {
        fprintf(stderr, "tftpfetch: %s is no IPv4 address\n", m_o.strServer.c_str());
        return false;
    }
    if (!m_o.strCheck.empty())
    {
        int fd = open(m_o.strCheck.c_str(), O_RDONLY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0)
        {
            perror(m_o.strCheck.c_str());
            if (fd >= 0)
                close(fd);
            return false;
        }
        m_nOriginal = static_cast<uint64_t>(st.st_size);
        void* p = nullptr;
        if (m_nOriginal)
            p = mmap(nullptr, m_nOriginal, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        close(fd);
        if (p == MAP_FAILED)
        {
            perror("mmap");
            return false;
        }
        m_pOriginal = static_cast<const unsigned char*>(p);
    }
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
    m_vTransfers.resize(static_cast<size_t>(m_o.iParallel));
    for (size_t i = 0; i < m_vTransfers.size(); ++i)
    {
        TTransfer& t = m_vTransfers[i];
        t.pRead.reset(new CTftpRead(m_o.strFile, m_o.iBlockSize, m_o.iWindowSize, m_o.bTsize));
        t.pRead->fnSend = [this, &t](const std::string& s) { Send(t, s, t.saPeer); };
        t.pRead->fnData = [this](uint64_t iOffset, const unsigned char* p, size_t n,
                                 std::string& strWhy) { return CheckBytes(iOffset, p, n, strWhy); };
        t.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int iSize = kReceiveBuffer;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        if (t.fd < 0 || m_ep < 0 ||
            (setsockopt(t.fd, SOL_SOCKET, SO_RCVBUFFORCE, &iSize, sizeof iSize) != 0 &&
             setsockopt(t.fd, SOL_SOCKET, SO_RCVBUF, &iSize, sizeof iSize) != 0) ||
            epoll_ctl(m_ep, EPOLL_CTL_ADD, t.fd, &ev) != 0)
        {
            perror("socket");
            return false;
        }
    }
    return true;
}

void CFetcher::Send(TTransfer& t, const std::string& strDatagram, const sockaddr_in& saTo)
{
    // A datagram the kernel drops is sent again on the time-out.
    sendto(t.fd, strDatagram.data(), strDatagram.size(), 0,
           reinterpret_cast<const sockaddr*>(&saTo), sizeof saTo);
}

void CFetcher::Finish(TTransfer& t)
{
    close(t.fd);
    t.fd = -1;
    if (--m_iActive == 0)
        m_tpEnd = TClock::now();
}

void CFetcher::Fail(TTransfer& t, size_t iIndex, const std::string& strWhy)
{
    fprintf(stderr, "tftpfetch: transfer %zu of %s: %s\n", iIndex + 1, m_o.strFile.c_str(),
            strWhy.c_str());
    if (t.pRead->Answered())
        Send(t, CTftpRead::Abandon(), t.saPeer);
    t.bFailed = true;
    ++m_iFailed;
    Finish(t);
}

bool CFetcher::CheckBytes(uint64_t iOffset, const unsigned char* p, size_t n,
                          std::string& strWhy) const
{
    if (m_pOriginal && (iOffset + n > m_nOriginal || memcmp(m_pOriginal + iOffset, p, n)))
        return (strWhy = "bytes differ at offset " + std::to_string(iOffset)), false;
    return true;
}

// false and strWhy when the transfer failed.
bool CFetcher::OnDatagram(TTransfer& t, const unsigned char* p, size_t n, std::string& strWhy)
{
    CTftpRead& r = *t.pRead;
    const uint64_t nNext = r.NextBlock();
    if (!r.OnDatagram(p, n, strWhy))
        return false;
    if (m_pOriginal && r.Tsize() >= 0 && static_cast<uint64_t>(r.Tsize()) != m_nOriginal)
        return (strWhy = "tsize " + std::to_string(r.Tsize()) + ", the file has " +
                         std::to_string(m_nOriginal)),
               false;
    if (r.NextBlock() != nNext)
    {
        t.iTimeouts = 0;
        t.tpDeadline = m_tpNow + std::chrono::milliseconds(m_o.iTimeoutMs);
    }
    if (!r.Done())
        return true;
    if (m_pOriginal && r.Bytes() != m_nOriginal)
        return (strWhy = std::to_string(r.Bytes()) + " bytes, the file has " +
                         std::to_string(m_nOriginal)),
               false;
    Finish(t);
    return true;
}

void CFetcher::Receive(size_t iIndex)
{
    TTransfer& t = m_vTransfers[iIndex];
    for (int i = 0; i < kBatch; ++i)
        m_aMsgs[i].msg_hdr.msg_namelen = sizeof m_aFrom[i];
    int n = recvmmsg(t.fd, m_aMsgs, kBatch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n && t.fd >= 0; ++i)
    {
        const sockaddr_in& saFrom = m_aFrom[i];
        // Only the server's address counts; once it answered, only its port of this transfer.
        if (saFrom.sin_addr.s_addr != m_saServer.sin_addr.s_addr ||
            (t.pRead->Answered() && saFrom.sin_port != t.saPeer.sin_port))
            continue;
        if (!t.pRead->Answered())
            t.saPeer = saFrom;
        std::string strWhy;
        const unsigned char* p = static_cast<unsigned char*>(m_aIov[i].iov_base);
        if (!OnDatagram(t, p, m_aMsgs[i].msg_len, strWhy))
            Fail(t, iIndex, strWhy);
    }
}

void CFetcher::CheckTimeouts()
{
    for (size_t i = 0; i < m_vTransfers.size(); ++i)
    {
        TTransfer& t = m_vTransfers[i];
        if (t.fd < 0 || m_tpNow < t.tpDeadline)
            continue;
        if (++t.iTimeouts > m_o.iRetries)
        {
            Fail(t, i, "no answer after " + std::to_string(m_o.iRetries) + " time-outs");
            continue;
        }
        Send(t, t.pRead->Retry(), t.pRead->Answered() ? t.saPeer : m_saServer);
        t.tpDeadline = m_tpNow + std::chrono::milliseconds(m_o.iTimeoutMs);
    }
}

int CFetcher::Run()
{
    TClock::time_point tpStart = TClock::now();
    m_tpNow = tpStart;
    for (TTransfer& t : m_vTransfers)
    {
        Send(t, t.pRead->Request(), m_saServer);
        t.tpDeadline = tpStart + std::chrono::milliseconds(m_o.iTimeoutMs);
    }
    m_iActive = static_cast<int>(m_vTransfers.size());
    TClock::time_point tpScan = tpStart;
    epoll_event aEvents[64];
    while (m_iActive > 0)
    {
        int n = epoll_wait(m_ep, aEvents, 64, 20);
        m_tpNow = TClock::now();
        for (int i = 0; i < n; ++i)
            if (m_vTransfers[aEvents[i].data.u64].fd >= 0)
                Receive(aEvents[i].data.u64);
        if (m_tpNow - tpScan >= std::chrono::milliseconds(20))
        {
            CheckTimeouts();
            tpScan = m_tpNow;
        }
    }
    double dSeconds = std::chrono::duration<double>(m_tpEnd - tpStart).count();
    uint64_t nBytes = 0;
    for (const TTransfer& t : m_vTransfers)
        nBytes += t.bFailed ? 0 : t.pRead->Bytes();
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double dCpu =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    printf("transfers %zu failed %d bytes %llu seconds %.3f MB/s %.2f blksize %d windowsize %d"
           " cpu %.3f\n",
           m_vTransfers.size(), m_iFailed, static_cast<unsigned long long>(nBytes), dSeconds,
           dSeconds > 0 ? nBytes / 1e6 / dSeconds : 0.0, m_vTransfers[0].pRead->BlockSize(),
           m_vTransfers[0].pRead->WindowSize(), dCpu);
    return m_iFailed ? 1 : 0;
}

// The decimal number in sz within [iMin, iMax], or -1.
int ParseNumber(const char* sz, int iMin, int iMax)
{
    char* szEnd = nullptr;
    long n = strtol(sz, &szEnd, 10);
    return (*sz && !*szEnd && n >= iMin && n <= iMax) ? static_cast<int>(n) : -1;
}

bool ParseArguments(int argc, char** argv, TOptions& o)
{
    static const option aLong[] = {{"port", required_argument, nullptr, 'p'},
                                   {"blksize", required_argument, nullptr, 'b'},
                                   {"windowsize", required_argument, nullptr, 'w'},
                                   {"tsize", no_argument, nullptr, 's'},
                                   {"parallel", required_argument, nullptr, 'n'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"retries", required_argument, nullptr, 'r'},
                                   {"check", required_argument, nullptr, 'c'},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    int iPort = kTftpPort;
    while ((c = getopt_long(argc, argv, "", aLong, nullptr)) != -1)
    {
        switch (c)
        {
        case 'p':
            iPort = ParseNumber(optarg, 1, 65535);
            break;
        case 'b':
            o.iBlockSize = ParseNumber(optarg, kTftpMinBlockSize, kTftpMaxBlockSize);
            break;
        case 'w':
            o.iWindowSize = ParseNumber(optarg, 1, kTftpMaxWindowSize);
            break;
        case 's':
            o.bTsize = true;
            break;
        case 'n':
            o.iParallel = ParseNumber(optarg, 1, 10000);
            break;
        case 't':
            o.iTimeoutMs = ParseNumber(optarg, 1, 60000);
            break;
        case 'r':
            o.iRetries = ParseNumber(optarg, 0, 1000);
            break;
        case 'c':
            o.strCheck = optarg;
            break;
        default:
            return false;
        }
    }
    if (iPort < 0 || o.iBlockSize < 0 || o.iWindowSize < 0 || o.iParallel < 0 || o.iTimeoutMs < 0 ||
        o.iRetries < 0 || optind != argc - 2)
        return false;
    o.nPort = static_cast<uint16_t>(iPort);
    o.strServer = argv[optind];
    o.strFile = argv[optind + 1];
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    TOptions o;
    if (!ParseArguments(argc, argv, o))
    {
        fprintf(stderr,
                "usage: %s [--port N] [--blksize N] [--windowsize N] [--tsize]\n"
                "       [--parallel N] [--timeout MS] [--retries N] [--check FILE]"
                " SERVER FILE\n",
                argv[0]);
        return 2;
    }
    CFetcher fetcher(o);
    if (!fetcher.Setup())
        return 2;
    return fetcher.Run();
}
