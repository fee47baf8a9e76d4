// One event loop of the TFTP server: a thread that runs many transfers at
// once. Each transfer has a UDP socket of its own (its port is the transfer's
// TID, the socket connected to the client) and a transfer engine; the loop
// waits on every socket at once with epoll, reads what the client sent with
// recvmmsg, feeds it to the engine and sends what the engine gives back with
// sendmmsg. The engines' deadlines sit in a heap; the wait ends at the
// nearest one. The clock is read once per pass of the loop.
//
// The listener on port 69 hands a loop each new transfer through a queue and
// an eventfd. A stop lets the running transfers go on for a grace period;
// then each remaining client gets ERROR 0 "server shutting down" and the loop
// ends.
#pragma once

#include "tftp/engine.h"

#include <ace/OS_NS_Thread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TTransferCounts;

// A checked request as the listener hands it over; the loop owns its
// descriptors from then on and gives its place in the counts back when it ends.
struct TTftpNewTransfer
{
    int sock = -1;         // bound to a port of its own, connected to the client
    int fd = -1;           // the file, open for reading
    uint32_t iClient = 0;  // the client's IPv4 address, as the counts know it
    TTftpParams params;
    char oack[128];
    int nOack = 0;  // 0: the data starts at once
    std::string strFile;   // the name the client asked for, for the transfer's record
    int64_t iStartMs = 0;  // when the request came (the monotonic clock)
};

class TTftpLoop
{
public:
    explicit TTftpLoop(TTransferCounts& counts);
    ~TTftpLoop();

    TTftpLoop(const TTftpLoop&) = delete;
    TTftpLoop& operator=(const TTftpLoop&) = delete;

    // Creates the loop's descriptors and starts its thread; false when it cannot.
    bool Start();
    // Transfers handed to the loop and not ended yet.
    int Load() const { return m_nLoad.load(std::memory_order_relaxed); }
    // Hands the loop a new transfer (from another thread).
    void Hand(const TTftpNewTransfer& transfer);
    // Asks the loop to end: at once when it runs no transfer, else once they
    // have ended or iGraceMs have passed.
    void Stop(int iGraceMs);
    // Waits for the loop's thread to end (after Stop).
    void Join();

private:
    struct TTransfer;

    static ACE_THR_FUNC_RETURN tftploop_proc(void* pArg);
    void Run();
    void Adopt(int64_t iNowMs);
    void Receive(TTransfer* pTransfer, int64_t iNowMs);
    void Flush(TTransfer* pTransfer);
    void Settle(TTransfer* pTransfer, int64_t iNowMs);
    // Records how the transfer ended (szResult: null for the engine's own end) and drops it.
    void End(TTransfer* pTransfer, int64_t iNowMs, const char* szResult = nullptr);
    void ShutDownAll(int64_t iNowMs);
    // The heap of deadlines, each transfer knowing its place in it.
    void HeapUp(size_t i);
    void HeapDown(size_t i);
    void HeapSwap(size_t i, size_t j);
    void HeapRemove(TTransfer* pTransfer);

    TTransferCounts& m_counts;
    int m_epoll = -1;
    int m_wake = -1;  // eventfd: a transfer was handed over, or the stop
    ACE_hthread_t m_hThread{};
    bool m_bStarted = false;
    std::atomic<int> m_nLoad{0};
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_iGraceMs{0};

    std::mutex m_mutex;  // guards m_vQueue
    std::vector<TTftpNewTransfer> m_vQueue;
    std::vector<TTftpNewTransfer> m_vAdopt;  // the loop's side of the queue

    std::vector<std::unique_ptr<TTransfer>> m_vTransfers;
    std::vector<TTransfer*> m_vHeap;
};
