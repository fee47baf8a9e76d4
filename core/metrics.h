// The service's counters, as GET /metrics gives them (Prometheus text format).
//
// Every boot event that goes through the records is counted here too, whether
// or not a records file is set: PXE requests by outcome (offer, ack, refused,
// dropped) and TFTP and HTTP transfers by result, with their bytes. Console
// queries are counted with a histogram of how long they took. Gauges (what is
// in use now) are read when the text is made, from functions the subsystems
// register. Every label value comes from the service's own fixed words, never
// from a client, so the number of series is bounded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct TBootRecord;

// Counts one boot event (an offer, ack, refused or dropped request, or the
// end of a TFTP or HTTP transfer).
void CountEvent(const TBootRecord& record);
// Counts one console query that took iMs milliseconds.
void CountConsoleQuery(int64_t iMs);
// A gauge read when the text is made, e.g. the TFTP transfers running.
void RegisterGauge(const std::string& strName, const std::string& strHelp,
                   std::function<int64_t()> fnRead);
// Takes the gauge of that name away (its subsystem has ended).
void UnregisterGauge(const std::string& strName);
// The version named by pxeservice_build_info.
void SetBuildVersion(const std::string& strVersion);
// Everything counted so far, as the text of GET /metrics.
std::string MetricsText();
// Forgets every count and gauge (tests).
void ResetMetrics();
