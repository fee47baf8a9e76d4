#include "http/request.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{
int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The decimal number at the start of sz (at least one digit), saturated at
// INT64_MAX; *pszEnd after it. False when sz starts with no digit.
bool ReadNumber(const char* sz, int64_t* piValue, const char** pszEnd)
{
    if (*sz < '0' || *sz > '9')
        return false;
    int64_t i = 0;
    for (; *sz >= '0' && *sz <= '9'; ++sz)
        i = i > (INT64_MAX - 9) / 10 ? INT64_MAX : i * 10 + (*sz - '0');
    *piValue = i;
    *pszEnd = sz;
    return true;
}

const char* SkipBlanks(const char* sz)
{
    while (*sz == ' ' || *sz == '\t')
        ++sz;
    return sz;
}

// The entity tag without a weak prefix ("W/"), for the weak comparison.
std::string Opaque(std::string strTag)
{
    if (strTag.compare(0, 2, "W/") == 0)
        strTag.erase(0, 2);
    return strTag;
}
}  // namespace

int DecodeRequestPath(const std::string& strTarget, std::string& strName)
{
    const std::string strPath = strTarget.substr(0, strTarget.find('?'));
    if (strPath.empty() || strPath[0] != '/')
        return kHttpBadRequest;
    std::string strDecoded;
    for (size_t n = 0; n < strPath.size(); ++n)
    {
        if (strPath[n] == '\0')
            return kHttpBadRequest;
        if (strPath[n] != '%')
        {
            strDecoded += strPath[n];
            continue;
        }
        const int iHigh = n + 2 < strPath.size() ? HexValue(strPath[n + 1]) : -1;
        const int iLow = iHigh < 0 ? -1 : HexValue(strPath[n + 2]);
        if (iLow < 0 || (iHigh == 0 && iLow == 0))
            return kHttpBadRequest;
        strDecoded += static_cast<char>(iHigh * 16 + iLow);
        n += 2;
    }
    // Every step between "/" is looked at: ".." is refused wherever it stands.
    for (size_t nStep = 0; nStep <= strDecoded.size();)
    {
        const size_t nEnd = std::min(strDecoded.find('/', nStep), strDecoded.size());
        if (strDecoded.compare(nStep, nEnd - nStep, "..") == 0)
            return kHttpForbidden;
        nStep = nEnd + 1;
    }
    const size_t nFirst = strDecoded.find_first_not_of('/');
    if (nFirst == std::string::npos)
        return kHttpForbidden;
    strName = strDecoded.substr(nFirst);
    return 0;
}

int StatusForOpenError(int iErrno)
{
    switch (iErrno)
    {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return kHttpNotFound;
    case EXDEV:
    case ELOOP:
    case EACCES:
    case EPERM:
    case EISDIR:
    case EINVAL:
        return kHttpForbidden;
    default:
        return kHttpServerError;
    }
}

TRangeResult ParseRange(const std::string& strRange, int64_t iSize, int64_t* piFirst,
                        int64_t* piLength)
{
    const char* sz = SkipBlanks(strRange.c_str());
    if (strncasecmp(sz, "bytes", 5) != 0)
        return RangeWhole;
    sz = SkipBlanks(sz + 5);
    if (*sz != '=')
        return RangeWhole;
    sz = SkipBlanks(sz + 1);
    int64_t iFirst = -1, iLast = -1, iSuffix = -1;
    if (*sz == '-')
    {
        if (!ReadNumber(sz + 1, &iSuffix, &sz))
            return RangeWhole;
    }
    else
    {
        if (!ReadNumber(sz, &iFirst, &sz) || *sz++ != '-')
            return RangeWhole;
        if (ReadNumber(sz, &iLast, &sz) && iLast < iFirst)
            return RangeWhole;
    }
    if (*SkipBlanks(sz) != '\0')
        return RangeWhole;  // several ranges, or text after the one
    if (iSuffix >= 0)
    {
        if (iSuffix == 0 || iSize == 0)
            return RangeNotSatisfiable;
        *piLength = iSuffix < iSize ? iSuffix : iSize;
        *piFirst = iSize - *piLength;
        return RangePart;
    }
    if (iFirst >= iSize)
        return RangeNotSatisfiable;
    if (iLast < 0 || iLast >= iSize)
        iLast = iSize - 1;
    *piFirst = iFirst;
    *piLength = iLast - iFirst + 1;
    return RangePart;
}

bool ETagListMatches(const std::string& strList, const std::string& strETag)
{
    const std::string strOpaque = Opaque(strETag);
    for (size_t n = 0; n < strList.size();)
    {
        const size_t nEnd = std::min(strList.find(',', n), strList.size());
        const size_t nStart = strList.find_first_not_of(" \t", n);
        const size_t nStop = strList.find_last_not_of(" \t", nEnd - 1);
        if (nStart < nEnd && nStop != std::string::npos && nStop >= nStart)
        {
            const std::string strTag = strList.substr(nStart, nStop - nStart + 1);
            if (strTag == "*" || Opaque(strTag) == strOpaque)
                return true;
        }
        n = nEnd + 1;
    }
    return false;
}

std::string HttpDate(int64_t iSeconds)
{
    const time_t t = static_cast<time_t>(iSeconds);
    tm tmUtc{};
    char sz[64];
    if (gmtime_r(&t, &tmUtc) == nullptr ||
        strftime(sz, sizeof sz, "%a, %d %b %Y %H:%M:%S GMT", &tmUtc) == 0)
        return "";
    return sz;
}

THttpFileReply DecideFileReply(const THttpFile& file, const THttpConditions& conditions)
{
    THttpFileReply reply;
    char sz[64];
    const uint64_t iMtimeNs = static_cast<uint64_t>(file.iMtimeSec) * 1000000000u +
                              static_cast<uint64_t>(file.iMtimeNsec);
    snprintf(sz, sizeof sz, "\"%llx-%llx\"", static_cast<unsigned long long>(file.iSize),
             static_cast<unsigned long long>(iMtimeNs));
    reply.strETag = sz;
    reply.strLastModified = HttpDate(file.iMtimeSec);
    reply.strContentType = file.nHead == 2 && file.head[0] == 'M' && file.head[1] == 'Z'
                               ? "application/efi"
                               : "application/octet-stream";
    if (conditions.szIfNoneMatch != nullptr &&
        ETagListMatches(conditions.szIfNoneMatch, reply.strETag))
    {
        reply.iStatus = kHttpNotModified;
        return reply;
    }
    reply.iLength = file.iSize;
    const bool bRangeApplies =
        conditions.szRange != nullptr &&
        (conditions.szIfRange == nullptr || reply.strETag == conditions.szIfRange ||
         reply.strLastModified == conditions.szIfRange);
    if (!bRangeApplies)
        return reply;
    switch (ParseRange(conditions.szRange, file.iSize, &reply.iOffset, &reply.iLength))
    {
    case RangeWhole:
        break;
    case RangePart:
        reply.iStatus = kHttpPartial;
        snprintf(sz, sizeof sz, "bytes %lld-%lld/%lld", static_cast<long long>(reply.iOffset),
                 static_cast<long long>(reply.iOffset + reply.iLength - 1),
                 static_cast<long long>(file.iSize));
        reply.strContentRange = sz;
        break;
    case RangeNotSatisfiable:
        reply.iStatus = kHttpRangeNotSatisfiable;
        reply.iOffset = reply.iLength = 0;
        reply.strContentRange = "bytes */" + std::to_string(file.iSize);
        break;
    }
    return reply;
}

std::string PrintableForLog(const std::string& strText, size_t nMax)
{
    std::string strOut;
    for (size_t n = 0; n < strText.size() && n < nMax; ++n)
    {
        const unsigned char c = static_cast<unsigned char>(strText[n]);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\')
        {
            char sz[8];
            snprintf(sz, sizeof sz, "\\x%02x", c);
            strOut += sz;
        }
        else
            strOut += static_cast<char>(c);
    }
    if (strText.size() > nMax)
        strOut += "...";
    return strOut;
}
