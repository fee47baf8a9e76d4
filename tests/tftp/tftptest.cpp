#include "tftptest.h"

#include "service/logfile.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

std::string MakeRequest(int iOpcode, const std::vector<std::string>& vStrings)
{
    std::string strPacket;
    strPacket += char(iOpcode >> 8);
    strPacket += char(iOpcode & 0xff);
    for (const auto& str : vStrings)
    {
        strPacket += str;
        strPacket += '\0';
    }
    return strPacket;
}

std::string MakeAck(int iBlock)
{
    return std::string{0, 4, char((iBlock >> 8) & 0xff), char(iBlock & 0xff)};
}

std::string MakeErrorPacket(int iCode, const std::string& strText)
{
    std::string strPacket{0, 5, char(iCode >> 8), char(iCode & 0xff)};
    return strPacket + strText + '\0';
}

int OpcodeOf(const std::string& strPacket)
{
    if (strPacket.size() < 2)
        return -1;
    return (static_cast<unsigned char>(strPacket[0]) << 8) | static_cast<unsigned char>(strPacket[1]);
}

int BlockOf(const std::string& strPacket)
{
    if (strPacket.size() < 4)
        return -1;
    return (static_cast<unsigned char>(strPacket[2]) << 8) | static_cast<unsigned char>(strPacket[3]);
}

std::string Pattern(size_t nSize, unsigned iSeed)
{
    std::string str(nSize, '\0');
    unsigned x = iSeed * 2654435761u + 1;
    for (size_t i = 0; i < nSize; ++i)
    {
        x = x * 1103515245u + 12345u;
        str[i] = char(x >> 16);
    }
    return str;
}

sockaddr_in MakeAddress(const char* szAddress, int iPort)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(iPort));
    inet_pton(AF_INET, szAddress, &a.sin_addr);
    return a;
}

TUdpPeer::TUdpPeer(const char* szAddress, int iPort)
{
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr = MakeAddress(szAddress, iPort);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    {
        socklen_t n = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &n);
    }
    else
        ADD_FAILURE() << "cannot bind a UDP socket to " << szAddress << ": " << strerror(errno);
}

TUdpPeer::~TUdpPeer()
{
    if (fd >= 0)
        close(fd);
}

bool TUdpPeer::SendTo(const sockaddr_in& to, const std::string& strData)
{
    return sendto(fd, strData.data(), strData.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(strData.size());
}

bool TUdpPeer::Recv(std::string* pData, sockaddr_in* pFrom, int iTimeoutMs)
{
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, iTimeoutMs) <= 0)
        return false;
    char buffer[2048];
    sockaddr_in from;
    socklen_t n = sizeof from;
    ssize_t nReceived = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n);
    if (nReceived < 0)
        return false;
    if (pData)
        pData->assign(buffer, static_cast<size_t>(nReceived));
    if (pFrom)
        *pFrom = from;
    return true;
}

namespace
{
std::unique_ptr<TTempDir> gpLogDir;
std::unique_ptr<TLogFile> gpLog;
std::unique_ptr<TNetLab> gpLab;

class TTftpEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        gpLogDir.reset(new TTempDir);
        gpLog.reset(new TLogFile(true, (*gpLogDir / "tftptest.x").c_str()));
    }
    void TearDown() override
    {
        gpLab.reset();
        gpLog.reset();
        gpLogDir.reset();
    }
};

::testing::Environment* const gpEnvironment = ::testing::AddGlobalTestEnvironment(new TTftpEnvironment);
}  // namespace

TNetLab& Lab()
{
    if (!gpLab)
        gpLab.reset(new TNetLab);
    return *gpLab;
}

void RunInNs(const std::string& strNs, const std::function<void()>& fn)
{
    bool bRan = false;
    TNetLab::RunIn(strNs, [&] {
        bRan = true;
        AttachLog();
        fn();
    });
    EXPECT_TRUE(bRan) << "could not enter namespace " << strNs;
}

void AttachLog()
{
    if (gpLog)
        ACE_Log_Msg::instance()->msg_ostream(gpLog.get());
}

std::string LogText()
{
    return gpLog ? ReadFile(gpLog->FileName()) : std::string();
}

int CountInLog(const std::string& strLine, size_t nFrom)
{
    std::string strText = LogText();
    int n = 0;
    for (size_t nPos = strText.find(strLine, nFrom); nPos != std::string::npos;
         nPos = strText.find(strLine, nPos + strLine.size()))
        ++n;
    return n;
}
