#include "platform/interfaces.h"

#include "common/testutil.h"

#include <gtest/gtest.h>

#include <net/if_arp.h>
#include <unistd.h>

// The adapter list of a network namespace of this test's own.
TEST(AdapterList, InterfacesOtherThanLoopbackInIndexOrder)
{
    const std::string strNs = "pxeadp" + std::to_string(getpid());
    ASSERT_EQ(RunCommand("ip netns del " + strNs + " 2>/dev/null; ip netns add " + strNs), 0);
    // A tunnel with an address, then a veth pair whose lower index has no address; names
    // run against the index order; a labelled second address belongs to its interface.
    for (const char* szCommand :
         {"tuntap add dev cfgtun mode tun", "addr add 198.18.0.9/24 dev cfgtun",
          "link add cfgz index 20 type veth peer name cfga index 30",
          "addr add 198.18.0.1/24 dev cfga", "addr add 198.18.0.2/24 dev cfga label cfga:1"})
        EXPECT_EQ(RunCommand("ip -n " + strNs + " " + szCommand), 0) << szCommand;
    std::vector<TAdapter> vAdapters;
    TNetLab::RunIn(strNs, [&] { EXPECT_EQ(GetAdapterList(vAdapters), 0); });
    RunCommand("ip netns del " + strNs);
    std::string strList;
    for (const TAdapter& a : vAdapters)
    {
        strList += ";" + a.strName + (a.IsEthernet() ? " eth" : "") +
                   (a.iLinkType == ARPHRD_NONE ? " none" : "");
        for (const std::string& strIp : a.vIpv4)
            strList += " " + strIp;
    }
    EXPECT_EQ(strList,
              ";cfgtun none 198.18.0.9;cfgz eth;cfga eth 198.18.0.1 198.18.0.2");  // no loopback
}
