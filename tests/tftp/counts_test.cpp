// The bounds on transfers at once, in-process.
#include "tftp/counts.h"

#include <gtest/gtest.h>

#include <tuple>

namespace
{
TEST(TftpTransferCounts, RefusesBeyondEitherLimitAndFreesOnRelease)
{
    TTransferCounts counts(3, 2);
    const uint32_t a = 0x0100a8c0, b = 0x0200a8c0, c = 0x0300a8c0;
    // Each step: the client, take (true) or release, the answer of a take.
    const std::tuple<uint32_t, bool, TAdmission> steps[] = {
        // clang-format off
        {a, true, AdmitOk}, {a, true, AdmitOk}, {a, true, AdmitClientBusy},
        {b, true, AdmitOk}, {c, true, AdmitBusy}, {b, true, AdmitBusy},
        {a, false, AdmitOk}, {c, true, AdmitOk},
        {a, true, AdmitBusy},  // the total first, though a is below its own limit
        {c, false, AdmitOk}, {a, true, AdmitOk},
        {b, false, AdmitOk}, {a, true, AdmitClientBusy},  // a at its limit, the total not
        {c, false, AdmitOk}, {c, true, AdmitOk}, {b, true, AdmitBusy},  // a release without a take
        // clang-format on
    };
    for (const auto& [iClient, bTake, iExpected] : steps)
    {
        if (bTake)
            EXPECT_EQ(counts.Take(iClient), iExpected) << std::hex << iClient;
        else
            counts.Release(iClient);
    }
    EXPECT_EQ(counts.Total(), 3);
    EXPECT_EQ(counts.OfClient(a) * 100 + counts.OfClient(b) * 10 + counts.OfClient(c), 201);
}
}  // namespace
