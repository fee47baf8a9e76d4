// Who holds a UDP port, the words for a failed bind, and the bounded connect,
// on loopback and ephemeral ports of this machine.
#include "platform/ports.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace
{
// A socket of this process bound to an ephemeral port of 127.0.0.1; its port in nPort.
int BoundSocket(int iType, uint16_t& nPort)
{
    const int sc = socket(AF_INET, iType | SOCK_CLOEXEC, 0);
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t nLength = sizeof(sa);
    if (bind(sc, (sockaddr*)&sa, sizeof(sa)) != 0 || getsockname(sc, (sockaddr*)&sa, &nLength) != 0)
        return -1;
    nPort = ntohs(sa.sin_port);
    return sc;
}
}  // namespace

TEST(Ports, TheTableAndTheHoldersOfAPort)
{
    auto Row = [](const char* szLocal, const char* szInode) {
        return std::string("  1: ") + szLocal + " 00000000:0000 07 00000000:00000000 00:00000000 " +
               "00000000     0        0 " + szInode + " 2 0000000000000000 0\n";
    };
    const std::string strTable = "  sl  local_address rem_address   st tx_queue rx_queue tr "
                                 "tm->when retrnsmt   uid  timeout inode ref pointer drops\n" +
                                 Row("00000000:0043", "812") + Row("0100007F:0045", "813") +
                                 Row("010012C6:0043", "814") + "  4: broken\n";
    const std::vector<TPortUser> vUsers = ParseUdpTable(strTable, 67, false);
    ASSERT_EQ(vUsers.size(), 2u);
    EXPECT_EQ(vUsers[0].strAddress + " " + std::to_string(vUsers[0].nInode), "0.0.0.0 812");
    EXPECT_EQ(vUsers[1].strAddress + " " + std::to_string(vUsers[1].nInode), "198.18.0.1 814");
    EXPECT_EQ(ParseUdpTable(strTable, 69, true).at(0).strAddress, "IPv6");

    // A socket of this very process: /proc names it with its pid and program.
    uint16_t nPort = 0;
    const int sc = BoundSocket(SOCK_DGRAM, nPort);
    ASSERT_GE(sc, 0);
    const std::vector<TPortUser> vOwn = FindUdpPortUsers(nPort);
    close(sc);
    ASSERT_EQ(vOwn.size(), 1u);
    EXPECT_EQ(vOwn[0].strAddress + " " + std::to_string(vOwn[0].iPid) + " " + vOwn[0].strProgram,
              "127.0.0.1 " + std::to_string(getpid()) + " test_platform");
    EXPECT_TRUE(FindUdpPortUsers(nPort).empty());
}

TEST(Ports, BindFailuresInWords)
{
    const std::pair<std::string, std::string> aCases[] = {
        // (A holder seen twice: the configuration check's findings.)
        {BindFailureText(69, EADDRINUSE, {{"0.0.0.0", 1, 812, "dnsmasq"}, {"0.0.0.0", 2, 0, ""}}),
         "address already in use: UDP port 69 is held by dnsmasq (pid 812), a program this user "
         "cannot see (try as root); stop it, or serve from a machine without it"},
        {BindFailureText(4011, EADDRINUSE, {}),
         "address already in use: UDP port 4011 is held by another program; stop it, or serve "
         "from a machine without it"},
        {BindFailureText(69, EACCES, {}),
         "permission denied: UDP port 69 needs privilege; start as root or with "
         "CAP_NET_BIND_SERVICE"},
        {BindFailureText(67, EADDRNOTAVAIL, {}),
         "cannot assign requested address: binding UDP port 67"},
    };
    for (const auto& [strText, strExpected] : aCases)
        EXPECT_EQ(strText, strExpected);
}

TEST(Ports, ProbeAnswersRefusesAndIsBounded)
{
    uint16_t nPort = 0;
    const int scListen = BoundSocket(SOCK_STREAM, nPort);
    ASSERT_TRUE(scListen >= 0 && listen(scListen, 1) == 0);
    EXPECT_EQ(ProbeTcp("127.0.0.1", nPort, 2000), 0);
    close(scListen);
    EXPECT_EQ(ProbeTcp("127.0.0.1", nPort, 2000), ECONNREFUSED);
    EXPECT_EQ(ProbeTcp("no address", nPort, 2000), EINVAL);
    // A listener whose backlog is full leaves the handshake unanswered: the wait ends in time.
    uint16_t nFull = 0;
    const int scFull = BoundSocket(SOCK_STREAM, nFull);
    ASSERT_TRUE(scFull >= 0 && listen(scFull, 0) == 0);
    std::vector<int> vClients;
    int iResult = 0;
    const sockaddr_in sa{AF_INET, htons(nFull), {htonl(INADDR_LOOPBACK)}, {}};
    const auto tStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 8 && iResult == 0; ++i)
        iResult = ConnectWithin(
            vClients.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), sa, 300);
    EXPECT_EQ(iResult, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(5));
    for (int sc : vClients)
        close(sc);
    close(scFull);
}
