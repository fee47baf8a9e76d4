// Parsing and checking of a read request, and the OACK that answers "tsize".
// Pure functions on buffers: no sockets, no files.
#include "tftp/tftpd.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace
{
// Takes the next zero-terminated string of [*ppNext, pEnd) and moves past it.
// An absent string (the datagram ended before it) is empty. The datagram is
// known to end with a zero byte, so every string that starts inside it ends
// inside it.
const char* NextString(const char** ppNext, const char* pEnd, size_t* pnLength)
{
    const char* pString = *ppNext;
    if (pString >= pEnd)
    {
        *pnLength = 0;
        return "";
    }
    *pnLength = strnlen(pString, static_cast<size_t>(pEnd - pString));
    *ppNext = pString + *pnLength + 1;
    return pString;
}
}  // namespace

int ParseReadRequest(TftpTransfer* pTransfer, int nLength, const char* szRoot, char* szOption)
{
    pTransfer->path[0] = '\0';
    pTransfer->mode[0] = '\0';
    pTransfer->tsizeValue[0] = '\0';
    szOption[0] = '\0';

    // At least the opcode and a terminated name; the last string must end inside the datagram.
    if (nLength < 3 || nLength > static_cast<int>(sizeof pTransfer->packet) || pTransfer->packet[nLength - 1] != '\0')
        return RequestMalformed;

    const char* pNext = pTransfer->packet + 2;
    const char* pEnd = pTransfer->packet + nLength;
    size_t nName, nMode, nOption;
    const char* szName = NextString(&pNext, pEnd, &nName);
    const char* szMode = NextString(&pNext, pEnd, &nMode);
    const char* szOptionName = NextString(&pNext, pEnd, &nOption);

    size_t nRoot = strlen(szRoot);
    if (nRoot + nName >= sizeof pTransfer->path || nMode >= sizeof pTransfer->mode || nOption >= 64)
        return RequestMalformed;

    if (strcasecmp(szOptionName, "tsize") == 0)
    {
        size_t nValue;
        const char* szValue = NextString(&pNext, pEnd, &nValue);
        if (nValue >= sizeof pTransfer->tsizeValue)
            return RequestMalformed;
        memcpy(pTransfer->tsizeValue, szValue, nValue + 1);
    }

    memcpy(pTransfer->path, szRoot, nRoot);
    memcpy(pTransfer->path + nRoot, szName, nName + 1);
    memcpy(pTransfer->mode, szMode, nMode + 1);
    memcpy(szOption, szOptionName, nOption + 1);
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
