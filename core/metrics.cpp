// The service's counters.
#include "core/metrics.h"

#include "core/records.h"

#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace
{
// Upper bounds of the console query histogram, in seconds.
const double kBuckets[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};
constexpr size_t kBucketCount = sizeof kBuckets / sizeof kBuckets[0];

struct TGauge
{
    std::string strHelp;
    std::function<int64_t()> fnRead;
};

struct TMetrics
{
    std::mutex mtx;
    std::map<std::string, uint64_t> mapBootEvents;                         // by event
    std::map<std::pair<std::string, std::string>, uint64_t> mapTransfers;  // protocol, result
    std::map<std::string, uint64_t> mapBytes;                              // by protocol
    uint64_t aConsoleBuckets[kBucketCount] = {};
    uint64_t nConsoleQueries = 0;
    double dConsoleSeconds = 0;
    std::map<std::string, TGauge> mapGauges;
    std::string strVersion;
};

// Never destroyed: detached request workers may still count while the process ends.
TMetrics& Metrics()
{
    static TMetrics& metrics = *new TMetrics;
    return metrics;
}
}  // namespace

void CountEvent(const TBootRecord& record)
{
    TMetrics& m = Metrics();
    std::lock_guard<std::mutex> lock(m.mtx);
    if (record.strEvent == "tftp" || record.strEvent == "http")
    {
        ++m.mapTransfers[{record.strEvent, record.strResult}];
        if (record.iBytes > 0)
            m.mapBytes[record.strEvent] += static_cast<uint64_t>(record.iBytes);
    }
    else
        ++m.mapBootEvents[record.strEvent];
}

void CountConsoleQuery(int64_t iMs)
{
    TMetrics& m = Metrics();
    const double dSeconds = static_cast<double>(iMs) / 1000;
    std::lock_guard<std::mutex> lock(m.mtx);
    ++m.nConsoleQueries;
    m.dConsoleSeconds += dSeconds;
    for (size_t i = 0; i < kBucketCount; ++i)
        if (dSeconds <= kBuckets[i])
            ++m.aConsoleBuckets[i];
}

void RegisterGauge(const std::string& strName, const std::string& strHelp,
                   std::function<int64_t()> fnRead)
{
    TMetrics& m = Metrics();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.mapGauges[strName] = {strHelp, std::move(fnRead)};
}

void UnregisterGauge(const std::string& strName)
{
    TMetrics& m = Metrics();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.mapGauges.erase(strName);
}

void SetBuildVersion(const std::string& strVersion)
{
    TMetrics& m = Metrics();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.strVersion = strVersion;
}

std::string MetricsText()
{
    TMetrics& m = Metrics();
    std::lock_guard<std::mutex> lock(m.mtx);
    std::ostringstream out;
    out << "# HELP pxeservice_build_info The version of the running program.\n"
           "# TYPE pxeservice_build_info gauge\n"
           "pxeservice_build_info{version=\""
        << m.strVersion << "\"} 1\n";
    out << "# HELP pxeservice_boot_requests_total PXE requests on ports 67 and 4011 by outcome.\n"
           "# TYPE pxeservice_boot_requests_total counter\n";
    for (const char* szEvent : {"offer", "ack", "refused", "dropped"})
    {
        auto it = m.mapBootEvents.find(szEvent);
        out << "pxeservice_boot_requests_total{outcome=\"" << szEvent << "\"} "
            << (it == m.mapBootEvents.end() ? 0 : it->second) << "\n";
    }
    out << "# HELP pxeservice_transfers_total Transfers and refused requests by protocol and "
           "result.\n"
           "# TYPE pxeservice_transfers_total counter\n";
    for (const auto& [key, nCount] : m.mapTransfers)
        out << "pxeservice_transfers_total{protocol=\"" << key.first << "\",result=\""
            << key.second << "\"} " << nCount << "\n";
    out << "# HELP pxeservice_transfer_bytes_total Bytes the clients received, by protocol.\n"
           "# TYPE pxeservice_transfer_bytes_total counter\n";
    for (const char* szProtocol : {"tftp", "http"})
    {
        auto it = m.mapBytes.find(szProtocol);
        out << "pxeservice_transfer_bytes_total{protocol=\"" << szProtocol << "\"} "
            << (it == m.mapBytes.end() ? 0 : it->second) << "\n";
    }
    out << "# HELP pxeservice_console_query_seconds How long each console query took.\n"
           "# TYPE pxeservice_console_query_seconds histogram\n";
    for (size_t i = 0; i < kBucketCount; ++i)
        out << "pxeservice_console_query_seconds_bucket{le=\"" << kBuckets[i] << "\"} "
            << m.aConsoleBuckets[i] << "\n";
    out << "pxeservice_console_query_seconds_bucket{le=\"+Inf\"} " << m.nConsoleQueries << "\n"
        << "pxeservice_console_query_seconds_sum " << m.dConsoleSeconds << "\n"
        << "pxeservice_console_query_seconds_count " << m.nConsoleQueries << "\n";
    for (const auto& [strName, gauge] : m.mapGauges)
        out << "# HELP " << strName << " " << gauge.strHelp << "\n# TYPE " << strName
            << " gauge\n"
            << strName << " " << gauge.fnRead() << "\n";
    return out.str();
}

void ResetMetrics()
{
    TMetrics& m = Metrics();
    std::lock_guard<std::mutex> lock(m.mtx);
    m.mapBootEvents.clear();
    m.mapTransfers.clear();
    m.mapBytes.clear();
    for (uint64_t& n : m.aConsoleBuckets)
        n = 0;
    m.nConsoleQueries = 0;
    m.dConsoleSeconds = 0;
    m.mapGauges.clear();
}
