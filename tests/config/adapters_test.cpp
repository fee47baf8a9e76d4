#include "platform/adapters.h"
#include "config/configuration.h"
#include "common/testutil.h"

#include <net/if_arp.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace
{
// A network namespace of this test's own, removed on destruction.
class TOwnNamespace
{
public:
    TOwnNamespace() : strName("pxecfg" + std::to_string(getpid()))
    {
        RunCommand("ip netns del " + strName + " 2>/dev/null");
        bOk = RunCommand("ip netns add " + strName) == 0;
    }
    ~TOwnNamespace() { RunCommand("ip netns del " + strName + " 2>/dev/null"); }
    int Ip(const std::string& strArgs) { return RunCommand("ip -n " + strName + " " + strArgs); }
    int List(std::vector<TAdapter>& vAdapters)
    {
        int iResult = -2;
        TNetLab::RunIn(strName, [&] { iResult = GetAdapterList(vAdapters); });
        return iResult;
    }

    std::string strName;
    bool bOk = false;
};
}  // namespace

TEST(AdapterList, InterfacesOtherThanLoopbackInIndexOrder)
{
    TOwnNamespace ns;
    ASSERT_TRUE(ns.bOk);
    std::vector<TAdapter> vAdapters;
    ASSERT_EQ(ns.List(vAdapters), 0);
    EXPECT_TRUE(vAdapters.empty());  // loopback alone does not count
    EXPECT_EQ(ChooseAdapterAddress(0, vAdapters), "127.0.0.1");

    // A tunnel with an address, then a veth pair whose lower index has no
    // address; names run against the index order.
    ASSERT_EQ(ns.Ip("tuntap add dev cfgtun mode tun"), 0);
    ASSERT_EQ(ns.Ip("addr add 198.18.0.9/24 dev cfgtun"), 0);
    ASSERT_EQ(ns.Ip("link add cfgz index 20 type veth peer name cfga index 30"), 0);
    ASSERT_EQ(ns.Ip("addr add 198.18.0.1/24 dev cfga"), 0);
    ASSERT_EQ(ns.Ip("addr add 198.18.0.2/24 dev cfga label cfga:1"), 0);

    ASSERT_EQ(ns.List(vAdapters), 0);
    ASSERT_EQ(vAdapters.size(), 3u);
    EXPECT_EQ(vAdapters[0].strName, "cfgtun");
    EXPECT_EQ(vAdapters[0].iLinkType, ARPHRD_NONE);
    EXPECT_FALSE(vAdapters[0].IsEthernet());
    EXPECT_EQ(vAdapters[0].vIpv4, std::vector<std::string>{"198.18.0.9"});
    EXPECT_EQ(vAdapters[1].strName, "cfgz");
    EXPECT_EQ(vAdapters[1].iIndex, 20);
    EXPECT_TRUE(vAdapters[1].IsEthernet());
    EXPECT_TRUE(vAdapters[1].vIpv4.empty());
    EXPECT_EQ(vAdapters[2].strName, "cfga");
    EXPECT_EQ(vAdapters[2].iIndex, 30);
    EXPECT_FALSE(vAdapters[2].bWireless);
    // The labelled second address belongs to its interface, after the first.
    EXPECT_EQ(vAdapters[2].vIpv4, (std::vector<std::string>{"198.18.0.1", "198.18.0.2"}));

    // The wired adapter without an address is passed over.
    EXPECT_EQ(ChooseAdapterAddress(0, vAdapters), "198.18.0.1");
}
