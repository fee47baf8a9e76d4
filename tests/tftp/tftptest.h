// Helpers of the TFTP tests: datagrams, a scripted UDP peer, the shared
// network lab and the log file every test can read back.
#pragma once

#include "common/testutil.h"
#include "tftp/tftpd.h"

#include <netinet/in.h>

#include <functional>
#include <string>
#include <vector>

// A datagram of the opcode followed by each string and its zero byte.
std::string MakeRequest(int iOpcode, const std::vector<std::string>& vStrings);
std::string MakeAck(int iBlock);
std::string MakeErrorPacket(int iCode, const std::string& strText);
int OpcodeOf(const std::string& strPacket);
int BlockOf(const std::string& strPacket);  // also the error code of ERROR
// Content of iSize bytes that differs from block to block.
std::string Pattern(size_t nSize, unsigned iSeed);
sockaddr_in MakeAddress(const char* szAddress, int iPort);

// A UDP socket bound to szAddress and a port of the system's choice (or iPort).
class TUdpPeer
{
public:
    explicit TUdpPeer(const char* szAddress = "127.0.0.1", int iPort = 0);
    ~TUdpPeer();
    TUdpPeer(const TUdpPeer&) = delete;
    TUdpPeer& operator=(const TUdpPeer&) = delete;

    int Fd() const { return fd; }
    const sockaddr_in& Address() const { return addr; }
    bool SendTo(const sockaddr_in& to, const std::string& strData);
    // One datagram within iTimeoutMs; false on time-out.
    bool Recv(std::string* pData, sockaddr_in* pFrom, int iTimeoutMs);

private:
    int fd = -1;
    sockaddr_in addr;
};

// The lab shared by every test of this program, made on first use.
TNetLab& Lab();
// Runs fn on a thread inside the namespace; fails the test when it could not.
void RunInNs(const std::string& strNs, const std::function<void()>& fn);

// The process-wide log file; threads not created by ACE attach to it first.
void AttachLog();
std::string LogText();
// Occurrences of strLine in the log after position nFrom.
int CountInLog(const std::string& strLine, size_t nFrom);
