// libFuzzer target: arbitrary bytes as the parts of an HTTP request that the
// server decides on itself, separated by line feeds: the target, the Range,
// If-None-Match and If-Range values. An accepted target names a file below the
// root (no leading "/", no NUL, no ".." step, never longer than the target); a
// reply stays inside its file, its status and Content-Range agree, and a log
// text is one line of printable characters. Any difference aborts (a finding).
#include "fuzzcheck.h"
#include "http/request.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<std::string> vParts(1);
    for (size_t n = 0; n < nSize; ++n)
        if (pData[n] == '\n' && vParts.size() < 4)
            vParts.emplace_back();
        else
            vParts.back() += static_cast<char>(pData[n]);
    vParts.resize(4);
    const std::string& strTarget = vParts[0];

    std::string strName;
    const int iStatus = DecodeRequestPath(strTarget, strName);
    FUZZ_CHECK(iStatus == 0 || iStatus == kHttpBadRequest || iStatus == kHttpForbidden,
               "target refused with an unexpected status");
    if (iStatus == 0)
    {
        FUZZ_CHECK(!strName.empty() && strName[0] != '/', "name empty or not below the root");
        FUZZ_CHECK(strName.find('\0') == std::string::npos, "decoded NUL let through");
        FUZZ_CHECK(strName.size() < strTarget.size(), "name longer than its target");
        const std::string strSlashed = "/" + strName + "/";
        FUZZ_CHECK(strSlashed.find("/../") == std::string::npos, "a '..' step let through");
    }

    THttpFile file;
    file.iSize = static_cast<int64_t>(nSize) * 7919 % 100003;
    file.iMtimeSec = static_cast<int64_t>(nSize) << 20;
    file.nHead = nSize < 2 ? static_cast<int>(nSize) : 2;
    for (int i = 0; i < file.nHead; ++i)
        file.head[i] = pData[i];
    THttpConditions conditions;
    conditions.szRange = vParts[1].c_str();
    conditions.szIfNoneMatch = nSize % 3 == 0 ? vParts[2].c_str() : nullptr;
    conditions.szIfRange = nSize % 5 == 0 ? vParts[3].c_str() : nullptr;
    const THttpFileReply reply = DecideFileReply(file, conditions);
    FUZZ_CHECK(reply.iOffset >= 0 && reply.iLength >= 0 &&
                   reply.iOffset + reply.iLength <= file.iSize,
               "reply outside its file");
    switch (reply.iStatus)
    {
    case kHttpOk:
        FUZZ_CHECK(reply.iOffset == 0 && reply.iLength == file.iSize &&
                       reply.strContentRange.empty(),
                   "200 that is not the whole file");
        break;
    case kHttpPartial:
        FUZZ_CHECK(reply.iLength >= 1 && reply.strContentRange ==
                                             "bytes " + std::to_string(reply.iOffset) + "-" +
                                                 std::to_string(reply.iOffset + reply.iLength - 1) +
                                                 "/" + std::to_string(file.iSize),
                   "206 whose Content-Range differs from its part");
        break;
    case kHttpNotModified:
        FUZZ_CHECK(reply.iLength == 0 && conditions.szIfNoneMatch != nullptr, "304 unasked");
        break;
    case kHttpRangeNotSatisfiable:
        FUZZ_CHECK(reply.iLength == 0 &&
                       reply.strContentRange == "bytes */" + std::to_string(file.iSize),
                   "416 with a body or a wrong Content-Range");
        break;
    default:
        FUZZ_CHECK(false, "unexpected status");
    }

    for (const std::string& strText : vParts)
        for (char c : PrintableForLog(strText, 64))
            FUZZ_CHECK(c >= 0x20 && c < 0x7f && c != '"', "log text not printable");
    return 0;
}
