// The one hook through which platform/ reports (see report.h).
#include "platform/report.h"

#include <atomic>

namespace {
std::atomic<ReportSink> reportSink{nullptr};
} // namespace

void SetReportSink(ReportSink sink) {
    reportSink.store(sink);
}

void Report(int level, const char* format, ...) {
    ReportSink sink = reportSink.load();
    if (!sink) return;
    va_list args;
    va_start(args, format);
    sink(level, format, args);
    va_end(args);
}
