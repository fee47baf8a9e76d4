// Bounds the log lines that a client can cause. A line of one kind about one
// client (a stale ACK, a datagram from a stranger, a refused request) is
// written at most once per period; the lines passed over meanwhile are
// counted and said as "N similar lines suppressed" before the next one of
// that kind and client is written. The table of kinds and clients is bounded
// too: when it is full, lines of keys not in it share one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

class TLogLimiter
{
public:
    explicit TLogLimiter(int64_t iPeriodMs = 1000, size_t nMaxKeys = 4096);

    // iKey names the kind and the client (for example the kind in the high
    // 32 bits and the IPv4 address in the low ones). True when the line is to
    // be written now; *pnSuppressed is then how many lines of that key were
    // passed over since the last one written.
    bool Allow(uint64_t iKey, int64_t iNowMs, unsigned* pnSuppressed);

private:
    struct TEntry
    {
        int64_t iLastMs;
        unsigned nSuppressed;
    };
    bool Pass(TEntry& entry, int64_t iNowMs, unsigned* pnSuppressed) const;

    int64_t m_iPeriodMs;
    size_t m_nMaxKeys;
    std::unordered_map<uint64_t, TEntry> m_map;
    TEntry m_overflow;    // the keys that found the table full
    int64_t m_iPrunedMs;  // when the table was last cleared of old entries
};

// Writes "tftp: N similar lines suppressed" at LM_DEBUG when nSuppressed > 0.
void LogSuppressed(unsigned nSuppressed);
