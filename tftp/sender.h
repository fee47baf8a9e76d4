// The transfer engine: sends one file to one client in DATA blocks and reads
// the client's replies, through TTftpPeer, so that it does no I/O of its own.
//
// Without negotiation a transfer is lock-step in 512-byte blocks and every ACK
// makes the block after the acknowledged number the next one sent. With
// negotiation (bStrictAcks) up to nWindowSize blocks go out back to back before
// each wait; an ACK counts when it names a block of the window sent and not yet
// acknowledged, and the next window starts right after it (go-back-N). An ACK
// of the block before the window (a client that lost the window's first block)
// sends the window again, once until the transfer moves on; other ACKs are
// passed over, and the wait for a window's reply is not made longer by them.
// Block numbers roll over from 65535 to 0, so a file may have any size.
// Either way a time-out sends again from the first unacknowledged block, the
// fourth time-out of a transfer aborts it, and the transfer completes only on
// the ACK of its final (short) block.
#pragma once

#include "tftp/packet.h"

#include <cstdint>
#include <vector>

// The client and the file, as the engine sees them.
class TTftpPeer
{
public:
    // One datagram to send: its head (a header or a whole packet) and its body.
    struct TDatagram
    {
        const char* pHead;
        int nHead;
        const char* pBody;
        int nBody;
    };

    virtual ~TTftpPeer() = default;
    // Sends nCount datagrams in order; a failure is not reported (the wait for
    // the reply times out and the datagrams are sent again).
    virtual void Send(const TDatagram* pDatagrams, int nCount) = 0;
    // Waits up to iWaitMs milliseconds for the client's next datagram into
    // buffer (*pnLength in: its size, out: bytes received). Returns a Recv* value.
    virtual int Receive(char* buffer, int* pnLength, int iWaitMs) = 0;
    // A monotonic clock in milliseconds.
    virtual int64_t NowMs() = 0;
    // Reads up to nLength bytes of the file from iOffset: the bytes read
    // (fewer only at the end of the file), or -1.
    virtual long Read(int64_t iOffset, char* buffer, long nLength) = 0;
};

struct TTftpParams
{
    int nBlockSize = kTftpBlockSize;
    int nWindowSize = 1;
    int iWaitSeconds = kTftpWaitSeconds;
    bool bStrictAcks = false;
    int64_t iFileSize =
        0;  // without negotiation, an ACK after which no block is left is passed over
};

// How a transfer or its option exchange ended.
enum
{
    TransferComplete = 0,  // the final block was acknowledged (or the OACK, by ACK 0)
    TransferAborted = 1,  // too many time-outs, a receive or read failure, an ERROR during the data
    TransferDeclined = 2  // the client answered the OACK with ERROR
};

class TTftpSender
{
public:
    TTftpSender(TTftpPeer& peer, const TTftpParams& params);

    // Sends the OACK (nOack bytes) and waits for its ACK 0, sending it again
    // on time-out; the time-outs count towards the transfer's.
    int SendOack(const char* pOack, int nOack);
    // Sends the file from block 1 to its acknowledged final block.
    int SendFile();

private:
    enum Reply
    {
        ReplyAck,  // *pBlock holds the acknowledged number
        ReplyOack,
        ReplyTimeout,
        ReplyClientError,
        ReplyFailure
    };
    // Starts the wait for the reply to what was just sent.
    void StartWait();
    // Waits for the next reply that matters, logging and passing over the others.
    Reply AwaitReply(uint16_t* pBlock);
    // Counts a time-out; false once there were too many.
    bool CountTimeout();
    // Sends the window that starts at block iFirst; the number of blocks sent, or -1.
    int SendWindow(uint64_t iFirst);
    int Abort();

    TTftpPeer& m_peer;
    TTftpParams m_params;
    int m_iTimeouts = 0;          // over the whole transfer, never reset
    int64_t m_iDeadline = 0;      // end of the current wait (with negotiation)
    bool m_bFreshWait = false;    // nothing received yet in the current wait
    bool m_bResent = false;       // the window was sent again for an ACK of the block before it
    uint64_t m_iFinal = 0;        // number of the final block once it was read, else 0
    std::vector<char> m_vWindow;  // the data of one window
    std::vector<char> m_vHeaders;
    std::vector<TTftpPeer::TDatagram> m_vDatagrams;
    char m_reply[kTftpPacketSize];
};
