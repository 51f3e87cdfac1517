// Micro-benchmarks of the platform primitives on the daemon's hot paths: the spool directory
// walk matches every name, the HTTP client appends every response chunk, and every log entry
// crosses an event between threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "CVconEvent.h"
#include "CVioFile.h"
#include "CVtextBuffer.h"

static void BM_MatchPattern(benchmark::State& state) {
    const char* names[] = {"corfi_a1b2c3", "CORFI_x", "lock", "bulk_2026_12.txt.old", "other"};
    for (auto _ : state) {
        for (const char* name : names) {
            benchmark::DoNotOptimize(CVioFile::matchPattern(name, "*corfi*"));
            benchmark::DoNotOptimize(CVioFile::matchPattern(name, "bulk*.txt"));
        }
    }
}
BENCHMARK(BM_MatchPattern);

static void BM_TextBufferAppend(benchmark::State& state) {
    const std::string chunk(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        CVtextBuffer buffer;
        for (int i = 0; i < 64; ++i) {
            textBufferAppend(buffer, chunk.data(), chunk.size());
        }
        benchmark::DoNotOptimize(buffer.data);
    }
    state.SetBytesProcessed(state.iterations() * 64 * state.range(0));
}
BENCHMARK(BM_TextBufferAppend)->Arg(16)->Arg(1024);

// One round trip between two threads through a pair of automatic-reset events.
static void BM_EventPingPong(benchmark::State& state) {
    CVconEvent ping, pong;
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            ping.wait(-1);
            if (stop) {
                break;
            }
            pong.set();
        }
    });
    for (auto _ : state) {
        ping.set();
        pong.wait(-1);
    }
    stop = true;
    ping.set();
    partner.join();
}
BENCHMARK(BM_EventPingPong)->UseRealTime();
