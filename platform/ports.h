// Ports as the system shows them: which programs hold a UDP port (from /proc),
// why a bind failed in words an administrator can act on, and a TCP connect
// bounded in time.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

// A socket bound to a UDP port, and the process that holds it when /proc tells.
struct TPortUser
{
    std::string strAddress;  // the local address, dotted ("IPv6" for a socket of /proc/net/udp6)
    unsigned long nInode = 0;
    int iPid = 0;            // 0: unknown (another user's process, another namespace)
    std::string strProgram;  // its name as /proc/PID/comm gives it; empty when unknown
};

// The sockets bound to nPort in the text of /proc/net/udp or /proc/net/udp6
// (without pid and program).
std::vector<TPortUser> ParseUdpTable(const std::string& strTable, uint16_t nPort, bool bIpv6);

// The sockets of this network namespace bound to UDP port nPort, with their
// holders where /proc/*/fd shows them.
std::vector<TPortUser> FindUdpPortUsers(uint16_t nPort);

// Why a bind to UDP port nPort failed with iErrno, with a hint: the holders
// of the port for EADDRINUSE (for the DHCP port, how to leave it to them),
// the privilege needed for EACCES.
std::string BindFailureText(uint16_t nPort, int iErrno, const std::vector<TPortUser>& vUsers);
// The same, with the holders looked up.
std::string BindFailureReason(uint16_t nPort, int iErrno);

// Waits up to iTimeoutMs for iEvents on sc; a signal does not shorten the wait.
// Returns poll's result: > 0 ready, 0 time-out, -1 error.
int WaitForSocket(int sc, short iEvents, int iTimeoutMs);

// Connects the stream socket sc to addr within iTimeoutMs; the socket is
// blocking again afterwards. 0, or the error (ETIMEDOUT when no answer came).
int ConnectWithin(int sc, const sockaddr_in& addr, int iTimeoutMs);

// Opens a TCP connection to strHost (dotted) and port nPort within iTimeoutMs
// and closes it again. 0, or the error (EINVAL for a text that is no address).
int ProbeTcp(const std::string& strHost, uint16_t nPort, int iTimeoutMs);
