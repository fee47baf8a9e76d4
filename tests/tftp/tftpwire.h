// TFTP datagrams as the TFTP tests write them, and file contents for them.
#pragma once

#include "tftp/packet.h"

#include <algorithm>
#include <string>
#include <vector>

// A request of the given fields (an RRQ unless iOpcode says otherwise); an OACK with TftpOack.
inline std::string Request(const std::vector<std::string>& vFields, int iOpcode = TftpRrq)
{
    std::string str{0, char(iOpcode)};
    for (const auto& s : vFields)
        str += s + '\0';
    return str;
}
inline std::string Ack(int iBlock) { return {0, TftpAck, char(iBlock >> 8), char(iBlock)}; }
inline std::string ErrorPacket(int iCode, const std::string& strText)
{
    return std::string{0, TftpError, 0, char(iCode)} + strText + '\0';
}
// DATA of block iBlock (counted from 1) of strFile in blocks of nBlock bytes.
inline std::string Data(const std::string& strFile, int iBlock, size_t nBlock = 512)
{
    return std::string{0, TftpData, char(iBlock >> 8), char(iBlock)} +
           strFile.substr(std::min(strFile.size(), (iBlock - 1) * nBlock), nBlock);
}
// Content that differs from block to block.
inline std::string Pattern(size_t nSize)
{
    std::string str(nSize, '\0');
    unsigned x = unsigned(nSize);
    for (char& c : str)
        c = char((x = x * 1103515245u + 12345u) >> 16);
    return str;
}
