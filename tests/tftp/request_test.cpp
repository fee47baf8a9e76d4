// Parsing and checking of read requests, and the OACK for "tsize".
#include "tftptest.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
struct TParsed
{
    int iResult;
    std::string strPath, strMode, strOption, strTsize;
};

// Parses strPacket in a record whose fields are first filled with a marker,
// and checks that nothing beyond the packet's fields was touched.
TParsed Parse(const std::string& strPacket, const std::string& strRoot = "/srv/tftp/")
{
    struct
    {
        TftpTransfer t;
        char szOption[64];
        char szGuard[64];
    } rec;
    memset(&rec, 'Z', sizeof rec);
    EXPECT_LE(strPacket.size(), sizeof rec.t.packet);
    memcpy(rec.t.packet, strPacket.data(), std::min(strPacket.size(), sizeof rec.t.packet));
    TParsed parsed;
    parsed.iResult = ParseReadRequest(&rec.t, static_cast<int>(strPacket.size()), strRoot.c_str(), rec.szOption);
    parsed.strPath.assign(rec.t.path, strnlen(rec.t.path, sizeof rec.t.path));
    parsed.strMode.assign(rec.t.mode, strnlen(rec.t.mode, sizeof rec.t.mode));
    parsed.strOption.assign(rec.szOption, strnlen(rec.szOption, sizeof rec.szOption));
    parsed.strTsize.assign(rec.t.tsizeValue, strnlen(rec.t.tsizeValue, sizeof rec.t.tsizeValue));
    EXPECT_EQ(std::string(rec.szGuard, sizeof rec.szGuard), std::string(64, 'Z'));
    // Every field is terminated inside itself, even after a refusal.
    EXPECT_LT(parsed.strPath.size(), sizeof rec.t.path);
    EXPECT_LT(parsed.strMode.size(), sizeof rec.t.mode);
    EXPECT_LT(parsed.strOption.size(), sizeof rec.szOption);
    EXPECT_LT(parsed.strTsize.size(), sizeof rec.t.tsizeValue);
    return parsed;
}

TEST(RequestParse, NameModeAndFirstOption)
{
    TParsed p = Parse(MakeRequest(TftpRrq, {"boot.0", "octet"}));
    EXPECT_EQ(p.iResult, RequestOk);
    EXPECT_EQ(p.strPath, "/srv/tftp/boot.0");
    EXPECT_EQ(p.strMode, "octet");
    EXPECT_EQ(p.strOption, "");
    EXPECT_EQ(p.strTsize, "");

    p = Parse(MakeRequest(TftpRrq, {"pxelinux.0", "netascii", "tsize", "0"}));
    EXPECT_EQ(p.iResult, RequestOk);
    EXPECT_EQ(p.strOption, "tsize");
    EXPECT_EQ(p.strTsize, "0");

    p = Parse(MakeRequest(TftpRrq, {"a", "octet", "TSize", "0", "blksize", "1468"}));
    EXPECT_EQ(p.strOption, "TSize");
    EXPECT_EQ(p.strTsize, "0");

    // Only the first option is looked at: "tsize" in second place is not read.
    p = Parse(MakeRequest(TftpRrq, {"a", "octet", "blksize", "1468", "tsize", "0"}));
    EXPECT_EQ(p.iResult, RequestOk);
    EXPECT_EQ(p.strOption, "blksize");
    EXPECT_EQ(p.strTsize, "");

    // The name is taken as received: no separator converted, nothing removed.
    p = Parse(MakeRequest(TftpRrq, {"\\boot\\x86/..x//y", "octet"}), "C:/tftp/");
    EXPECT_EQ(p.strPath, "C:/tftp/\\boot\\x86/..x//y");

    // A request that ends with the name: the mode is empty.
    p = Parse(MakeRequest(TftpRrq, {"hd.0"}));
    EXPECT_EQ(p.iResult, RequestOk);
    EXPECT_EQ(p.strPath, "/srv/tftp/hd.0");
    EXPECT_EQ(p.strMode, "");
}

TEST(RequestParse, StringsAtAndPastTheirLimitsAndUnterminatedStrings)
{
    const std::string strRoot = "/srv/tftp/";
    // Root plus name: 511 characters fit, 512 do not.
    std::string strName(511 - strRoot.size(), 'n');
    TParsed p = Parse(MakeRequest(TftpRrq, {strName, "octet"}), strRoot);
    EXPECT_EQ(p.iResult, RequestOk);
    EXPECT_EQ(p.strPath.size(), 511u);
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {strName + "n", "octet"}), strRoot).iResult, RequestMalformed);
    // A root longer than the path field refuses everything.
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", "octet"}), std::string(600, 'r')).iResult, RequestMalformed);

    // Mode, option name and "tsize" value: 63 characters fit, 64 do not.
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", std::string(63, 'm')})).iResult, RequestOk);
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", std::string(64, 'm')})).iResult, RequestMalformed);
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", "octet", std::string(63, 'o'), "1"})).iResult, RequestOk);
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", "octet", std::string(64, 'o'), "1"})).iResult, RequestMalformed);
    p = Parse(MakeRequest(TftpRrq, {"a", "octet", "tsize", std::string(63, '0')}));
    EXPECT_EQ(p.iResult, RequestOk);
    EXPECT_EQ(p.strTsize, std::string(63, '0'));
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", "octet", "tsize", std::string(64, '0')})).iResult, RequestMalformed);
    // The value of an option other than "tsize" is not read, so not limited.
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {"a", "octet", "x", std::string(200, 'v')})).iResult, RequestOk);

    // The last string must end inside the datagram.
    std::string strPacket = MakeRequest(TftpRrq, {"boot.0", "octet"});
    EXPECT_EQ(Parse(strPacket.substr(0, strPacket.size() - 1)).iResult, RequestMalformed);
    strPacket = MakeRequest(TftpRrq, {"a", "octet", "tsize", "0"});
    EXPECT_EQ(Parse(strPacket.substr(0, strPacket.size() - 1)).iResult, RequestMalformed);
    EXPECT_EQ(Parse(MakeRequest(TftpRrq, {})).iResult, RequestMalformed);  // opcode only
    EXPECT_EQ(Parse(std::string(516, 'x')).iResult, RequestMalformed);   // a full buffer, no zero byte
}

TEST(RequestPath, ParentReferencesAreRefusedAnywhere)
{
    EXPECT_FALSE(IsPathAllowed("/srv/tftp/../etc/passwd"));
    EXPECT_FALSE(IsPathAllowed("/srv/tftp/a/../../b"));
    EXPECT_FALSE(IsPathAllowed("/srv/tftp/..\\..\\boot.ini"));
    EXPECT_FALSE(IsPathAllowed("/srv/../tftp/boot.0"));  // a root holding "../" refuses every request
    EXPECT_TRUE(IsPathAllowed("/srv/tftp/boot.0"));
    EXPECT_TRUE(IsPathAllowed("/srv/tftp//etc/passwd"));  // a leading separator is not refused
    EXPECT_TRUE(IsPathAllowed("/srv/tftp/C:/boot.0"));
    EXPECT_TRUE(IsPathAllowed("/srv/tftp/..."));
    EXPECT_TRUE(IsPathAllowed("/srv/tftp/a..b/c"));
    EXPECT_TRUE(IsPathAllowed("/srv/tftp/.."));  // no separator after it
}

TEST(RequestOack, TsizeAnswer)
{
    char buffer[100];
    memset(buffer, 'x', sizeof buffer);
    int n = BuildTsizeOack(buffer, 0);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), std::string("\0\6tsize\0" "0\0", 10));
    EXPECT_EQ(std::string(buffer + n, sizeof buffer - static_cast<size_t>(n)), std::string(sizeof buffer - 10, '\0'));

    n = BuildTsizeOack(buffer, kTftpMaxFileSize);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), std::string("\0\6tsize\0" "33553919\0", 17));
    // Sizes past 32 bits are written whole.
    n = BuildTsizeOack(buffer, 5000000000LL);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), std::string("\0\6tsize\0" "5000000000\0", 19));
}
}  // namespace
