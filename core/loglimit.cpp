// Bounds the log lines a client can cause.
#include "core/loglimit.h"

#include "core/logfile.h"

#include <ace/Log_Msg.h>

#include <cstdint>
#include <iterator>

namespace
{
constexpr int64_t kNever = INT64_MIN / 2;  // before any time a clock gives
}  // namespace

TLogLimiter::TLogLimiter(int64_t iPeriodMs, size_t nMaxKeys)
    : m_iPeriodMs(iPeriodMs), m_nMaxKeys(nMaxKeys), m_overflow{kNever, 0}, m_iPrunedMs(kNever)
{
}

bool TLogLimiter::Pass(TEntry& entry, int64_t iNowMs, unsigned* pnSuppressed) const
{
    if (entry.iLastMs != kNever && iNowMs - entry.iLastMs < m_iPeriodMs)
    {
        if (entry.nSuppressed != ~0u)
            ++entry.nSuppressed;
        return false;
    }
    *pnSuppressed = entry.nSuppressed;
    entry = {iNowMs, 0};
    return true;
}

bool TLogLimiter::Allow(uint64_t iKey, int64_t iNowMs, unsigned* pnSuppressed)
{
    auto it = m_map.find(iKey);
    if (it != m_map.end())
        return Pass(it->second, iNowMs, pnSuppressed);
    // A full table is cleared of the entries whose period has passed, at most
    // once a period, so that a flood of new keys does not scan it every time.
    if (m_map.size() >= m_nMaxKeys && iNowMs - m_iPrunedMs >= m_iPeriodMs)
    {
        m_iPrunedMs = iNowMs;
        for (auto i = m_map.begin(); i != m_map.end();)
            i = iNowMs - i->second.iLastMs >= m_iPeriodMs ? m_map.erase(i) : std::next(i);
    }
    if (m_map.size() >= m_nMaxKeys)
        return Pass(m_overflow, iNowMs, pnSuppressed);
    m_map.emplace(iKey, TEntry{iNowMs, 0});
    *pnSuppressed = 0;
    return true;
}

void LogSuppressed(unsigned nSuppressed)
{
    if (nSuppressed > 0)
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "tftp: %u similar lines suppressed at %D\n", nSuppressed));
}
