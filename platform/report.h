// How platform/ reports a failure it handles itself (a socket it cannot
// watch, a store it narrows, a descriptor limit it cannot raise). platform/
// is the bottom layer and includes nothing above it; the log installs its
// record writer here when it starts (LogStartup), so these reports become
// ordinary log records. Until then, and in a program that never starts the
// log (the tools), a report goes nowhere, as a log record would.
#pragma once

#include <cstdarg>

// The levels a report may have; the same numbers as the log's LOG_WARNING
// and LOG_INFO.
enum ReportLevel { REPORT_WARNING = 1, REPORT_INFO = 2 };

using ReportSink = void (*)(int level, const char* format, va_list args);

// Installs the writer of reports; nullptr drops them. Any thread.
void SetReportSink(ReportSink sink);

void Report(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
