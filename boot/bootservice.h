// The boot service listener: UDP ports 67 (proxy DHCP) and 4011 (PXE boot
// server). One listener thread receives the datagrams; each one is handed to
// a detached worker thread that runs the request handler on it.
#pragma once

#include "platform/interfaces.h"

#include <ace/OS_NS_Thread.h>

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <vector>

// Receive limits of the two listening sockets.
constexpr uint32_t kDhcpReceiveLimit = 1024;
constexpr uint32_t kBinlReceiveLimit = 1500;
// Most request workers that may run at once; a datagram beyond that is dropped.
constexpr int kMaxPxeWorkers = 1024;

// One received datagram, owned by the worker that handles it.
struct PxeDatagram
{
    sockaddr_in saFrom;           // sender (network byte order)
    unsigned char payload[1500];  // zero-filled, then the received bytes
    uint32_t length;              // bytes received
    uint16_t port;                // receiving port, host order: 67 or 4011
    int iIfIndex;                 // interface the datagram arrived on (0: unknown)
    uint32_t nLocalAddr;          // the address it arrived at, network order (0: unknown)
    int scReply;  // duplicate of the receiving socket, owned and closed by the worker (-1: none)
    // This machine's networks as the listener last read them (null: none known).
    std::shared_ptr<const std::vector<TLocalNetwork>> pLocalNetworks;
};

// Thread function of the listener, started once by the service main thread
// with ACE_OS::thr_create. The argument, when not null, points to an int that
// caps the request workers below kMaxPxeWorkers; returns 0. Ends as soon
// as evStop is signalled (its descriptor is in the wait). Reports itself to
// ServiceThreadBound once both sockets are bound. Ends the process with exit
// status -1 when a socket cannot be created or bound.
ACE_THR_FUNC_RETURN bootservice_proc(void* pArg);

// Thread function of one worker; the argument is a heap PxeDatagram that the
// worker takes over (and deletes).
ACE_THR_FUNC_RETURN PxeParserThread(void* pArg);

// Hands one datagram to the request handler and writes the handler's result
// to standard output ("aaaaaaaaaaaaa%d\n").
void PxeParser(PxeDatagram dg);

// Number of request workers running now.
int PxeWorkersRunning();
