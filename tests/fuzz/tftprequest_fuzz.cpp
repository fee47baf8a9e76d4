// libFuzzer target: arbitrary bytes as a TFTP read request, into the request
// parser and the option negotiation. An accepted path starts with the root,
// fits its field and, once allowed, holds no "../" or "..\\"; a grant stays in
// its limits, and its OACK names only options the request asked for, in lower
// case, once each, with decimal values. Any difference aborts (a finding).
#include "fuzzcheck.h"
#include "tftp/packet.h"

#include <cstring>
#include <string>
#include <strings.h>

namespace
{
// True when the request's option area holds a name equal to szName in any case.
bool RequestAsks(const std::string& strRequest, const char* szName)
{
    for (size_t n = 2; n < strRequest.size(); n += strlen(strRequest.c_str() + n) + 1)
        if (strcasecmp(strRequest.c_str() + n, szName) == 0)
            return true;
    return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > kTftpPacketSize)
        return 0;
    // Exactly the datagram's bytes, so that reading past them shows.
    char* pRequest = new char[nSize];
    memcpy(pRequest, pData, nSize);
    char szPath[kTftpPathSize], szMode[kTftpModeSize], szOption[kTftpOptionSize],
        szTsize[kTftpOptionSize];
    const TTftpRequestFields fields = {szPath, szMode, szOption, szTsize};
    const char* szRoot = "/srv/tftp/";
    if (ParseReadRequest(pRequest, static_cast<int>(nSize), szRoot, fields) == RequestOk)
    {
        FUZZ_CHECK(strncmp(szPath, szRoot, strlen(szRoot)) == 0,
                   "path does not start with the root");
        FUZZ_CHECK(strlen(szPath) < kTftpPathSize && strlen(szMode) < kTftpModeSize &&
                       strlen(szOption) < kTftpOptionSize && strlen(szTsize) < kTftpOptionSize,
                   "field overflow");
        if (IsPathAllowed(szPath))
            FUZZ_CHECK(!strstr(szPath, "../") && !strstr(szPath, "..\\"),
                       "a parent folder let through");

        const std::string strRequest(pRequest, nSize);
        const int nMaxBlock = 8 + static_cast<int>(nSize * 131 % 65457),
                  nMaxWindow = 1 + static_cast<int>(nSize % 64);
        TTftpGrant grant;
        NegotiateOptions(pRequest, static_cast<int>(nSize), static_cast<int64_t>(nSize) << 40,
                         nMaxBlock, nMaxWindow, &grant);
        FUZZ_CHECK(grant.nBlockSize >= 8 && grant.nBlockSize <= 65464 &&
                       (grant.nBlockSize == 512 || grant.nBlockSize <= nMaxBlock),
                   "block size out of its limits");
        FUZZ_CHECK(grant.nWindowSize >= 1 && grant.nWindowSize <= nMaxWindow,
                   "window out of its limits");
        FUZZ_CHECK(grant.iWaitSeconds >= 0 && grant.iWaitSeconds <= 255, "wait out of its limits");
        FUZZ_CHECK(grant.nOack == 0 ||
                       (grant.nOack > 2 && grant.nOack <= static_cast<int>(sizeof grant.oack) &&
                        grant.oack[0] == 0 && grant.oack[1] == 6 &&
                        grant.oack[grant.nOack - 1] == 0),
                   "OACK malformed");
        std::string strSeen;
        for (int n = 2; n < grant.nOack;)
        {
            const char* szName = grant.oack + n;
            const char* szValue = szName + strlen(szName) + 1;
            n = static_cast<int>(szValue + strlen(szValue) + 1 - grant.oack);
            FUZZ_CHECK(n <= grant.nOack, "OACK pair runs past its end");
            FUZZ_CHECK(strstr("|blksize|windowsize|timeout|tsize|",
                              ("|" + std::string(szName) + "|").c_str()) != nullptr,
                       "OACK names an option the server does not grant");
            FUZZ_CHECK(strSeen.find("|" + std::string(szName) + "|") == std::string::npos,
                       "OACK names an option twice");
            strSeen += "|" + std::string(szName) + "|";
            FUZZ_CHECK(RequestAsks(strRequest, szName),
                       "OACK names an option the client did not ask for");
            FUZZ_CHECK(*szValue != 0 && strspn(szValue, "0123456789") == strlen(szValue),
                       "OACK value is no number");
        }
    }
    delete[] pRequest;
    return 0;
}
