// TFTP server: the listener on port 69 and its request checks.
//
// The service thread (tftpservice_proc) owns port 69 and never does anything
// else than read it: it checks each request, opens the file, gives the
// transfer a socket of its own (connected to the client, on a port of the
// system's choice) and hands it to the least loaded of a few event loops
// (tftp/loop.h), which run every transfer. A request beyond the limits on
// transfers at once (in all, and from one client address) is refused with
// ERROR 0 from port 69 at once.
//
// Only read requests are served. The transfer mode is read but not examined.
// Without negotiation only the first option is looked at and only "tsize"
// with the value "0" is answered (OACK with "tsize" alone); the file goes in
// 512-byte blocks, one block in flight at a time. With negotiation
// (gSettings.bTftpNegotiate) the options are granted as tftp/packet.h says.
#pragma once

#include <ace/OS_NS_Thread.h>

// Wait, in seconds, for every reply of a client without negotiation, and
// with it when the client did not ask for "timeout" (kTftpWaitSeconds).
extern int giTftpWaitSeconds;
// What a stop leaves running transfers, in milliseconds, before their
// clients get ERROR 0 "server shutting down".
extern int giTftpStopGraceMs;

// The TFTP service thread: binds port 69 on every interface and serves it
// until evStop is signalled; then lets the running transfers finish (within
// giTftpStopGraceMs) and returns. The argument is ignored. Ends the process
// when port 69 cannot be had.
ACE_THR_FUNC_RETURN tftpservice_proc(void* pArg);
