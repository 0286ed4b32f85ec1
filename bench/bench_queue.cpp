// Cost of the byte queue per byte as the amount queued grows: output queues
// filled and drained in 8 KiB pieces, and an input queue filled at once and
// then taken line by line. With amortised storage the bytes per second stay
// flat from 1 MB to 100 MB; a queue that copied its rest on every removal
// would fall off quadratically.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "server/queue.h"

namespace {

constexpr uint32_t PIECE = 8192;

// Append everything, then discard from the front in pieces (a listing
// queued whole and sent as the socket takes it).
void BM_AppendAllThenDiscard(benchmark::State& state) {
    const size_t total = static_cast<size_t>(state.range(0));
    std::vector<char> piece(PIECE, 'x');
    for (auto _ : state) {
        Queue q;
        QueueInit(&q);
        for (size_t done = 0; done < total; done += PIECE)
            AppendQueue(&q, piece.data(), PIECE);
        while (q.block)
            QueueDiscard(&q, PIECE);
        benchmark::DoNotOptimize(q.length);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}

// Append and discard interleaved, with a backlog of half the total
// building up first (a slow reader).
void BM_SlowReader(benchmark::State& state) {
    const size_t total = static_cast<size_t>(state.range(0));
    std::vector<char> piece(PIECE, 'y');
    for (auto _ : state) {
        Queue q;
        QueueInit(&q);
        size_t appended = 0;
        while (appended < total / 2) {
            AppendQueue(&q, piece.data(), PIECE);
            appended += PIECE;
        }
        while (appended < total) {
            AppendQueue(&q, piece.data(), PIECE);
            appended += PIECE;
            QueueDiscard(&q, PIECE);
        }
        QueueFree(&q);
        benchmark::DoNotOptimize(appended);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}

// An input queue: all bytes arrive first (8 KiB receives), then lines of
// 64 bytes are taken one by one and folded away after each, as the
// command reader does.
void BM_InputLineByLine(benchmark::State& state) {
    const size_t total = static_cast<size_t>(state.range(0));
    std::string line(62, 'L');
    line += "\r\n";
    std::string block;
    while (block.size() < PIECE)
        block += line;
    block.resize(PIECE);
    for (auto _ : state) {
        Queue q;
        QueueInit(&q);
        for (size_t done = 0; done < total; done += PIECE)
            AppendQueue(&q, block.data(), PIECE);
        size_t lines = 0;
        while (QueueUnread(&q) > 0) {
            const uint8_t* start = QueueBytes(&q) + q.readPos;
            const void* lf = std::memchr(start, '\n', QueueUnread(&q));
            q.readPos += lf ? static_cast<uint32_t>(static_cast<const uint8_t*>(lf) - start) + 1
                            : QueueUnread(&q);
            QueueShrink(&q);
            lines++;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
}

constexpr int64_t MB = 1 << 20;
BENCHMARK(BM_AppendAllThenDiscard)
    ->Arg(1 * MB)
    ->Arg(10 * MB)
    ->Arg(100 * MB)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SlowReader)->Arg(1 * MB)->Arg(10 * MB)->Arg(100 * MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InputLineByLine)
    ->Arg(1 * MB)
    ->Arg(10 * MB)
    ->Arg(100 * MB)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // The queue's trace records would measure the log, not the queue.
    logEnable = 0;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
