// Read-request parsing and option negotiation, in-process.
#include "tftp/packet.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
// "|" stands for a zero byte.
std::string Z(std::string s)
{
    for (char& c : s)
        c = c == '|' ? '\0' : c;
    return s;
}

TEST(TftpRequest, TheModeIsRequiredAndFieldsAreBounded)
{
    char szPath[kTftpPathSize], szMode[kTftpModeSize], szOption[kTftpOptionSize],
        szTsize[kTftpOptionSize];
    const TTftpRequestFields f = {szPath, szMode, szOption, szTsize};
    auto Parse = [&](const std::string& s) {
        std::string strRequest = Z("|\1" + s);
        if (ParseReadRequest(strRequest.data(), int(strRequest.size()), "/r/", f) != RequestOk)
            return std::string("malformed");
        return std::string(szPath) + " " + szMode + " " + szOption + " " + szTsize;
    };
    EXPECT_EQ(Parse("small.bin|"), "malformed");
    EXPECT_EQ(Parse("small.bin||"), "/r/small.bin   ");
    EXPECT_EQ(Parse("a|octet|TSize|0|blksize|8|"), "/r/a octet TSize 0");
    EXPECT_EQ(Parse("a|octet|blksize|8|tsize|0|"), "/r/a octet blksize ");
    EXPECT_EQ(Parse("a|octet|tsize|"), "/r/a octet tsize ");
    EXPECT_EQ(Parse("a|octet"), "malformed");
    // Root and name fill the 511 characters of the path; the mode 63.
    EXPECT_EQ(Parse(std::string(508, 'n') + "||"), "/r/" + std::string(508, 'n') + "   ");
    EXPECT_EQ(Parse(std::string(509, 'n') + "||"), "malformed");
    EXPECT_EQ(Parse("a|" + std::string(63, 'm') + "|"), "/r/a " + std::string(63, 'm') + "  ");
    EXPECT_EQ(Parse("a|" + std::string(64, 'm') + "|"), "malformed");
    // Paths with "../" or "..\\" are refused: the fuzz target's invariant; two dots alone are not.
    EXPECT_TRUE(IsPathAllowed("/r/a..b/c"));
}

TEST(TftpNegotiation, GrantsWhatTheClientAskedWithinTheLimits)
{
    struct TCase
    {
        const char* szOptions;                         // after "f|octet|"
        const char* szOack;                            // after the opcode; "" for none
        int nBlock, nWindow, iWait, nMaxBlock = 1468;  // the limit from the path's MTU
        int iMaxTimeout = 255;
    } cases[] = {
        // EDK2's size probe and iPXE's request, granted in the request's order.
        {"tsize|0|blksize|1468|windowsize|4|", "tsize|1500|blksize|1468|windowsize|4|", 1468, 4, 0},
        {"blksize|1432|tsize|0|", "blksize|1432|tsize|1500|", 1432, 1, 0},
        // Any case in, lower case out; limits; the first of repeated options.
        {"BLKSIZE|9000|WindowSize|100|TimeOut|3|", "blksize|1468|windowsize|16|timeout|3|", 1468,
         16, 3},
        {"blksize|600|blksize|700|windowsize|1|", "blksize|600|windowsize|1|", 600, 1, 0},
        {"blksize|8|timeout|255|", "blksize|8|timeout|255|", 8, 1, 255},
        // Out of range, not a number, a size that is not asked for, unknown: left out.
        {"blksize|7|tsize|0|", "tsize|1500|", 512, 1, 0},
        {"windowsize|0|timeout|0|timeout|2|tsize|5|", "", 512, 1, 0},
        {"blksize|65465|windowsize|65536|timeout|256|multicast||rollover|1|", "", 512, 1, 0},
        {"blksize|1e3|tsize|-0|blksize| 512|", "", 512, 1, 0},
        // The limit from the path's MTU wins over the request.
        {"blksize|1468|", "blksize|1368|", 1368, 1, 0, 1368},
        // A wait beyond the server's cap is declined, the rest still granted.
        {"timeout|10|", "timeout|10|", 512, 1, 10, 1468, 10},
        {"timeout|11|blksize|600|", "blksize|600|", 600, 1, 0, 1468, 10},
    };
    for (const TCase& c : cases)
    {
        SCOPED_TRACE(c.szOptions);
        std::string strRequest = Z(std::string("|\1f|octet|") + c.szOptions);
        TTftpGrant grant;
        NegotiateOptions(strRequest.data(), int(strRequest.size()), 1500, c.nMaxBlock, 16,
                         c.iMaxTimeout, &grant);
        std::string strOack(grant.oack, size_t(grant.nOack));
        EXPECT_EQ(strOack, *c.szOack ? Z(std::string("|\6") + c.szOack) : "");
        EXPECT_EQ(grant.nBlockSize * 1000000 + grant.nWindowSize * 1000 + grant.iWaitSeconds,
                  c.nBlock * 1000000 + c.nWindow * 1000 + c.iWait);
    }
}
}  // namespace
