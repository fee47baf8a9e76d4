// What the fuzz targets share: a failed invariant aborts with its text (a
// finding), and the log stays quiet so that the fuzzer runs at full speed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(bOk, szWhat)                                                                    \
    do                                                                                             \
    {                                                                                              \
        if (!(bOk))                                                                                \
        {                                                                                          \
            std::fprintf(stderr, "%s: %s\n", __FILE__, szWhat);                                    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

#ifdef FUZZ_QUIET_LOG
#include <ace/Log_Msg.h>
// No log line is formatted or written.
inline void QuietLog() { ACE_Log_Msg::instance()->priority_mask(0, ACE_Log_Msg::PROCESS); }
#endif

// Two option values as their getters give them (a length, -1 for none, and the bytes) agree.
inline bool SameValue(int nA, const uint8_t* pA, int nB, const uint8_t* pB)
{
    return nA == nB && (nA <= 0 || std::memcmp(pA, pB, static_cast<size_t>(nA)) == 0);
}

// Whether two packets hold the same value for every option (bVendor false) and sub-option
// (bVendor true) code that fnCompared(nCode, bVendor) takes, present in both or in neither.
template <class TPacket, class TCompared>
bool SameTables(const TPacket& a, const TPacket& b, TCompared fnCompared)
{
    uint8_t aA[255], aB[255];
    for (int i = 0; i < 512; ++i)
    {
        const uint8_t nCode = static_cast<uint8_t>(i);
        const bool bVendor = i > 255;
        if (fnCompared(nCode, bVendor) &&
            !(bVendor ? a.HasVendorOption(nCode) == b.HasVendorOption(nCode) &&
                            SameValue(a.GetVendorOption(nCode, aA, 255), aA,
                                      b.GetVendorOption(nCode, aB, 255), aB)
                      : a.HasOption(nCode) == b.HasOption(nCode) &&
                            SameValue(a.GetOption(nCode, aA, 255), aA, b.GetOption(nCode, aB, 255),
                                      aB)))
            return false;
    }
    return true;
}
