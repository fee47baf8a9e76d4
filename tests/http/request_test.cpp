#include "http/request.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

// Each target gives the name it opens, or the status it is refused with.
TEST(HttpRequest, TargetsDecodedOnceAndRefused)
{
    const std::pair<std::string, std::string> cases[] = {
        {"//a//b", "a//b"},
        {"/a%20b%2F%7e%ff?x=../y", "a b/~\xff"},
        {"/a%252e%252e/b", "a%2e%2e/b"},  // decoded once only
        {"/..a/./b..", "..a/./b.."},
        {"/uefi\\..\\x", "uefi\\..\\x"},  // a backslash is a character of a name here
        {"/a/../../b", "403"},
        {"/%2E%2e%2fetc", "403"},
        {"///", "403"},
        {"http://h/x", "400"},
        {"/a%00b", "400"},
        {std::string("/a\0b", 4), "400"},
        {"/a%2", "400"},
        {"/a%g0", "400"},
    };
    for (const auto& c : cases)
    {
        std::string strName = "unset";
        const int iStatus = DecodeRequestPath(c.first, strName);
        EXPECT_EQ(iStatus == 0 ? strName
                               : std::to_string(iStatus) + (strName == "unset" ? "" : "!"),
                  c.second)
            << c.first;
    }
}

TEST(HttpRequest, StatusOfFilesThatCannotBeOpened)
{
    const std::pair<int, int> cases[] = {
        {ENOENT, 404}, {ENOTDIR, 404}, {ENAMETOOLONG, 404}, {EXDEV, 403},  {ELOOP, 403},
        {EACCES, 403}, {EISDIR, 403},  {EINVAL, 403},       {EMFILE, 500}, {EIO, 500},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatusForOpenError(c.first), c.second) << c.first;
}

// Each Range header against a file of 100 bytes (0 where the size says so): "whole", "416", or
// the first byte and the length.
TEST(HttpRequest, Ranges)
{
    const struct
    {
        const char* szRange;
        int64_t iSize;
        const char* szResult;
    } cases[] = {
        {"bytes=0-0", 100, "0+1"},     {"bytes=10-", 100, "10+90"},
        {"bytes=-1", 100, "99+1"},     {"bytes=-5000", 100, "0+100"},
        {" Bytes = 5-6 ", 100, "5+2"}, {"bytes=0-99999999999999999999999", 100, "0+100"},
        {"bytes=100-", 100, "416"},    {"bytes=99999999999999999999999-", 100, "416"},
        {"bytes=-0", 100, "416"},      {"bytes=0-", 0, "416"},
        {"bytes=5-4", 100, "whole"},   {"bytes=0-1,5-6", 100, "whole"},
        {"bytes=+1-2", 100, "whole"},  {"items=0-1", 100, "whole"},
    };
    for (const auto& c : cases)
    {
        int64_t iFirst = -1, iLength = -1;
        const TRangeResult iResult = ParseRange(c.szRange, c.iSize, &iFirst, &iLength);
        const std::string strResult = iResult == RangeWhole ? "whole"
                                      : iResult == RangeNotSatisfiable
                                          ? "416"
                                          : std::to_string(iFirst) + "+" + std::to_string(iLength);
        EXPECT_EQ(strResult, c.szResult) << c.szRange;
    }
}

TEST(HttpRequest, ETagLists)
{
    const std::string strTag = "\"10-5\"";
    const std::pair<const char*, bool> cases[] = {
        {"\"10-5\"", true},    {"*", true},         {"W/\"10-5\"", true}, {"\"a\", \"10-5\"", true},
        {" \"10-5\" ,", true}, {"\"10-6\"", false}, {"10-5", false},      {"", false},
        {",,", false},         {"\"10-5", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ETagListMatches(c.first, strTag), c.second) << c.first;
}

// The reply for a file of 100 bytes changed at 1,700,000,000.5 seconds, in short: status,
// offset+length, Content-Range, Content-Type.
TEST(HttpRequest, FileReplies)
{
    THttpFile file;
    file.iSize = 100;
    file.iMtimeSec = 1700000000;
    file.iMtimeNsec = 500000000;
    const std::string strETag = "\"64-17979cfe53f76500\"",
                      strDate = "Tue, 14 Nov 2023 22:13:20 GMT";
    const struct
    {
        const char *szRange, *szIfNoneMatch, *szIfRange;
        const char* szHead;
        const char* szReply;
    } cases[] = {
        {nullptr, nullptr, nullptr, "MZ", "200 0+100 [] application/efi"},
        {"bytes=-10", nullptr, nullptr, "MZ", "206 90+10 [bytes 90-99/100] application/efi"},
        {"bytes=100-", nullptr, nullptr, "", "416 0+0 [bytes */100] application/octet-stream"},
        {"bytes=0-1", strETag.c_str(), nullptr, "", "304 0+0 [] application/octet-stream"},
        {nullptr, "\"other\"", nullptr, "M", "200 0+100 [] application/octet-stream"},
        {"bytes=0-1", nullptr, strETag.c_str(), "",
         "206 0+2 [bytes 0-1/100] application/octet-stream"},
        {"bytes=0-1", nullptr, strDate.c_str(), "",
         "206 0+2 [bytes 0-1/100] application/octet-stream"},
        {"bytes=0-1", nullptr, "\"old\"", "", "200 0+100 [] application/octet-stream"},
    };
    for (const auto& c : cases)
    {
        file.nHead = static_cast<int>(strlen(c.szHead));
        memcpy(file.head, c.szHead, static_cast<size_t>(file.nHead));
        THttpConditions conditions;
        conditions.szRange = c.szRange;
        conditions.szIfNoneMatch = c.szIfNoneMatch;
        conditions.szIfRange = c.szIfRange;
        const THttpFileReply reply = DecideFileReply(file, conditions);
        EXPECT_EQ(std::to_string(reply.iStatus) + " " + std::to_string(reply.iOffset) + "+" +
                      std::to_string(reply.iLength) + " [" + reply.strContentRange + "] " +
                      reply.strContentType,
                  c.szReply)
            << (c.szRange ? c.szRange : "-") << " " << c.szHead;
        EXPECT_EQ(reply.strETag + " " + reply.strLastModified, strETag + " " + strDate);
    }
    // The tag changes with the size and with the time, to the nanosecond.
    THttpFile other = file, larger = file;
    other.iMtimeNsec += 1;
    larger.iSize += 1;
    EXPECT_NE(DecideFileReply(other, {}).strETag, strETag);
    EXPECT_NE(DecideFileReply(larger, {}).strETag, strETag);
}

TEST(HttpRequest, LogTextIsOneLineOfPrintableCharacters)
{
    EXPECT_EQ(PrintableForLog("/a b\n\r\"\\\x1b\xff~"), "/a b\\x0a\\x0d\\x22\\x5c\\x1b\\xff~");
    EXPECT_EQ(PrintableForLog(std::string(300, 'a'), 4), "aaaa...");
}
