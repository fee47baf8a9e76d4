// TFTP server: the listener on port 69, the request checks, the packet layer
// and the transfer of one file.
//
// The service thread (tftpservice_proc) owns port 69 and only notices that a
// request has arrived; each request is taken off the port, checked and served
// by a worker (tftpsend_proc) started through the thread pool. A worker
// answers from a socket of its own, connected to its client, and sends the
// file in 512-byte blocks, one block in flight at a time.
//
// Only read requests are served. The transfer mode is read but not examined.
// Only the first option is looked at and only "tsize" with the value "0" is
// answered (OACK with "tsize" alone); every other option is ignored.
#pragma once

#include <ace/Event.h>
#include <ace/OS_NS_Thread.h>

#include <netinet/in.h>

#include <cstdint>

// Sizes of one transfer.
constexpr int kTftpPacketSize = 516;                   // 4-byte header + 512 data bytes
constexpr int kTftpBlockSize = kTftpPacketSize - 4;    // data bytes per DATA block
constexpr int kTftpWaitSeconds = 10;                   // every wait for a datagram
constexpr int kTftpMaxTimeouts = 3;                    // time-outs survived per transfer
constexpr int kTftpMaxBlocks = 65535;                  // block numbers are 16 bits
// Largest file that fits in kTftpMaxBlocks blocks (the last block must be short).
constexpr int64_t kTftpMaxFileSize = int64_t(kTftpMaxBlocks) * kTftpBlockSize - 1;
constexpr int kTftpPort = 69;

// Opcodes.
enum
{
    TftpRrq = 1,
    TftpWrq = 2,
    TftpData = 3,
    TftpAck = 4,
    TftpError = 5,
    TftpOack = 6
};

// Result of RecvPacket.
enum
{
    RecvError = -1,      // the wait or the receive failed, the datagram was empty or too long, bad opcode
    RecvDiscard = 0,     // a datagram from a port other than the peer's, dropped
    RecvTimeout = 1,     // nothing arrived within the wait
    RecvRrq = 2,
    RecvWrq = 3,
    RecvAck = 4,
    RecvOack = 5,
    RecvErrorPacket = 6,
    RecvData = 7
};

// Error texts by error code (0 to 7), sent exactly as they stand.
extern const char* const TftpErrorText[8];

// The record of one transfer: one per worker, zero-filled when it starts.
struct TftpTransfer
{
    ACE_HANDLE sock;                  // the transfer's own UDP socket
    char packet[kTftpPacketSize];     // the request, then every DATA sent and every reply received
    int packetSize;                   // size of packet, and the receive length
    char path[512];                   // root directory + requested name, zero-terminated
    sockaddr_in client;               // the client's address and port
    int waitSeconds;                  // length of every wait for a datagram
    char mode[64];                    // transfer mode of the request (kept, not examined)
    char tsizeValue[64];              // value of a "tsize" option
};

// Handed from a worker to the service thread once it has read the request
// datagram off port 69 (auto-reset: one signal releases one wait).
extern ACE_Event evRequestTaken;

// Wait, in seconds, that tftpsend_proc gives to every receive of a transfer
// (kTftpWaitSeconds; only tests shorten it, before any server thread starts).
extern int giTftpWaitSeconds;

// ---- packet layer -------------------------------------------------------

// Waits up to iWaitSeconds for a datagram on sock and receives it into
// buffer (*pLength in: buffer size, out: bytes received). When the port of
// *pPeer is 0 the sender's address is copied into *pPeer; otherwise only a
// datagram from the same port is accepted. Returns one of the Recv* values.
int RecvPacket(ACE_HANDLE sock, sockaddr_in* pPeer, char* buffer, int* pLength,
               int iWaitSeconds = kTftpWaitSeconds);

// Sends ERROR with code (0 to 7) and its text. 0 when handed to the system, else -1.
int SendError(ACE_HANDLE sock, const sockaddr_in* pPeer, uint16_t code);

// Writes the DATA header (opcode 3, low 16 bits of block) into the first four
// bytes of packet and sends length bytes of it. 0 or -1.
int SendData(ACE_HANDLE sock, const sockaddr_in* pPeer, int block, int length, char* packet);

// Sends the file at pTransfer->path to pTransfer->client over pTransfer->sock.
// -1 when the file cannot be served (missing, not a regular file, too large;
// the client gets an ERROR packet), otherwise 0, whether the transfer
// completed or was aborted. Does not close the socket.
int SendFile(TftpTransfer* pTransfer);

// Opens pTransfer->path for sending and gives its size. Only a regular file of
// at most kTftpMaxFileSize bytes is served; otherwise the failure is logged,
// the client gets ERROR (code 1 for a file that is missing or not a regular
// file, code 3 for one too large) and the result is -1. Else a file descriptor.
int OpenFileForSending(const TftpTransfer* pTransfer, int64_t* piSize);

// ---- request parsing (no I/O) ------------------------------------------

enum
{
    RequestOk = 0,          // path, mode and tsizeValue filled
    RequestMalformed = -1   // a string overflows its field or is not terminated
};

// Parses the read request held in pTransfer->packet (nLength bytes): the name
// after the opcode, the mode, the first option name (into szOption, 64
// characters, empty when the request ends with the mode) and, when that option
// is "tsize" in any case, its value into tsizeValue. path becomes szRoot
// followed by the name as received. Writes nothing past any field.
int ParseReadRequest(TftpTransfer* pTransfer, int nLength, const char* szRoot, char* szOption);

// False when the path holds "../" or "..\\" anywhere.
bool IsPathAllowed(const char* szPath);

// Builds the OACK that answers "tsize" with iSize into buffer (at least 100
// bytes, zero-filled here). Returns its length.
int BuildTsizeOack(char* buffer, int64_t iSize);

// ---- threads ------------------------------------------------------------

// The TFTP service thread: binds port 69 on every interface and starts one
// worker per request until evStop is signalled; then waits for every worker.
// The argument is ignored. Ends the process when port 69 cannot be had.
ACE_THR_FUNC_RETURN tftpservice_proc(void* pArg);

// One worker: the argument is the port-69 socket handle.
ACE_THR_FUNC_RETURN tftpsend_proc(void* pArg);
