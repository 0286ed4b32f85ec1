#include "server/metrics_text.h"

#include <cstdio>

#include "config/config.h"
#include "server/counters.h"
#include "server/limits_stats.h"
#include "version.h"

namespace {

const char* const kDirection[2] = {"download", "upload"};
const char* const kLimit[REFUSED_LIMIT_COUNT] = {"max_conn", "max_conn_per_address",
                                                 "account_max_conn", "login_guard", "restrict"};

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += " ";
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += " ";
    out += type;
    out += "\n";
}

// One sample; labels "" or 'a="x",b="y"'.
void Sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += " " + std::to_string(value) + "\n";
}

// A label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Direction(int d) {
    return std::string("direction=\"") + kDirection[d] + "\"";
}

} // namespace

std::string MetricsText() {
    const EngineCounters& c = engineCounters;
    std::string out;
    Family(out, "brindlex_build_info", "gauge", "The server's version.");
    Sample(out, "brindlex_build_info", "version=\"" BRINDLEX_VERSION "\"", 1);
    Family(out, "brindlex_sessions", "gauge", "Control connections open now.");
    int64_t now = c.sessionsNow.load(std::memory_order_relaxed);
    Sample(out, "brindlex_sessions", "", now < 0 ? 0 : (uint64_t)now);
    Family(out, "brindlex_sessions_total", "counter", "Control connections accepted.");
    Sample(out, "brindlex_sessions_total", "", CountRead(c.sessionsTotal));
    Family(out, "brindlex_logins_total", "counter", "Logins accepted and refused.");
    Sample(out, "brindlex_logins_total", "result=\"accepted\"", CountRead(c.loginsAccepted));
    Sample(out, "brindlex_logins_total", "result=\"refused\"", CountRead(c.loginsRefused));
    Family(out, "brindlex_transfers_total", "counter",
           "File transfers that ended: complete (226), failed (426) or aborted.");
    for (int d = 0; d < 2; d++) {
        Sample(out, "brindlex_transfers_total", Direction(d) + ",result=\"complete\"",
               CountRead(c.transfers[d]));
        Sample(out, "brindlex_transfers_total", Direction(d) + ",result=\"failed\"",
               CountRead(c.failed[d]));
        Sample(out, "brindlex_transfers_total", Direction(d) + ",result=\"aborted\"",
               CountRead(c.aborted[d]));
    }
    Family(out, "brindlex_transfer_bytes_total", "counter",
           "Bytes of file transfers that ended, complete or not.");
    for (int d = 0; d < 2; d++)
        Sample(out, "brindlex_transfer_bytes_total", Direction(d), CountRead(c.bytes[d]));
    Family(out, "brindlex_connections_refused_total", "counter",
           "Connections, logins and data connections refused, by the limit that refused them.");
    for (int l = 0; l < REFUSED_LIMIT_COUNT; l++)
        Sample(out, "brindlex_connections_refused_total",
               std::string("limit=\"") + kLimit[l] + "\"", CountRead(c.refused[l]));
    Family(out, "brindlex_throttled_seconds_total", "counter",
           "Seconds transfers waited for their speed limit, summed over transfers.");
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f",
             (double)limitsThrottledMs.load(std::memory_order_relaxed) / 1000.0);
    out += std::string("brindlex_throttled_seconds_total ") + seconds + "\n";
    Family(out, "brindlex_quota_refusals_total", "counter",
           "Uploads refused or ended with 552 because they would cross a quota.");
    Sample(out, "brindlex_quota_refusals_total", "", CountRead(limitsQuotaRefusals));
    Family(out, "brindlex_upload_hook_runs_total", "counter", "Upload hook runs that ended.");
    Sample(out, "brindlex_upload_hook_runs_total", "", CountRead(c.hookRuns));
    Family(out, "brindlex_upload_hook_failures_total", "counter",
           "Upload hook runs that could not start, exited non-zero, crashed or were killed.");
    Sample(out, "brindlex_upload_hook_failures_total", "", CountRead(c.hookFailures));
    Family(out, "brindlex_upload_hook_dropped_total", "counter",
           "Uploads whose hook was dropped with the queue full.");
    Sample(out, "brindlex_upload_hook_dropped_total", "", CountRead(c.hookDropped));

    if (!SettingLoad(systemSettings.metricsPerAccount)) return out;
    std::vector<AccountTotals> accounts = AccountTotalsRead();
    Family(out, "brindlex_account_logins_total", "counter", "Logins accepted, per account.");
    for (const AccountTotals& a : accounts)
        Sample(out, "brindlex_account_logins_total", "account=\"" + LabelValue(a.name) + "\"",
               a.logins);
    Family(out, "brindlex_account_transfer_bytes_total", "counter",
           "Bytes of file transfers, per account.");
    for (const AccountTotals& a : accounts)
        for (int d = 0; d < 2; d++)
            Sample(out, "brindlex_account_transfer_bytes_total",
                   "account=\"" + LabelValue(a.name) + "\"," + Direction(d), a.bytes[d]);
    return out;
}
