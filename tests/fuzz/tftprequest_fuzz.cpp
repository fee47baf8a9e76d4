// libFuzzer target: arbitrary bytes as a TFTP read request, into the request
// parser and the option negotiation. An accepted path starts with the root,
// fits its field and, once allowed, holds no "../" or "..\\"; a grant stays in
// its limits, and its OACK names only options the request asked for, in lower
// case, once each, with decimal values. Any difference aborts (a finding).
#include "fuzzcheck.h"
#include "tftp/packet.h"

#include <string>
#include <strings.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > kTftpPacketSize)
        return 0;
    // Exactly the datagram's bytes, so that reading past them shows.
    const std::vector<char> vRequest(pData, pData + nSize);
    const char* pRequest = vRequest.data();
    const std::string strRequest(pRequest, nSize);  // zero-terminated, for the scan below
    const int nLength = static_cast<int>(nSize);
    char szPath[kTftpPathSize], szMode[kTftpModeSize], szOption[kTftpOptionSize],
        szTsize[kTftpOptionSize];
    const char* szRoot = "/srv/tftp/";
    if (ParseReadRequest(pRequest, nLength, szRoot, {szPath, szMode, szOption, szTsize}) !=
        RequestOk)
        return 0;
    FUZZ_CHECK(strncmp(szPath, szRoot, strlen(szRoot)) == 0, "path does not start with the root");
    FUZZ_CHECK(strlen(szPath) < kTftpPathSize && strlen(szMode) < kTftpModeSize &&
                   strlen(szOption) < kTftpOptionSize && strlen(szTsize) < kTftpOptionSize,
               "field overflow");
    FUZZ_CHECK(!IsPathAllowed(szPath) || (!strstr(szPath, "../") && !strstr(szPath, "..\\")),
               "a parent folder let through");

    const int nMaxBlock = 8 + nLength * 131 % 65457, nMaxWindow = 1 + nLength % 64,
              iMaxTimeout = 1 + nLength % 255;
    TTftpGrant grant;
    NegotiateOptions(pRequest, nLength, int64_t(nLength) << 40, nMaxBlock, nMaxWindow, iMaxTimeout,
                     &grant);
    FUZZ_CHECK(grant.nBlockSize >= 8 && grant.nBlockSize <= 65464 &&
                   (grant.nBlockSize == 512 || grant.nBlockSize <= nMaxBlock),
               "block size out of its limits");
    FUZZ_CHECK(grant.nWindowSize >= 1 && grant.nWindowSize <= nMaxWindow,
               "window out of its limits");
    FUZZ_CHECK(grant.iWaitSeconds >= 0 && grant.iWaitSeconds <= iMaxTimeout,
               "wait out of its limits");
    FUZZ_CHECK(grant.nOack == 0 ||
                   (grant.nOack > 2 && grant.nOack <= int(sizeof grant.oack) &&
                    grant.oack[0] == 0 && grant.oack[1] == 6 && grant.oack[grant.nOack - 1] == 0),
               "OACK malformed");
    std::string strSeen = "|";
    for (int n = 2; n < grant.nOack;)
    {
        const std::string strName = grant.oack + n, strValue = grant.oack + n + strName.size() + 1;
        n += int(strName.size() + strValue.size()) + 2;
        FUZZ_CHECK(n <= grant.nOack, "OACK pair runs past its end");
        FUZZ_CHECK(std::string("|blksize|windowsize|timeout|tsize|").find("|" + strName + "|") !=
                       std::string::npos,
                   "OACK names an option the server does not grant");
        FUZZ_CHECK(strSeen.find("|" + strName + "|") == std::string::npos,
                   "OACK names an option twice");
        strSeen += strName + "|";
        bool bAsked = false;  // a name of the request's option area equal in any case
        for (size_t i = 2; i < nSize; i += strlen(strRequest.c_str() + i) + 1)
            bAsked |= strcasecmp(strRequest.c_str() + i, strName.c_str()) == 0;
        FUZZ_CHECK(bAsked, "OACK names an option the client did not ask for");
        FUZZ_CHECK(!strValue.empty() &&
                       strValue.find_first_not_of("0123456789") == std::string::npos,
                   "OACK value is no number");
    }
    return 0;
}
