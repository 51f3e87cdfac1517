// Fast pickup and parallel delivery, against the stand-in server on loopback:
// (1) pickup latency: rest 60 with spool_watch, 1,000 files renamed into the spool one every
//     20 ms, timed from each rename to the stand-in's receipt: p50, p99 and max (targets: p50 at
//     most 20 ms, p99 at most 100 ms);
// (2) idle cost: rest 0 over an empty spool for 10 s: the daemon's CPU seconds (target 0.1);
// (3) parallel delivery: a stand-in answering after 20 ms, 2,000 files, with max_parallel 1, 4,
//     16 and 64: messages/s, and the rates against the one at 1 (targets: 16 at least 12 times,
//     64 at least 40 times).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "BenchSupport.h"
#include "DaemonRunner.h"

namespace {

using namespace bench;

constexpr int kPickupFiles = 1000;
constexpr auto kPickupGap = std::chrono::milliseconds(20);
constexpr int kIdleSeconds = 10;
constexpr int kParallelFiles = 2000;
const auto kStall = std::chrono::seconds(60);

fs::path workspace;

long long wallMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The receipt time (ms since 1970) of every recorded request whose text is "p<i>", by i.
std::map<int, long long> receipts(const fs::path& record) {
    std::map<int, long long> times;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);) {
        struct tm parts {};
        int millis = 0;
        const size_t text = line.find("&message=p");
        if (text == std::string::npos ||
            std::sscanf(line.c_str(), "{\"time\":\"%d-%d-%dT%d:%d:%d.%dZ\"", &parts.tm_year,
                        &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec,
                        &millis) != 7) {
            continue;
        }
        parts.tm_year -= 1900;
        parts.tm_mon -= 1;
        times[std::atoi(line.c_str() + text + 10)] =
            static_cast<long long>(timegm(&parts)) * 1000 + millis;
    }
    return times;
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// A started daemon in `installation`; 0 (and the error in `state`) when it did not start.
pid_t startAndWait(benchmark::State& state, const Installation& installation) {
    const std::string error = startCorfi(installation);
    pid_t pid = 0;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (error.empty() && (pid = daemonPid(installation.monitor)) == 0 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid == 0) {
        state.SkipWithError(error.empty() ? "corfi wrote no monitor file" : error.c_str());
    }
    return pid;
}

void BM_PickupLatency(benchmark::State& state) {
    const fs::path record = workspace / "pickup.jsonl";
    Stub server;
    if (!server.start({"--record", record.string()})) {
        state.SkipWithError("cannot start the stand-in");
        return;
    }
    for (auto _ : state) {
        Installation installation(workspace / "pickup", server.url(), 0, false,
                                  "rest: 60\nspool_watch: TRUE\n");
        const pid_t pid = startAndWait(state, installation);
        if (pid == 0) {
            break;
        }
        std::map<int, long long> renamed;
        const fs::path part = workspace / "part";
        auto next = Clock::now();
        for (int i = 0; i < kPickupFiles; ++i) {
            std::this_thread::sleep_until(next);
            next += kPickupGap;
            writeFile(part, "RECEIVER: R\nMESSAGE: p" + std::to_string(i) + "\n");
            renamed[i] = wallMillis();
            fs::rename(part, installation.spool / ("corfi_" + std::to_string(i)));
        }
        std::map<int, long long> received;
        const auto until = Clock::now() + kStall;
        while ((received = receipts(record)).size() < kPickupFiles && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stopDaemon(pid, installation);
        if (received.size() < kPickupFiles) {
            state.SkipWithError("not every file reached the stand-in");
            break;
        }
        std::vector<double> latencies;
        for (const auto& [i, at] : received) {
            latencies.push_back(static_cast<double>(at - renamed[i]));
        }
        state.SetIterationTime(static_cast<double>(kPickupFiles) * 0.02);
        state.counters["p50_ms"] = percentile(latencies, 0.50);
        state.counters["p99_ms"] = percentile(latencies, 0.99);
        state.counters["max_ms"] = percentile(latencies, 1.0);
    }
}

void BM_IdleCost(benchmark::State& state) {
    for (auto _ : state) {
        Installation installation(workspace / "idle", "http://127.0.0.1:9/", 0, false, "rest: 0\n");
        const pid_t pid = startAndWait(state, installation);
        if (pid == 0) {
            break;
        }
        const double before = cpuSeconds(pid);
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        const double used = cpuSeconds(pid) - before;
        stopDaemon(pid, installation);
        state.SetIterationTime(kIdleSeconds);
        state.counters["cpu_s"] = used;
    }
}

void BM_ParallelDelivery(benchmark::State& state) {
    Stub server;
    if (!server.start({"--delay-ms", "20"})) {
        state.SkipWithError("cannot start the stand-in");
        return;
    }
    const std::string extra = "max_parallel: " + std::to_string(state.range(0)) + "\n";
    for (auto _ : state) {
        Installation installation(workspace / "parallel", server.url(), kParallelFiles, false,
                                  extra);
        LogTail tail(installation.log);
        const auto start = Clock::now();
        const pid_t pid = startAndWait(state, installation);
        auto progress = Clock::now();
        while (pid != 0 && tail.completed < kParallelFiles && Clock::now() - progress < kStall) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const int before = tail.completed;
            tail.poll();
            progress = tail.completed != before ? Clock::now() : progress;
        }
        state.SetIterationTime(secondsSince(start));
        stopDaemon(pid, installation);
        if (pid != 0 && tail.completed < kParallelFiles) {
            state.SkipWithError("corfi stopped delivering");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kParallelFiles);
}

BENCHMARK(BM_PickupLatency)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("max", maximum);
BENCHMARK(BM_IdleCost)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParallelDelivery)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void printSummary(ResultReporter& reporter) {
    const double p50 = reporter.value("BM_PickupLatency", "p50_ms", "median");
    const double p99 = reporter.value("BM_PickupLatency", "p99_ms", "median");
    const double max = reporter.value("BM_PickupLatency", "max_ms", "max");
    if (max > 0) {
        std::printf("pickup latency: p50 %.1f ms (%s 20), p99 %.1f ms (%s 100), max %.1f ms\n", p50,
                    p50 <= 20 ? "meets" : "MISSES", p99, p99 <= 100 ? "meets" : "MISSES", max);
    }
    if (reporter.ran("BM_IdleCost")) {
        const double idle = reporter.value("BM_IdleCost", "cpu_s", "median");
        std::printf("idle cost, rest 0, %d s: %.3f CPU s (%s 0.1)\n", kIdleSeconds, idle,
                    idle <= 0.1 ? "meets" : "MISSES");
    }
    const double one = reporter.value("BM_ParallelDelivery/1", "items_per_second", "median");
    for (const int n : {4, 16, 64}) {
        if (!reporter.ran("BM_ParallelDelivery/" + std::to_string(n))) {
            continue;
        }
        const double rate = reporter.value("BM_ParallelDelivery/" + std::to_string(n),
                                           "items_per_second", "median");
        const double times = one > 0 ? rate / one : 0;
        std::printf("max_parallel %d: %.0f messages/s = %.1f x the rate at 1 (%.0f)", n, rate,
                    times, one);
        const int target = n == 16 ? 12 : n == 64 ? 40 : 0;
        if (target != 0) {
            std::printf(" (%s %dx)", times >= target ? "meets" : "MISSES", target);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const ScratchDir scratch;
    workspace = scratch.directory("run");
    return runBenchmarks(argc, argv, printSummary);
}
