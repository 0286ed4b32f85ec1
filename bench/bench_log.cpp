// Cost of one LogPrintf call: with logging on (the writer appending to a
// file in a temporary directory) and with logging or its level off.
#include "log/log.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace {
std::filesystem::path BenchStart(int enable) {
    std::random_device random;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bx-bench-log-" + std::to_string(random()));
    std::filesystem::create_directories(dir);
    snprintf(logDir, sizeof logDir, "%s", dir.string().c_str());
    logSize = 0;
    logSync = 0;
    logEnable = enable;
    LogStartup("server ");
    return dir;
}

void BenchStop(const std::filesystem::path& dir) {
    LogShutdown();
    logEnable = 0;
    snprintf(logDir, sizeof logDir, ".");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
} // namespace

// With several threads, thread 0 starts and stops logging; the benchmark's
// barriers at the loop's start and end keep the others inside.
static void BM_LogPrintfOn(benchmark::State& state) {
    static std::filesystem::path dir;
    if (state.thread_index() == 0) dir = BenchStart(1);
    unsigned n = 0;
    for (auto _ : state)
        LogPrintf(LOG_INFO, "ConnRead(%u) Read %d bytes.", n++, 512);
    if (state.thread_index() == 0) BenchStop(dir);
}
BENCHMARK(BM_LogPrintfOn)->Threads(1)->Threads(2)->UseRealTime();

static void BM_LogDataOn(benchmark::State& state) {
    std::filesystem::path dir = BenchStart(1);
    char bytes[256];
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<char>(i);
    for (auto _ : state)
        LogData(LOG_TRACE4, bytes, sizeof bytes);
    BenchStop(dir);
}
BENCHMARK(BM_LogDataOn);

static void BM_LogPrintfOff(benchmark::State& state) {
    std::filesystem::path dir = BenchStart(0);
    unsigned n = 0;
    for (auto _ : state)
        LogPrintf(LOG_INFO, "ConnRead(%u) Read %d bytes.", n++, 512);
    BenchStop(dir);
}
BENCHMARK(BM_LogPrintfOff);

static void BM_LogPrintfLevelOff(benchmark::State& state) {
    std::filesystem::path dir = BenchStart(1);
    logLevelOn[LOG_TRACE4] = 0;
    unsigned n = 0;
    for (auto _ : state)
        LogPrintf(LOG_TRACE4, "SockClose: Closing socket handle %u", n++);
    BenchStop(dir);
}
BENCHMARK(BM_LogPrintfLevelOff);

BENCHMARK_MAIN();
