// One TFTP read as the tools' clients make it: the read request with the
// options asked for, then the server's datagrams one at a time. No sockets
// and no clock: the caller sends what fnSend is given (the request to the
// server's port, the rest to the port of this transfer once it answered),
// waits, feeds in what arrives from the transfer's port, and calls Retry when
// it waited too long.
//
// An OACK may grant fewer options than asked (DATA at once grants none); an
// option granted that was not asked for, or beyond what was asked, fails the
// transfer. Block numbers wrap from 65535 to 0. With a window of W every W-th
// block received in order is acknowledged, and the last; on a gap or a
// repeat the last block in order is acknowledged once, until it moves on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// How a read goes once the server answered.
enum ETftpReadMode
{
    ReadFetch,    // takes the whole file
    ReadProbe,    // ends the first answer with ERROR 8, as firmware's size probe does
    ReadLateAcks  // leaves the ACK that ends a window to the caller (AckHeld, Ack), and
                  // answers no gap or repeat
};

struct TTftpReadOptions
{
    int iBlockSize = 0;  // options asked for when above 0
    int iWindowSize = 0;
    int iTimeout = 0;        // "timeout" in seconds; granted only as asked
    bool bTsize = false;     // "tsize 0"
    int64_t iFileSize = -1;  // the size a granted tsize must name; -1: any
    ETftpReadMode eMode = ReadFetch;
};

class CTftpRead
{
public:
    explicit CTftpRead(const std::string& strFile,
                       const TTftpReadOptions& options = TTftpReadOptions());

    // The read request.
    const std::string& Request() const { return m_strRequest; }
    // A datagram from the server (n bytes). False, with strWhy, when the
    // transfer failed: an ERROR, an OACK not as asked, an oversized block, or
    // fnData refusing the bytes.
    bool OnDatagram(const unsigned char* p, size_t n, std::string& strWhy);
    // After a time-out: sends the request again before any answer, else the
    // ACK of the last block in order, which starts a new window.
    void Retry();
    // Acknowledges the last block in order now, starting a new window.
    void Ack();
    // Tells a server that answered that the client gives the transfer up
    // (ERROR 0); nothing when the server ended it or it is done.
    void Abandon();

    bool Answered() const { return m_bAnswered; }
    bool Done() const { return m_bDone; }
    // ReadLateAcks: a window is complete and its ACK waits for Ack.
    bool AckHeld() const { return m_bAckHeld; }
    int BlockSize() const { return m_iBlockSize; }
    int WindowSize() const { return m_iWindowSize; }
    int64_t Tsize() const { return m_iTsize; }  // granted by the OACK; -1: none
    uint64_t Bytes() const { return m_nBytes; }
    // The block wanted next, counted from 1 without wrapping: it moves on with
    // each block taken (inside fnData it is still the block being taken).
    uint64_t NextBlock() const { return m_nNext; }

    // Sends one datagram to the server.
    std::function<void(const std::string& strDatagram)> fnSend;
    // Takes the bytes of each new block, in order, at their offset in the
    // file; false with strWhy fails the transfer.
    std::function<bool(uint64_t iOffset, const unsigned char* p, size_t n, std::string& strWhy)>
        fnData;

private:
    bool OnOack(const unsigned char* p, size_t n, std::string& strWhy);
    bool OnData(const unsigned char* p, size_t n, std::string& strWhy);
    void Send(const std::string& strDatagram);
    void SendError(uint16_t nCode, const char* szText);
    void EndProbe();

    TTftpReadOptions m_ask;
    std::string m_strRequest;
    bool m_bAnswered = false;
    bool m_bDone = false;
    bool m_bEnded = false;  // done, or ended by the server's ERROR or the client's
    bool m_bAckHeld = false;
    int m_iBlockSize;
    int m_iWindowSize = 1;
    int64_t m_iTsize = -1;
    uint64_t m_nNext = 1;         // the block wanted next, counted from 1 without wrapping
    int m_iInWindow = 0;          // blocks taken in order since the last ACK
    bool m_bRepeatAcked = false;  // a gap or repeat since the last progress was answered
    uint64_t m_nBytes = 0;
};
