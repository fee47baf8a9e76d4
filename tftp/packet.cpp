// The TFTP packet codec: request parsing, option negotiation, packet building.
#include "tftp/packet.h"

#include "core/decimal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

const char* const TftpErrorText[8] = {
    "not defined",           "file not found",
    "access violation",      "disk full or allocation exceeded",
    "illegal TFTP operatio", "unknown transfer ID",
    "file already exists",   "no such user",
};

namespace
{
// Takes the next zero-terminated string of [*ppNext, pEnd) and moves past it.
// An absent string (the datagram ended before it) is null. The datagram is
// known to end with a zero byte, so every string that starts inside it ends
// inside it.
const char* NextString(const char** ppNext, const char* pEnd, size_t* pnLength)
{
    const char* pString = *ppNext;
    if (pString >= pEnd)
    {
        *pnLength = 0;
        return nullptr;
    }
    *pnLength = strnlen(pString, static_cast<size_t>(pEnd - pString));
    *ppNext = pString + *pnLength + 1;
    return pString;
}

// Appends "name\0value\0" to the OACK being built.
void AddOackOption(TTftpGrant* pGrant, const char* szName, long long iValue)
{
    int nFree = static_cast<int>(sizeof pGrant->oack) - pGrant->nOack;
    int n = snprintf(pGrant->oack + pGrant->nOack, static_cast<size_t>(nFree), "%s%c%lld", szName,
                     0, iValue);
    pGrant->nOack += n + 1;  // the value's zero byte is snprintf's
}
}  // namespace

int ClassifyDatagram(const char* pDatagram, int nLength)
{
    if (nLength < 2)
        return RecvError;
    int iOpcode =
        (static_cast<unsigned char>(pDatagram[0]) << 8) | static_cast<unsigned char>(pDatagram[1]);
    switch (iOpcode)
    {
    case TftpRrq:
        return RecvRrq;
    case TftpWrq:
        return RecvWrq;
    case TftpData:
        return RecvData;
    case TftpAck:
        return RecvAck;
    case TftpError:
        return RecvErrorPacket;
    case TftpOack:
        return RecvOack;
    default:
        return RecvError;
    }
}

int BuildError(char* buffer, uint16_t code)
{
    if (code > 7)
        return -1;
    return BuildErrorMessage(buffer, code, TftpErrorText[code]);
}

int BuildErrorMessage(char* buffer, uint16_t code, const char* szText)
{
    memset(buffer, 0, 256);
    buffer[1] = TftpError;
    buffer[2] = static_cast<char>(code >> 8);
    buffer[3] = static_cast<char>(code);
    size_t nText = strnlen(szText, 200);
    memcpy(buffer + 4, szText, nText);
    return static_cast<int>(4 + nText + 1);
}

void BuildDataHeader(char* pHeader, uint64_t block)
{
    pHeader[0] = 0;
    pHeader[1] = TftpData;
    pHeader[2] = static_cast<char>(block >> 8);
    pHeader[3] = static_cast<char>(block);
}

int ParseReadRequest(const char* pRequest, int nLength, const char* szRoot,
                     const TTftpRequestFields& fields)
{
    fields.szPath[0] = fields.szMode[0] = fields.szOption[0] = fields.szTsizeValue[0] = '\0';

    // At least the opcode and a terminated name; the last string must end inside the datagram.
    if (nLength < 3 || nLength > kTftpPacketSize || pRequest[nLength - 1] != '\0')
        return RequestMalformed;

    const char* pNext = pRequest + 2;
    const char* pEnd = pRequest + nLength;
    size_t nName, nMode, nOption, nValue = 0;
    const char* szName = NextString(&pNext, pEnd, &nName);
    const char* szMode = NextString(&pNext, pEnd, &nMode);
    const char* szOption = NextString(&pNext, pEnd, &nOption);
    const char* szValue = "";
    if (szOption && strcasecmp(szOption, "tsize") == 0)
        szValue = NextString(&pNext, pEnd, &nValue);

    size_t nRoot = strlen(szRoot);
    // The mode is required, even when empty.
    if (!szMode || nRoot + nName >= kTftpPathSize || nMode >= kTftpModeSize ||
        nOption >= kTftpOptionSize || nValue >= kTftpOptionSize)
        return RequestMalformed;

    memcpy(fields.szPath, szRoot, nRoot);
    memcpy(fields.szPath + nRoot, szName, nName + 1);
    memcpy(fields.szMode, szMode, nMode + 1);
    if (szOption)
        memcpy(fields.szOption, szOption, nOption + 1);
    if (szValue)
        memcpy(fields.szTsizeValue, szValue, nValue + 1);
    return RequestOk;
}

bool IsPathAllowed(const char* szPath)
{
    return strstr(szPath, "../") == nullptr && strstr(szPath, "..\\") == nullptr;
}

int BuildTsizeOack(char* buffer, int64_t iSize)
{
    memset(buffer, 0, 100);
    buffer[0] = 0;
    buffer[1] = TftpOack;
    memcpy(buffer + 2, "tsize", 6);
    int nDigits = snprintf(buffer + 8, 100 - 8, "%lld", static_cast<long long>(iSize));
    return 9 + nDigits;
}

void NegotiateOptions(const char* pRequest, int nLength, int64_t iSize, int nMaxBlockSize,
                      int nMaxWindowSize, int iMaxTimeout, TTftpGrant* pGrant)
{
    *pGrant = TTftpGrant();
    pGrant->oack[1] = TftpOack;
    pGrant->nOack = 2;
    const char* const names[] = {"blksize", "windowsize", "timeout", "tsize"};
    bool bSeen[4] = {};

    const char* pNext = pRequest + 2;
    const char* pEnd = pRequest + nLength;
    size_t nString;
    // Skip the name and the mode, then take the pairs.
    NextString(&pNext, pEnd, &nString);
    NextString(&pNext, pEnd, &nString);
    for (;;)
    {
        const char* szName = NextString(&pNext, pEnd, &nString);
        const char* szValue = NextString(&pNext, pEnd, &nString);
        if (!szValue)
            break;
        int i = 0;
        while (i < 4 && strcasecmp(szName, names[i]) != 0)
            ++i;
        if (i == 4 || bSeen[i])
            continue;
        bSeen[i] = true;
        long iValue = ParseDecimal(szValue);
        switch (i)
        {
        case 0:
            if (iValue < kTftpMinBlockSize || iValue > kTftpMaxBlockSize)
                continue;
            pGrant->nBlockSize = static_cast<int>(
                std::max<long>(kTftpMinBlockSize, std::min<long>(iValue, nMaxBlockSize)));
            AddOackOption(pGrant, names[i], pGrant->nBlockSize);
            break;
        case 1:
            if (iValue < 1 || iValue > kTftpMaxWindowSize)
                continue;
            pGrant->nWindowSize =
                static_cast<int>(std::max<long>(1, std::min<long>(iValue, nMaxWindowSize)));
            AddOackOption(pGrant, names[i], pGrant->nWindowSize);
            break;
        case 2:
            // A client's wait bounds how long a silent transfer holds its slot.
            if (iValue < kTftpMinTimeout || iValue > std::min(iMaxTimeout, kTftpMaxTimeout))
                continue;
            pGrant->iWaitSeconds = static_cast<int>(iValue);
            AddOackOption(pGrant, names[i], iValue);
            break;
        default:
            // A read request asks for the size with 0.
            if (iValue != 0)
                continue;
            AddOackOption(pGrant, names[i], iSize);
            break;
        }
    }
    if (pGrant->nOack == 2)
        pGrant->nOack = 0;
}
