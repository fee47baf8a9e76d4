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
