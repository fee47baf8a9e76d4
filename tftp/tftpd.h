// TFTP server: the listener on port 69, the request checks, the packet layer
// and the transfer of one file.
//
// The service thread (tftpservice_proc) owns port 69 and only notices that a
// request has arrived; each request is taken off the port, checked and served
// by a worker (tftpsend_proc) started through the thread pool. A worker
// answers from a socket of its own, connected to its client, and sends the
// file through the transfer engine (tftp/sender.h).
//
// Only read requests are served. The transfer mode is read but not examined.
// Without negotiation only the first option is looked at and only "tsize"
// with the value "0" is answered (OACK with "tsize" alone); the file goes in
// 512-byte blocks, one block in flight at a time. With negotiation
// (gSettings.bTftpNegotiate) the options are granted as tftp/packet.h says.
#pragma once

#include "tftp/packet.h"

#include <ace/Event.h>
#include <ace/OS_NS_Thread.h>

#include <netinet/in.h>

#include <cstdint>

// The record of one transfer: one per worker, zero-filled when it starts.
struct TftpTransfer
{
    ACE_HANDLE sock;                   // the transfer's own UDP socket
    char packet[kTftpPacketSize];      // the request, then every DATA sent and every reply received
    int packetSize;                    // size of packet, and the receive length
    char path[kTftpPathSize];          // root directory + requested name, zero-terminated
    sockaddr_in client;                // the client's address and port
    int waitSeconds;                   // length of every wait for a datagram
    char mode[kTftpModeSize];          // transfer mode of the request (kept, not examined)
    char tsizeValue[kTftpOptionSize];  // value of a "tsize" option
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

// Sends the file at pTransfer->path to pTransfer->client over pTransfer->sock.
// -1 when the file cannot be served (missing, not a regular file, too large;
// the client gets an ERROR packet), otherwise 0, whether the transfer
// completed or was aborted. Does not close the socket.
int SendFile(TftpTransfer* pTransfer);

// Sends the file open at fd to pTransfer->client over pTransfer->sock with the
// parameters given. Returns a Transfer* value. Does not close fd or the socket.
struct TTftpParams;
int RunTransfer(const TftpTransfer* pTransfer, int fd, const TTftpParams& params, const char* pOack,
                int nOack);

// Opens pTransfer->path for sending and gives its size. Only a regular file is
// served, and without negotiation only one of at most kTftpMaxFileSize bytes; otherwise the failure
// is logged, the client gets ERROR (code 1 for a file that is missing or not a regular file, code 3
// for one too large) and the result is -1. Else a file descriptor.
int OpenFileForSending(const TftpTransfer* pTransfer, int64_t* piSize, bool bAnySize = false);

// ---- threads ------------------------------------------------------------

// The TFTP service thread: binds port 69 on every interface and starts one
// worker per request until evStop is signalled; then waits for every worker.
// The argument is ignored. Ends the process when port 69 cannot be had.
ACE_THR_FUNC_RETURN tftpservice_proc(void* pArg);

// One worker: the argument is the port-69 socket handle.
ACE_THR_FUNC_RETURN tftpsend_proc(void* pArg);
