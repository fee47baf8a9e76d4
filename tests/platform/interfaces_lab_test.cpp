#include "platform/interfaces.h"
#include "platform/sockopts.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

// The server side gets a labelled alias, a smaller MTU, a tunnel with an address and a veth
// pair without one whose indices run against their names; the client side sends to the alias.
TEST(Interfaces, ListLookupsArrivalAndPathMtuOnTheServerSide)
{
    TNetLab lab;
    ASSERT_TRUE(lab.Ok());
    const std::string strIf = lab.ServerIf(), strAlias = "198.18.0.3";
    ASSERT_EQ(lab.Run(lab.ServerNs(), "ip addr add " + strAlias + "/24 dev " + strIf + " label " +
                                          strIf + ":1 && ip link set dev " + strIf +
                                          " mtu 1400 && ip tuntap add dev pxtun mode tun && "
                                          "ip addr add 198.18.0.19/24 dev pxtun && ip link add "
                                          "pxz index 50 type veth peer name pxa index 60"),
              0);
    std::vector<TAdapter> vAdapters;
    std::string strList;
    int sc = -1, scConnected = -1, iIndex = 0;
    sockaddr_in sa{AF_INET, 0, {inet_addr(strAlias.c_str())}, {}};
    TNetLab::RunIn(lab.ServerNs(), [&] {
        EXPECT_EQ(GetAdapterList(vAdapters), 0);
        EXPECT_EQ(InterfaceOfAddress(TNetLab::kServerIp), strIf);
        EXPECT_EQ(InterfaceOfAddress(strAlias), strIf + ":1");
        EXPECT_EQ(InterfaceOfAddress("198.18.0.9"), "");
        EXPECT_EQ(AddressOfInterface(strIf), inet_addr(TNetLab::kServerIp));
        EXPECT_EQ(AddressOfInterface("nosuch0"), 0u);
        iIndex = (int)if_nametoindex(strIf.c_str());
        sc = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        socklen_t nLen = sizeof(sa);
        EXPECT_EQ(BindToDevice(sc, "nosuch0"), -1);
        EXPECT_EQ(EnableArrivalInfo(sc), 0);
        EXPECT_EQ(bind(sc, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        getsockname(sc, reinterpret_cast<sockaddr*>(&sa), &nLen);
        scConnected = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in saClient{AF_INET, sa.sin_port, {inet_addr(TNetLab::kClientIp)}, {}};
        connect(scConnected, reinterpret_cast<sockaddr*>(&saClient), sizeof(saClient));
    });
    for (const TAdapter& a : vAdapters)  // loopback left out; an alias counts for its interface
    {
        strList += ";" + (a.strName == strIf ? "lab" : a.strName) + (a.IsEthernet() ? " eth" : "");
        for (const std::string& strIp : a.vIpv4)
            strList += " " + strIp;
    }
    EXPECT_EQ(strList, ";lab eth 198.18.0.1 198.18.0.3;pxtun 198.18.0.19;pxz eth;pxa eth");
    EXPECT_EQ(PathMtu(scConnected), 1400);
    TNetLab::RunIn(lab.ClientNs(), [&] {
        int scClient = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(sendto(scClient, "x", 1, 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 1);
        close(scClient);
    });
    char c = 0;
    iovec iov{&c, 1};
    alignas(cmsghdr) unsigned char aControl[kInterfaceControlSize];
    msghdr msg{nullptr, 0, &iov, 1, aControl, sizeof(aControl), 0};
    pollfd p{sc, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    ASSERT_EQ(recvmsg(sc, &msg, 0), 1);
    EXPECT_EQ(ReadArrivalInfo(msg).iIfIndex, iIndex);
    EXPECT_EQ(ReadArrivalInfo(msg).nLocalAddr, sa.sin_addr.s_addr);
    close(sc);
    close(scConnected);
}
