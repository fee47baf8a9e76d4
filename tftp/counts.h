// The TFTP server's bounds on transfers at once: in all, and from one client
// address. The listener takes a place before it starts a transfer and the
// transfer gives it back when it ends; a request that finds no place is
// refused at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

enum TAdmission
{
    AdmitOk = 0,     // a place was taken
    AdmitBusy,       // the server runs as many transfers as it may
    AdmitClientBusy  // this client runs as many transfers as it may
};

// Safe to use from several threads.
class TTransferCounts
{
public:
    TTransferCounts(int nMaxTotal, int nMaxPerClient);

    // Takes a place for a transfer to iClient (an IPv4 address) when there is one.
    TAdmission Take(uint32_t iClient);
    // Gives back a place that Take gave to iClient.
    void Release(uint32_t iClient);

    int Total() const;
    int OfClient(uint32_t iClient) const;

private:
    const int m_nMaxTotal, m_nMaxPerClient;
    mutable std::mutex m_mutex;
    int m_nTotal = 0;
    // Only clients with a transfer running: never more entries than m_nMaxTotal.
    std::unordered_map<uint32_t, int> m_mapClients;
};
