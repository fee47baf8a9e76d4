#include "platform/interfaces.h"
#include "platform/sockopts.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

// The server side gets a labelled alias, a smaller MTU, a tunnel with an address and a veth
// pair without one whose indices run against their names. (The arrival interface and address
// of a received datagram: the boot lab's any-NIC replies, which name them.)
TEST(Interfaces, ListLookupsAndPathMtuOnTheServerSide)
{
    TNetLab lab;
    ASSERT_TRUE(lab.Ok());
    const std::string strIf = lab.ServerNs(), strAlias = "198.18.0.3";
    ASSERT_EQ(lab.Run(lab.ServerNs(), "ip addr add " + strAlias + "/24 dev " + strIf + " label " +
                                          strIf + ":1 && ip link set dev " + strIf +
                                          " mtu 1400 && ip tuntap add dev pxtun mode tun && "
                                          "ip addr add 198.18.0.19/24 dev pxtun && ip link add "
                                          "pxz index 50 type veth peer name pxa index 60"),
              0);
    std::vector<TAdapter> vAdapters;
    std::string strList, strNetworks;
    int sc = -1;
    TNetLab::RunIn(lab.ServerNs(), [&] {
        EXPECT_EQ(GetAdapterList(vAdapters), 0);
        EXPECT_EQ(InterfaceOfAddress(TNetLab::kServerIp), strIf);
        EXPECT_EQ(InterfaceOfAddress(strAlias), strIf + ":1");
        EXPECT_EQ(InterfaceOfAddress("198.18.0.9"), "");
        EXPECT_EQ(AddressOfInterface(strIf), inet_addr(TNetLab::kServerIp));
        // Every address with its netmask, loopback's too.
        std::vector<TLocalNetwork> vNetworks;
        EXPECT_EQ(GetLocalNetworks(vNetworks), 0);
        for (const TLocalNetwork& n : vNetworks)
        {
            char szAddr[INET_ADDRSTRLEN] = {}, szMask[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &n.nAddress, szAddr, sizeof(szAddr));
            inet_ntop(AF_INET, &n.nNetmask, szMask, sizeof(szMask));
            strNetworks += std::string(";") + szAddr + "/" + szMask;
        }
        sc = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in saClient{AF_INET, htons(9), {inet_addr(TNetLab::kClientIp)}, {}};
        connect(sc, reinterpret_cast<sockaddr*>(&saClient), sizeof(saClient));
    });
    for (const TAdapter& a : vAdapters)  // loopback left out; an alias counts for its interface
    {
        strList += ";" + (a.strName == strIf ? "lab" : a.strName) + (a.IsEthernet() ? " eth" : "");
        for (const std::string& strIp : a.vIpv4)
            strList += " " + strIp;
    }
    EXPECT_EQ(strList, ";lab eth 198.18.0.1 198.18.0.3;pxtun 198.18.0.19;pxz eth;pxa eth");
    EXPECT_EQ(strNetworks, ";127.0.0.1/255.0.0.0;198.18.0.1/255.255.255.0;198.18.0.3/255.255.255.0;"
                           "198.18.0.19/255.255.255.0");
    EXPECT_EQ(PathMtu(sc), 1400);
    close(sc);
}
