// The counters of GET /metrics: boot events and transfers as the records see them, the console
// query histogram, the gauges, in Prometheus' text format.
#include "core/metrics.h"
#include "core/records.h"

#include <gtest/gtest.h>

namespace
{
TBootRecord Event(const char* szEvent, const char* szResult = "", int64_t iBytes = -1)
{
    TBootRecord r;
    r.strEvent = szEvent;
    r.strResult = szResult;
    r.iBytes = iBytes;
    return r;
}

TEST(Metrics, CountsEventsTransfersQueriesAndGauges)
{
    ResetMetrics();
    SetBuildVersion("9.8");
    for (const TBootRecord& r :
         {Event("offer"), Event("offer"), Event("dropped"), Event("tftp", "complete", 1000),
          Event("tftp", "complete", 24), Event("tftp", "not-found"), Event("http", "complete", 7)})
        CountEvent(r);
    CountConsoleQuery(3);     // in every bucket
    CountConsoleQuery(700);   // from 1 s on
    CountConsoleQuery(9000);  // only in +Inf
    int64_t iInUse = 5;
    RegisterGauge("pxeservice_x_in_use", "Xs.", [&] { return iInUse; });
    iInUse = 6;  // read when the text is made
    const std::string strText = MetricsText();
    for (const char* szLine :
         {"pxeservice_build_info{version=\"9.8\"} 1\n",
          "pxeservice_boot_requests_total{outcome=\"offer\"} 2\n",
          "pxeservice_boot_requests_total{outcome=\"ack\"} 0\n",
          "pxeservice_boot_requests_total{outcome=\"dropped\"} 1\n",
          "pxeservice_transfers_total{protocol=\"tftp\",result=\"complete\"} 2\n",
          "pxeservice_transfers_total{protocol=\"tftp\",result=\"not-found\"} 1\n",
          "pxeservice_transfers_total{protocol=\"http\",result=\"complete\"} 1\n",
          "pxeservice_transfer_bytes_total{protocol=\"tftp\"} 1024\n",
          "pxeservice_console_query_seconds_bucket{le=\"0.005\"} 1\n",
          "pxeservice_console_query_seconds_bucket{le=\"1\"} 2\n",
          "pxeservice_console_query_seconds_bucket{le=\"+Inf\"} 3\n",
          "pxeservice_console_query_seconds_sum 9.703\n",
          "pxeservice_console_query_seconds_count 3\n",
          "# TYPE pxeservice_x_in_use gauge\npxeservice_x_in_use 6\n"})
        EXPECT_NE(strText.find(szLine), std::string::npos) << szLine << strText;
    UnregisterGauge("pxeservice_x_in_use");
    EXPECT_EQ(MetricsText().find("pxeservice_x_in_use"), std::string::npos);
    ResetMetrics();
}
}  // namespace
