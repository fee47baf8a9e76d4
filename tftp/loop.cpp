// The TFTP server's event loops.
#include "tftp/loop.h"

#include "core/clock.h"
#include "core/logfile.h"
#include "core/records.h"
#include "platform/fatalexit.h"
#include "tftp/counts.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/Thread.h>

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace
{
constexpr size_t kNoPlace = size_t(-1);

// The file as it was when the transfer started: nothing past its size then is
// read, so that a file that grows is sent as it was and one that shrinks reads
// short (which the engine takes for a changed file). Small reads (a block at a
// time, as in lock-step) after the first are served from a read-ahead of
// kReadAhead bytes, which saves all but one read in kReadAhead / 512.
class TFileSource : public TTftpSource
{
public:
    static constexpr long kReadAhead = 16384, kSmallRead = 2048;

    TFileSource(int fd, int64_t iSize) : m_fd(fd), m_iSize(iSize) {}
    ~TFileSource() override { ::close(m_fd); }

    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        if (iOffset >= m_iSize)
            return 0;
        nLength = static_cast<long>(std::min<int64_t>(nLength, m_iSize - iOffset));
        // The first block is read as it stands: a client that never answers it
        // (a size probe, a lost one) costs no read-ahead.
        if (nLength > kSmallRead || (!m_pCache && iOffset == 0))
            return ReadFile(iOffset, buffer, nLength);
        if (iOffset < m_iCached || iOffset + nLength > m_iCached + m_nCached)
        {
            if (!m_pCache)
                m_pCache.reset(new char[kReadAhead]);
            m_iCached = iOffset;
            m_nCached =
                ReadFile(iOffset, m_pCache.get(),
                         static_cast<long>(std::min<int64_t>(kReadAhead, m_iSize - iOffset)));
            if (m_nCached < 0)
            {
                m_nCached = 0;
                return -1;
            }
        }
        long nHave = static_cast<long>(std::min<int64_t>(nLength, m_iCached + m_nCached - iOffset));
        memcpy(buffer, m_pCache.get() + (iOffset - m_iCached), static_cast<size_t>(nHave));
        return nHave;
    }

private:
    long ReadFile(int64_t iOffset, char* buffer, long nLength)
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

    int m_fd;
    int64_t m_iSize;
    std::unique_ptr<char[]> m_pCache;  // kReadAhead bytes from the second small read on
    int64_t m_iCached = 0;             // the file's offset of m_pCache[0]
    long m_nCached = 0;                // bytes of the file in m_pCache
};
}  // namespace

struct TTftpLoop::TTransfer
{
    explicit TTransfer(const TTftpNewTransfer& t)
        : sock(t.sock), iClient(t.iClient), source(t.fd, t.params.iFileSize),
          engine(source, t.params), strFile(t.strFile), iStartMs(t.iStartMs),
          nBlockSize(t.params.nBlockSize), nWindowSize(t.params.nWindowSize)
    {
    }
    ~TTransfer() { ::close(sock); }

    int sock;
    uint32_t iClient;
    TFileSource source;  // before the engine, which reads it
    TTftpEngine engine;
    std::string strFile;
    int64_t iStartMs;
    int nBlockSize, nWindowSize;
    size_t iHeap = kNoPlace;  // place in the heap of deadlines
    size_t iSlot = 0;         // place in m_vTransfers
};

TTftpLoop::TTftpLoop(TTransferCounts& counts) : m_counts(counts) {}

TTftpLoop::~TTftpLoop()
{
    // Run ends only once every transfer has ended: nothing is left to give back.
    if (m_epoll >= 0)
        ::close(m_epoll);
    if (m_wake >= 0)
        ::close(m_wake);
}

bool TTftpLoop::Start()
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0)
        return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the wake-up; every other descriptor is a transfer's
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev) != 0)
        return false;
    m_vTransfers.reserve(64);
    m_vHeap.reserve(64);
    m_bStarted = ACE_OS::thr_create(tftploop_proc, this, 0, nullptr, &m_hThread) == 0;
    return m_bStarted;
}

void TTftpLoop::Hand(const TTftpNewTransfer& transfer)
{
    m_nLoad.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vQueue.push_back(transfer);
    }
    uint64_t iOne = 1;
    (void)!::write(m_wake, &iOne, sizeof iOne);
}

void TTftpLoop::Stop(int iGraceMs)
{
    m_iGraceMs = iGraceMs;
    m_bStop = true;
    uint64_t iOne = 1;
    (void)!::write(m_wake, &iOne, sizeof iOne);
}

void TTftpLoop::Join()
{
    if (m_bStarted)
        ACE_Thread::join(m_hThread);
    m_bStarted = false;
}

ACE_THR_FUNC_RETURN TTftpLoop::tftploop_proc(void* pArg)
{
    try
    {
        static_cast<TTftpLoop*>(pArg)->Run();
    }
    catch (...)
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "Error: Catch unknow exception in TFTP loop thread at %D\n"));
        FatalExit();
    }
    return 0;
}

void TTftpLoop::Run()
{
    constexpr int kEvents = 64;
    epoll_event events[kEvents];
    int64_t iNow = MonotonicMs();
    int64_t iGraceEnd = INT64_MAX;
    bool bStopping = false;
    for (;;)
    {
        int64_t iNext = m_vHeap.empty() ? INT64_MAX : m_vHeap[0]->engine.Deadline();
        iNext = std::min(iNext, iGraceEnd);
        int iWait =
            iNext == INT64_MAX
                ? -1
                : static_cast<int>(std::min<int64_t>(std::max<int64_t>(iNext - iNow, 0), INT_MAX));
        int nReady = epoll_wait(m_epoll, events, kEvents, iWait);
        iNow = MonotonicMs();
        for (int i = 0; i < nReady; ++i)
        {
            auto* pTransfer = static_cast<TTransfer*>(events[i].data.ptr);
            if (pTransfer != nullptr)
            {
                Receive(pTransfer, iNow);
                continue;
            }
            uint64_t iCount;
            (void)!::read(m_wake, &iCount, sizeof iCount);
            Adopt(iNow);
            if (!bStopping && m_bStop)
            {
                bStopping = true;
                iGraceEnd = iNow + m_iGraceMs;
            }
        }
        while (!m_vHeap.empty() && m_vHeap[0]->engine.Deadline() <= iNow)
        {
            TTransfer* pTransfer = m_vHeap[0];
            pTransfer->engine.OnTime(iNow);
            Flush(pTransfer);
            Settle(pTransfer, iNow);
        }
        if (bStopping && m_vTransfers.empty())
            return;
        if (bStopping && iNow >= iGraceEnd)
        {
            ShutDownAll(iNow);
            return;
        }
    }
}

void TTftpLoop::Adopt(int64_t iNowMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vAdopt.swap(m_vQueue);
    }
    for (const TTftpNewTransfer& t : m_vAdopt)
    {
        m_vTransfers.push_back(std::make_unique<TTransfer>(t));
        TTransfer* pTransfer = m_vTransfers.back().get();
        pTransfer->iSlot = m_vTransfers.size() - 1;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = pTransfer;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, pTransfer->sock, &ev) != 0)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "tftp: cannot watch a transfer's socket at %D\n"));
            End(pTransfer, iNowMs, "server-error");
            continue;
        }
        pTransfer->engine.Start(iNowMs, t.oack, t.nOack);
        Flush(pTransfer);
        Settle(pTransfer, iNowMs);
    }
    m_vAdopt.clear();
}

void TTftpLoop::Receive(TTransfer* pTransfer, int64_t iNowMs)
{
    // The socket is connected: the system hands it only the client's datagrams.
    constexpr int kBatch = 8;
    constexpr size_t kBuffer = 1024;  // more than any reply a client sends
    char aBuffers[kBatch][kBuffer];
    iovec aIov[kBatch];
    mmsghdr aMsgs[kBatch];
    memset(aMsgs, 0, sizeof aMsgs);
    for (int i = 0; i < kBatch; ++i)
    {
        aIov[i] = {aBuffers[i], kBuffer};
        aMsgs[i].msg_hdr.msg_iov = &aIov[i];
        aMsgs[i].msg_hdr.msg_iovlen = 1;
    }
    // A failure (an ICMP error the client's host sent, most often) takes nothing.
    int nReceived = recvmmsg(pTransfer->sock, aMsgs, kBatch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < nReceived && !pTransfer->engine.Ended(); ++i)
    {
        pTransfer->engine.OnDatagram(aBuffers[i], static_cast<int>(aMsgs[i].msg_len), iNowMs);
        Flush(pTransfer);
    }
    Settle(pTransfer, iNowMs);
}

void TTftpLoop::Flush(TTransfer* pTransfer)
{
    const std::vector<TTftpDatagram>& vOutput = pTransfer->engine.Output();
    constexpr size_t kBatch = 64;
    iovec aIov[kBatch][2];
    mmsghdr aMsgs[kBatch];
    for (size_t nDone = 0; nDone < vOutput.size();)
    {
        size_t n = std::min(kBatch, vOutput.size() - nDone);
        memset(aMsgs, 0, sizeof(mmsghdr) * n);
        for (size_t i = 0; i < n; ++i)
        {
            const TTftpDatagram& d = vOutput[nDone + i];
            aIov[i][0] = {const_cast<char*>(d.pHead), static_cast<size_t>(d.nHead)};
            aIov[i][1] = {const_cast<char*>(d.pBody), static_cast<size_t>(d.nBody)};
            aMsgs[i].msg_hdr.msg_iov = aIov[i];
            aMsgs[i].msg_hdr.msg_iovlen = d.nBody > 0 ? 2 : 1;
        }
        // Never waits: a datagram the system does not take now is lost as on
        // the way, and the engine's time-out sends it again. One datagram (as in
        // lock-step) goes by sendmsg, which is cheaper.
        int nSent = n == 1
                        ? (::sendmsg(pTransfer->sock, &aMsgs[0].msg_hdr, MSG_DONTWAIT) < 0 ? -1 : 1)
                        : sendmmsg(pTransfer->sock, aMsgs, static_cast<unsigned>(n), MSG_DONTWAIT);
        if (nSent < 0 && errno == EINTR)
            continue;
        nDone += n;
    }
}

void TTftpLoop::Settle(TTransfer* pTransfer, int64_t iNowMs)
{
    if (pTransfer->engine.Ended())
    {
        End(pTransfer, iNowMs);
        return;
    }
    size_t& i = pTransfer->iHeap;
    if (i == kNoPlace)
    {
        m_vHeap.push_back(pTransfer);
        i = m_vHeap.size() - 1;
        HeapUp(i);
        return;
    }
    HeapUp(i);
    HeapDown(i);
}

// The record's word for how an engine ended.
const char* EndResult(TTftpEnd iEnd)
{
    switch (iEnd)
    {
    case EndComplete:
        return "complete";
    case EndTimeout:
        return "timeout";
    case EndClientError:
        return "client-error";
    case EndDeclined:
        return "declined";
    case EndReadError:
        return "read-error";
    case EndFileChanged:
        return "file-changed";
    default:
        return "aborted";
    }
}

void TTftpLoop::End(TTransfer* pTransfer, int64_t iNowMs, const char* szResult)
{
    TTransferRecord record;
    record.nAddress = pTransfer->iClient;
    record.strFile = pTransfer->strFile;
    record.iBytes = pTransfer->engine.BytesAcked();
    record.iMs = iNowMs - pTransfer->iStartMs;
    record.iBlockSize = pTransfer->nBlockSize;
    record.iWindow = pTransfer->nWindowSize;
    record.strResult = szResult != nullptr ? szResult : EndResult(pTransfer->engine.End());
    RecordTransfer(record);
    HeapRemove(pTransfer);
    m_counts.Release(pTransfer->iClient);
    m_nLoad.fetch_sub(1, std::memory_order_relaxed);
    size_t iSlot = pTransfer->iSlot;
    if (iSlot != m_vTransfers.size() - 1)
    {
        std::swap(m_vTransfers[iSlot], m_vTransfers.back());
        m_vTransfers[iSlot]->iSlot = iSlot;
    }
    m_vTransfers.pop_back();  // closes the socket and the file
}

void TTftpLoop::ShutDownAll(int64_t iNowMs)
{
    char error[256];
    const int nError = BuildErrorMessage(error, 0, "server shutting down");
    while (!m_vTransfers.empty())
    {
        TTransfer* pTransfer = m_vTransfers.back().get();
        (void)!::send(pTransfer->sock, error, static_cast<size_t>(nError), MSG_DONTWAIT);
        sockaddr_in client{};
        socklen_t nClient = sizeof client;
        getpeername(pTransfer->sock, reinterpret_cast<sockaddr*>(&client), &nClient);
        char szClient[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &client.sin_addr, szClient, sizeof szClient);
        ACE_DEBUG((LM_INFO, LOG_PREFIX "tftp: transfer to %s:%d ended by the stop at %D\n",
                   szClient, ntohs(client.sin_port)));
        End(pTransfer, iNowMs, "shutdown");
    }
}

void TTftpLoop::HeapSwap(size_t i, size_t j)
{
    std::swap(m_vHeap[i], m_vHeap[j]);
    m_vHeap[i]->iHeap = i;
    m_vHeap[j]->iHeap = j;
}

void TTftpLoop::HeapUp(size_t i)
{
    while (i > 0)
    {
        size_t iParent = (i - 1) / 2;
        if (m_vHeap[iParent]->engine.Deadline() <= m_vHeap[i]->engine.Deadline())
            return;
        HeapSwap(i, iParent);
        i = iParent;
    }
}

void TTftpLoop::HeapDown(size_t i)
{
    const size_t n = m_vHeap.size();
    for (;;)
    {
        size_t iLeast = i, iLeft = 2 * i + 1, iRight = iLeft + 1;
        if (iLeft < n && m_vHeap[iLeft]->engine.Deadline() < m_vHeap[iLeast]->engine.Deadline())
            iLeast = iLeft;
        if (iRight < n && m_vHeap[iRight]->engine.Deadline() < m_vHeap[iLeast]->engine.Deadline())
            iLeast = iRight;
        if (iLeast == i)
            return;
        HeapSwap(i, iLeast);
        i = iLeast;
    }
}

void TTftpLoop::HeapRemove(TTransfer* pTransfer)
{
    size_t i = pTransfer->iHeap;
    if (i == kNoPlace)
        return;
    pTransfer->iHeap = kNoPlace;
    if (i != m_vHeap.size() - 1)
    {
        m_vHeap[i] = m_vHeap.back();
        m_vHeap[i]->iHeap = i;
        m_vHeap.pop_back();
        HeapUp(i);
        HeapDown(i);
        return;
    }
    m_vHeap.pop_back();
}
