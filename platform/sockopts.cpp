#include "platform/sockopts.h"

#include <cstring>

int BindToDevice(int sc, const std::string& strDevice)
{
    return setsockopt(sc, SOL_SOCKET, SO_BINDTODEVICE, strDevice.c_str(),
                      (socklen_t)strDevice.size());
}

int EnableArrivalInfo(int sc)
{
    int iOn = 1;
    return setsockopt(sc, IPPROTO_IP, IP_PKTINFO, &iOn, sizeof(iOn));
}

TArrivalInfo ReadArrivalInfo(msghdr& msg)
{
    TArrivalInfo arrival;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
        {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof(info));
            arrival.iIfIndex = info.ipi_ifindex;
            arrival.nLocalAddr = info.ipi_spec_dst.s_addr;
        }
    return arrival;
}

void SetOutgoingInterface(msghdr& msg, unsigned char* pControl, int iIfIndex)
{
    memset(pControl, 0, kInterfaceControlSize);
    msg.msg_control = pControl;
    msg.msg_controllen = kInterfaceControlSize;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = iIfIndex;
    memcpy(CMSG_DATA(c), &info, sizeof(info));
}

int PathMtu(int sc)
{
    int iMtu = 0;
    socklen_t nMtu = sizeof(iMtu);
    return getsockopt(sc, IPPROTO_IP, IP_MTU, &iMtu, &nMtu) == 0 ? iMtu : 0;
}
