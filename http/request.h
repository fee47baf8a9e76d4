// What the HTTP server decides about one request, without any I/O: the file
// name a request target gives, the status for a file that cannot be opened,
// and for a file that can, the status, the part of it sent and the header
// values (ETag, Last-Modified, Content-Type, Content-Range). The wire (request
// line, headers, keep-alive) is libmicrohttpd's.
#pragma once

#include <cstdint>
#include <string>

constexpr int kHttpOk = 200;
constexpr int kHttpPartial = 206;
constexpr int kHttpNotModified = 304;
constexpr int kHttpBadRequest = 400;
constexpr int kHttpForbidden = 403;
constexpr int kHttpNotFound = 404;
constexpr int kHttpBadMethod = 405;
constexpr int kHttpRangeNotSatisfiable = 416;
constexpr int kHttpServerError = 500;

// Decodes the path of a request target (as sent, before any decoding; a query
// after "?" is cut off first) once: "%XX" becomes its byte. Gives 0 and the
// name below the root (without leading "/"), or the status of the refusal:
// 400 for a target that does not start with "/", a "%" not followed by two
// hex digits, or a NUL byte (sent or decoded); 403 for a ".." step of the decoded path
// and for the root itself (no folder is listed).
int DecodeRequestPath(const std::string& strTarget, std::string& strName);

// The status for a file that OpenBeneath refused with iErrno: 404 when the
// name does not exist, 403 when it leads out of the root, names a folder or
// anything else that is no regular file, or may not be read; 500 otherwise.
int StatusForOpenError(int iErrno);

// How a Range header applies to a file of iSize bytes.
enum TRangeResult
{
    RangeWhole,           // none, or one to be ignored (not "bytes=", not one range, malformed)
    RangePart,            // *piFirst and *piLength give the part
    RangeNotSatisfiable,  // 416
};

// One range of "bytes=": "FIRST-LAST" (LAST cut to the end of the file),
// "FIRST-" or "-SUFFIX" (the last SUFFIX bytes, the whole file when it is
// shorter). A FIRST at or past the end and a SUFFIX of 0 cannot be satisfied;
// LAST below FIRST, several ranges and anything malformed are ignored.
TRangeResult ParseRange(const std::string& strRange, int64_t iSize, int64_t* piFirst,
                        int64_t* piLength);

// True when an If-None-Match value ("*" or a list of entity tags, weak or not)
// names strETag (weak comparison).
bool ETagListMatches(const std::string& strList, const std::string& strETag);

// A file opened for a request.
struct THttpFile
{
    int64_t iSize = 0;
    int64_t iMtimeSec = 0;
    long iMtimeNsec = 0;
    unsigned char head[2] = {0, 0};  // its first bytes
    int nHead = 0;                   // how many of them it has (0 to 2)
};

// The request headers that count; null when absent.
struct THttpConditions
{
    const char* szRange = nullptr;
    const char* szIfNoneMatch = nullptr;
    const char* szIfRange = nullptr;
};

struct THttpFileReply
{
    int iStatus = kHttpOk;        // 200, 206, 304 or 416
    int64_t iOffset = 0;          // the part of the file that is the body
    int64_t iLength = 0;          // 0 for 304 and 416
    std::string strContentRange;  // for 206 and 416, else empty
    std::string strETag;          // "SIZE-MTIME" in hex, quoted
    std::string strLastModified;  // IMF-fixdate
    std::string strContentType;   // application/efi for a PE/COFF image ("MZ"), else octet-stream
};

// The answer to GET or HEAD for a file: 304 when If-None-Match names its ETag;
// otherwise the Range (applied only when If-Range is absent or names the ETag
// or the Last-Modified date exactly) picks 206, 416 or the whole file (200).
THttpFileReply DecideFileReply(const THttpFile& file, const THttpConditions& conditions);

// The date as an HTTP date ("Tue, 08 Dec 2026 03:06:03 GMT").
std::string HttpDate(int64_t iSeconds);

// A client's text for a log line: bytes outside printable ASCII, '"' and '\\'
// as \xHH, at most nMax bytes of it (then "...").
std::string PrintableForLog(const std::string& strText, size_t nMax = 256);
