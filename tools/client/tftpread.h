// One TFTP read as the tools' clients make it: the read request with the
// options asked for, then the server's datagrams one at a time. No sockets:
// the caller sends what fnSend is given, waits, and feeds in what arrives
// from the server's port of this transfer.
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

class CTftpRead
{
public:
    // iBlockSize and iWindowSize are asked for when above 0, "tsize 0" with bTsize.
    CTftpRead(const std::string& strFile, int iBlockSize, int iWindowSize, bool bTsize);

    // The read request.
    const std::string& Request() const { return m_strRequest; }
    // A datagram from the server (n bytes). False, with strWhy, when the
    // transfer failed: an ERROR, an OACK not as asked, an oversized block, or
    // fnData refusing the bytes.
    bool OnDatagram(const unsigned char* p, size_t n, std::string& strWhy);
    // What to send again after a time-out: the request before any answer,
    // else the ACK of the last block in order.
    std::string Retry() const;
    // The ERROR a client sends when it gives a transfer up.
    static std::string Abandon();

    bool Answered() const { return m_bAnswered; }
    bool Done() const { return m_bDone; }
    int BlockSize() const { return m_iBlockSize; }
    int WindowSize() const { return m_iWindowSize; }
    int64_t Tsize() const { return m_iTsize; }  // granted by the OACK; -1: none
    uint64_t Bytes() const { return m_nBytes; }
    // The block wanted next, counted from 1 without wrapping: it moves on with each block.
    uint64_t NextBlock() const { return m_nNext; }

    // Sends one datagram to the server's port of the transfer.
    std::function<void(const std::string& strDatagram)> fnSend;
    // Takes the bytes of each new block, in order, at their offset in the
    // file; false with strWhy fails the transfer.
    std::function<bool(uint64_t iOffset, const unsigned char* p, size_t n, std::string& strWhy)>
        fnData;

private:
    bool OnOack(const unsigned char* p, size_t n, std::string& strWhy);
    bool OnData(const unsigned char* p, size_t n, std::string& strWhy);
    void SendAck(uint16_t nBlock);

    int m_iAskBlockSize, m_iAskWindowSize;
    bool m_bAskTsize;
    std::string m_strRequest;
    bool m_bAnswered = false;
    bool m_bDone = false;
    int m_iBlockSize;
    int m_iWindowSize = 1;
    int64_t m_iTsize = -1;
    uint64_t m_nNext = 1;         // the block wanted next, counted from 1 without wrapping
    int m_iInWindow = 0;          // blocks taken in order since the last ACK
    bool m_bRepeatAcked = false;  // a gap or repeat since the last progress was answered
    uint64_t m_nBytes = 0;
};
