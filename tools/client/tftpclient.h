// The TFTP read client of the benchmark tools: any number of transfers at
// once, one socket each, in one event loop that the caller turns with Poll.
// Each transfer is a CTftpRead (client/tftpread.h says how a read goes); this
// loop gives it the datagrams from the server's port of the transfer, its
// time-outs and its role. A transfer fails after iRetries time-outs in a row
// (of iTimeoutMs each, the last request or ACK sent again each time), past
// its iLimitMs, on an ERROR, on an OACK that grants what was not asked for
// (or a tsize other than the original's), and on the first byte that differs
// from its original file.
#pragma once

#include "tools/client/tftpread.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

typedef std::chrono::steady_clock TClock;

// The decimal number in sz within [iMin, iMax], or -1.
int ParseNumber(const char* sz, int iMin, int iMax);

// A file's bytes, mapped read-only, to compare transfers with.
class CMappedFile
{
public:
    CMappedFile() = default;
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;
    ~CMappedFile();
    bool Open(const std::string& strPath);  // false, with a message on stderr, when it cannot
    const unsigned char* Data() const { return m_p; }
    uint64_t Size() const { return m_n; }

private:
    const unsigned char* m_p = nullptr;
    uint64_t m_n = 0;
};

// What a transfer does once its read request is out.
enum EClientRole
{
    RoleFetch,   // takes the whole file
    RoleProbe,   // ends the first answer with ERROR 8, as firmware's size probe does
    RoleSilent,  // sends the request and never anything after it
    RoleSlow     // acknowledges each window iAckDelayMs late; silent after iAckLimit ACKs
};

struct TClientRequest
{
    std::string strFile;
    int iBlockSize = 0;  // options asked for; 0: not asked
    int iWindowSize = 0;
    bool bTsize = false;
    int iTimeoutOption = 0;  // "timeout" in seconds
    int iTimeoutMs = 1000;
    int iRetries = 12;
    int iLimitMs = 0;  // the whole transfer; 0: no limit
    EClientRole eRole = RoleFetch;
    int iAckDelayMs = 0;                  // RoleSlow
    int iAckLimit = 0;                    // RoleSlow; 0: no limit
    const CMappedFile* pCheck = nullptr;  // the original; nullptr: not compared
    in_addr_t nSource = INADDR_ANY;       // the address to send from, network order
};

enum EClientState
{
    StateRunning,
    StateDone,    // the file taken (or, for a probe, the answer), intact
    StateFailed,  // strWhy says why
    StateSilent   // no longer answers; its socket stays open until Stop
};

struct TClientTransfer
{
    explicit TClientTransfer(const TClientRequest& request);

    TClientRequest r;
    CTftpRead read;  // what was granted and taken
    EClientState eState = StateRunning;
    std::string strWhy;
    int fd = -1;
    sockaddr_in saPeer{};  // the server's port of this transfer, once it answered
    bool bAckDue = false;  // RoleSlow: an ACK waits for tpDeadline
    int iAcks = 0;         // RoleSlow: ACKs sent
    int iTimeouts = 0;     // in a row
    TClock::time_point tpStart, tpEnd, tpDeadline;
};

class CTftpClient
{
public:
    CTftpClient();
    CTftpClient(const CTftpClient&) = delete;
    CTftpClient& operator=(const CTftpClient&) = delete;
    ~CTftpClient();
    // The server to ask; false, with a message on stderr, on a bad address.
    bool Open(const std::string& strServer, uint16_t nPort);
    // Sends a read request from a socket of its own; returns the transfer's index.
    size_t Start(const TClientRequest& r);
    // Waits up to iWaitMs for datagrams, handles them and the time-outs that
    // are due, and puts the transfers that ended since the last call (done,
    // failed or silent) into vEnded.
    void Poll(int iWaitMs, std::vector<size_t>& vEnded);
    // Closes the transfer's socket without a word; one that still ran fails.
    void Stop(size_t i);
    size_t Running() const { return m_nRunning; }
    size_t Size() const { return m_vTransfers.size(); }
    const TClientTransfer& operator[](size_t i) const { return m_vTransfers[i]; }

private:
    void Send(TClientTransfer& t, const std::string& strDatagram);
    void End(size_t i, EClientState eState, const std::string& strWhy = std::string());
    void Fail(size_t i, const std::string& strWhy);
    bool OnData(size_t i, uint64_t iOffset, const unsigned char* p, size_t n,
                std::string& strWhy) const;
    void Receive(size_t i);
    void CheckTimeouts();

    static const int kBatch = 16;  // datagrams taken from a socket per call
    sockaddr_in m_saServer{};
    std::vector<TClientTransfer> m_vTransfers;
    std::vector<size_t> m_vEnded;
    size_t m_nRunning = 0;
    int m_ep = -1;
    TClock::time_point m_tpNow, m_tpScan;
    std::vector<unsigned char> m_vBuffers;  // kBatch datagrams of the largest block
    mmsghdr m_aMsgs[kBatch];
    iovec m_aIov[kBatch];
    sockaddr_in m_aFrom[kBatch];
};
