// TFTP packet codec: the protocol's numbers, read-request parsing, option
// negotiation and the packets the server builds. Pure functions on buffers:
// no sockets, no files.
//
// Without negotiation only the first option of a request is looked at, and only
// "tsize" with the value "0" is answered. With negotiation every option is
// looked at (any order, any case) and "blksize", "windowsize", "timeout" and
// "tsize" are granted within the server's limits.
#pragma once

#include <cstdint>

// Sizes and limits.
constexpr int kTftpPacketSize = 516;  // 4-byte header + 512 data bytes
constexpr int kTftpHeaderSize = 4;    // opcode and block number (or error code)
// DATA bytes per block without negotiation.
constexpr int kTftpBlockSize = kTftpPacketSize - kTftpHeaderSize;
constexpr int kTftpWaitSeconds = 10;   // every wait for a datagram
constexpr int kTftpMaxTimeouts = 3;    // time-outs survived per transfer
constexpr int kTftpMaxBlocks = 65535;  // block numbers are 16 bits
// Largest file that fits in kTftpMaxBlocks blocks (the last block must be short):
// the limit of a transfer without negotiation, whose block numbers never roll over.
constexpr int64_t kTftpMaxFileSize = int64_t(kTftpMaxBlocks) * kTftpBlockSize - 1;
constexpr int kTftpPort = 69;
// Ranges a client may ask for.
constexpr int kTftpMinBlockSize = 8, kTftpMaxBlockSize = 65464;
constexpr int kTftpMaxWindowSize = 65535;
constexpr int kTftpMinTimeout = 1, kTftpMaxTimeout = 255;
// What a block travels in besides its data: IPv4 and UDP headers and the DATA header.
constexpr int kTftpBlockOverhead = 20 + 8 + 4;

// Opcodes.
enum
{
    TftpRrq = 1,
    TftpWrq = 2,
    TftpData = 3,
    TftpAck = 4,
    TftpError = 5,
    TftpOack = 6
};

// What a received datagram is.
enum
{
    RecvError = -1,   // the wait or the receive failed; empty, too long, or a bad opcode
    RecvDiscard = 0,  // a datagram from a port other than the peer's, dropped
    RecvTimeout = 1,  // nothing arrived within the wait
    RecvRrq = 2,
    RecvWrq = 3,
    RecvAck = 4,
    RecvOack = 5,
    RecvErrorPacket = 6,
    RecvData = 7
};

// Error texts by error code (0 to 7), sent exactly as they stand.
extern const char* const TftpErrorText[8];

// The Recv* value for a datagram of nLength (at least 1) bytes by its opcode.
int ClassifyDatagram(const char* pDatagram, int nLength);

// Builds ERROR with code (0 to 7) and its text into buffer (at least 256 bytes).
// Returns its length, or -1 for a code outside 0 to 7.
int BuildError(char* buffer, uint16_t code);

// Builds ERROR with code and the text szText (at most 200 bytes are taken)
// into buffer (at least 256 bytes). Returns its length.
int BuildErrorMessage(char* buffer, uint16_t code, const char* szText);

// Writes the DATA header of block (its low 16 bits) into the 4 bytes at pHeader.
void BuildDataHeader(char* pHeader, uint64_t block);

// ---- read requests ---------------------------------------------------------

enum
{
    RequestOk = 0,         // name, mode and first option taken
    RequestMalformed = -1  // a string overflows its field, is missing or is not terminated
};

// Field sizes of a read request (with their terminating zero byte).
constexpr int kTftpPathSize = 512, kTftpModeSize = 64, kTftpOptionSize = 64;

// A read request as parsed: the full path, the mode, the first option's name
// and, when that option is "tsize" in any case, its value.
struct TTftpRequestFields
{
    char* szPath;        // kTftpPathSize: root followed by the requested name as received
    char* szMode;        // kTftpModeSize
    char* szOption;      // kTftpOptionSize: empty when the request ends with the mode
    char* szTsizeValue;  // kTftpOptionSize
};

// Parses the read request pRequest (nLength bytes, at most kTftpPacketSize).
// Writes nothing past any field; every field is empty when it fails.
int ParseReadRequest(const char* pRequest, int nLength, const char* szRoot,
                     const TTftpRequestFields& fields);

// False when the path holds "../" or "..\\" anywhere.
bool IsPathAllowed(const char* szPath);

// Builds the OACK that answers "tsize" with iSize into buffer (at least 100
// bytes, zero-filled here). Returns its length.
int BuildTsizeOack(char* buffer, int64_t iSize);

// ---- option negotiation ----------------------------------------------------

// What the server grants one transfer.
struct TTftpGrant
{
    int nBlockSize = kTftpBlockSize;
    int nWindowSize = 1;
    int iWaitSeconds = 0;  // the transfer's wait when "timeout" was granted, else 0
    char oack[128] = {};   // the OACK naming exactly the options granted
    int nOack = 0;         // its length; 0 when nothing was granted (DATA follows at once)
};

// Looks at every option of the read request pRequest (nLength bytes, ending
// with a zero byte): each name and value pair after the mode, in any order and
// any case; the first of repeated names counts. Grants "blksize" (8 to 65464,
// at most nMaxBlockSize), "windowsize" (1 to 65535, at most nMaxWindowSize),
// "timeout" (1 to 255 seconds, and only up to iMaxTimeout: a longer one is
// declined, left out of the OACK) and "tsize" (0 in the request: answered
// with iSize). Unknown options and values that are not such numbers are left
// out.
void NegotiateOptions(const char* pRequest, int nLength, int64_t iSize, int nMaxBlockSize,
                      int nMaxWindowSize, int iMaxTimeout, TTftpGrant* pGrant);
