// The transfer engine: the state of one file being sent to one client, fed
// the client's datagrams and the time, and giving back what to send and when
// it wants to be called again. It does no I/O and never waits; the file is
// read through TTftpSource, so that tests and the fuzzer hand it memory.
//
// Without negotiation a transfer is lock-step in 512-byte blocks: the ACK of
// the block sent moves it on, any other ACK is passed over. With negotiation
// (bStrictAcks) up to nWindowSize blocks go out back to back; an ACK counts
// when it names a block of the window sent and not yet acknowledged, and the
// next window starts right after it (go-back-N). An ACK that names no such
// block, a duplicate above all, never makes the engine send: only its own
// time-out sends again, from the first unacknowledged block. Block numbers
// roll over from 65535 to 0, so a file may have any size.
//
// The transfer completes only on the ACK of its final (short, maybe empty)
// block. The fourth time-out of a transfer aborts it, and the second already
// when the client has never answered. A read that comes back short of the
// size the file had when it was opened ends the transfer with ERROR 0 "file
// changed" before a short block goes out.
#pragma once

#include "core/loglimit.h"
#include "tftp/packet.h"

#include <cstdint>
#include <vector>

// The file being sent.
class TTftpSource
{
public:
    virtual ~TTftpSource() = default;
    // Reads up to nLength bytes from iOffset: the bytes read (fewer only at
    // the end of the file), or -1.
    virtual long Read(int64_t iOffset, char* buffer, long nLength) = 0;
};

struct TTftpParams
{
    int nBlockSize = kTftpBlockSize;
    int nWindowSize = 1;                   // 1 to 64
    int iWaitSeconds = kTftpWaitSeconds;   // length of every wait for the client
    bool bStrictAcks = false;              // negotiation on: windows, go-back-N
    bool bOackOnce = false;                // the OACK is sent once and any ACK starts the data
    int64_t iFileSize = 0;                 // the file's size when it was opened
};

// One datagram to send: its head (a header or a whole packet) and its body.
struct TTftpDatagram
{
    const char* pHead;
    int nHead;
    const char* pBody;
    int nBody;
};

// How a transfer ended.
enum TTftpEnd
{
    EndRunning = -1,    // not ended yet
    EndComplete = 0,    // the final block was acknowledged
    EndTimeout,         // too many time-outs
    EndClientError,     // the client sent ERROR during the data
    EndDeclined,        // the client answered the OACK with ERROR (a size probe, most often)
    EndReadError,       // the file could not be read
    EndFileChanged,     // the file was shorter than when it was opened (ERROR 0 sent)
};

class TTftpEngine
{
public:
    TTftpEngine(TTftpSource& source, const TTftpParams& params);

    TTftpEngine(const TTftpEngine&) = delete;
    TTftpEngine& operator=(const TTftpEngine&) = delete;

    // Starts the transfer: the OACK (nOack bytes, copied) when nOack > 0,
    // else the first window of data.
    void Start(int64_t iNowMs, const char* pOack, int nOack);
    // A datagram from the client's own address and port (nLength >= 0 bytes).
    void OnDatagram(const char* pDatagram, int nLength, int64_t iNowMs);
    // The time has come: call at or after Deadline(); earlier calls do nothing.
    void OnTime(int64_t iNowMs);

    // What the last call gave to send, in order; valid until the next call.
    const std::vector<TTftpDatagram>& Output() const { return m_vOutput; }
    // When OnTime is wanted next (a monotonic time in milliseconds);
    // INT64_MAX once the transfer has ended.
    int64_t Deadline() const { return m_iDeadline; }
    bool Ended() const { return m_iEnd != EndRunning; }
    TTftpEnd End() const { return m_iEnd; }
    // DATA bytes the client has acknowledged.
    int64_t BytesAcked() const;

private:
    void SendOack(int64_t iNowMs);
    void SendWindow(int64_t iNowMs);
    void OnAck(uint16_t iBlock, int64_t iNowMs);
    void Finish(TTftpEnd iEnd);
    void Abort(TTftpEnd iEnd);  // Finish, with the line that says so
    void StartWait(int64_t iNowMs);
    // True when a line of this kind, caused by a datagram passed over, is to
    // be written now (after the count of those suppressed before it).
    bool MayLog(int iKind, int64_t iNowMs);
    bool Started() const { return m_bOack || m_iLast != 0 || Ended(); }

    TTftpSource& m_source;
    TTftpParams m_params;
    TTftpEnd m_iEnd = EndRunning;
    int64_t m_iDeadline = 0;
    int m_iTimeouts = 0;          // over the whole transfer, never reset
    bool m_bAnswered = false;     // the client has sent something that counts
    bool m_bOack = false;         // waiting for the OACK's ACK 0
    uint64_t m_iFirst = 1;        // first block not acknowledged
    uint64_t m_iLast = 0;         // last block of the window sent
    uint64_t m_iFinal = 0;        // number of the final block
    std::vector<char> m_vOack;
    std::vector<char> m_vWindow;  // the data of one window
    std::vector<char> m_vHeaders;
    std::vector<TTftpDatagram> m_vOutput;
    char m_error[256];            // the ERROR sent when the file changed
    TLogLimiter m_limiter;
};
