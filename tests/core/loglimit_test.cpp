// The log line limiter: one line per period and key, the count of those
// passed over, and a bounded table (the count's line: the TFTP engine's test).
#include "core/loglimit.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace
{
TEST(LogLimit, OneLinePerPeriodAndKeyWithTheCountPassedOver)
{
    // Key and time of each call. A table of three keys: key 4 finds it full
    // of keys whose period has not passed and shares the overflow entry with
    // key 5; at 2800 the entries of keys 1 and 3 have had their period and
    // make room for keys 6 and 5, not yet for key 4.
    const std::vector<std::pair<uint64_t, int64_t>> vCalls = {
        {1, 0},    {1, 10},   {1, 999},  {2, 999},  {1, 1000}, {1, 1500}, {3, 1600},
        {4, 1700}, {5, 1800}, {2, 1998}, {2, 1999}, {6, 2800}, {5, 2801}, {4, 2802}};
    TLogLimiter limiter(1000, 3);
    // "-" for a line passed over, else the count said with the line written.
    std::string strResults;
    for (auto [iKey, iNowMs] : vCalls)
    {
        unsigned n = 99;
        strResults += limiter.Allow(iKey, iNowMs, &n) ? std::to_string(n) : "-";
    }
    EXPECT_EQ(strResults, "0--02-00--1001");
}
}  // namespace
