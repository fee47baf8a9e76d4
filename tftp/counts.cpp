// Transfers at once, in all and per client.
#include "tftp/counts.h"

TTransferCounts::TTransferCounts(int nMaxTotal, int nMaxPerClient)
    : m_nMaxTotal(nMaxTotal), m_nMaxPerClient(nMaxPerClient)
{
}

TAdmission TTransferCounts::Take(uint32_t iClient)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nTotal >= m_nMaxTotal)
        return AdmitBusy;
    auto it = m_mapClients.find(iClient);
    if (it != m_mapClients.end() && it->second >= m_nMaxPerClient)
        return AdmitClientBusy;
    if (it == m_mapClients.end())
        m_mapClients.emplace(iClient, 1);
    else
        ++it->second;
    ++m_nTotal;
    return AdmitOk;
}

void TTransferCounts::Release(uint32_t iClient)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapClients.find(iClient);
    if (it == m_mapClients.end())
        return;  // not taken: nothing to give back
    if (--it->second == 0)
        m_mapClients.erase(it);
    --m_nTotal;
}

int TTransferCounts::Total() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nTotal;
}

int TTransferCounts::OfClient(uint32_t iClient) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mapClients.find(iClient);
    return it == m_mapClients.end() ? 0 : it->second;
}
