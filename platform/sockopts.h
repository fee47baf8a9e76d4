// Socket options beyond the plain ones: a socket tied to one network device,
// the arrival interface of each received datagram, the interface a sent one
// leaves through, and the path MTU of a connected socket.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

// Room for the control data of one interface record (received or sent):
//   alignas(cmsghdr) unsigned char aControl[kInterfaceControlSize];
constexpr size_t kInterfaceControlSize = CMSG_SPACE(sizeof(in_pktinfo));

// Ties the socket to the device strDevice: it receives only what arrives there.
// 0, or -1 with errno set.
int BindToDevice(int sc, const std::string& strDevice);

// Makes every receive on the socket report the arrival interface (ReadArrivalInfo).
// 0, or -1 with errno set.
int EnableArrivalInfo(int sc);

// Where a datagram arrived: the interface and the local address it arrived at
// (for a broadcast, the interface's own address).
struct TArrivalInfo
{
    int iIfIndex = 0;         // 0: unknown
    uint32_t nLocalAddr = 0;  // network order; 0: unknown
};

// The arrival record in the control data of a message that recvmsg filled
// (on a socket with EnableArrivalInfo); zeros when it holds none.
TArrivalInfo ReadArrivalInfo(msghdr& msg);

// Sets the control data of msg, in pControl (kInterfaceControlSize bytes), so
// that sendmsg sends through interface iIfIndex: the way a limited broadcast,
// which has no route of its own, leaves through a chosen interface.
void SetOutgoingInterface(msghdr& msg, unsigned char* pControl, int iIfIndex);

// The MTU of the route of the connected socket; 0 when unknown.
int PathMtu(int sc);
