// The metrics endpoint follows System\MetricsAddress: started with the
// server, restarted when a reload changes the address (and retried when it
// could not listen before), stopped at shutdown. A failure is one clear log
// record; FTP goes on either way.
#include "app/startup.h"
#include "config/config.h"
#include "config/program_settings.h"
#include "log/log.h"
#include "platform/http_metrics.h"
#include "server/metrics_text.h"

namespace {
std::string serving; // the address the endpoint listens at; "" = none
} // namespace

void ApplyMetricsSettings() {
    std::string wanted = metricsAddress;
    if (wanted == serving && (wanted.empty() || HttpMetricsRunning())) return;
    if (HttpMetricsRunning()) {
        HttpMetricsStop();
        LogPrintf(LOG_INFO, "Metrics: stopped serving at %s", serving.c_str());
    }
    serving.clear();
    if (wanted.empty()) return;
    NetAddress address;
    std::string why = "is not address:port";
    if (ParseMetricsAddress(wanted.c_str(), &address) &&
        HttpMetricsStart(address, MetricsText, &why)) {
        serving = wanted;
        LogPrintf(LOG_INFO, "Metrics: serving http://%s/metrics", wanted.c_str());
        return;
    }
    LogPrintf(LOG_WARNING, "Metrics: cannot listen at MetricsAddress %s: %s; no metrics are served",
              wanted.c_str(), why.c_str());
}

void StopMetrics() {
    if (!HttpMetricsRunning()) return;
    HttpMetricsStop();
    serving.clear();
}
