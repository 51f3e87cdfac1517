// The daemon's event log: (1) the bare system-call cycle every entry needs (lock file, lock,
// size check, append, closes), (2) the file writer that wraps it, (3) producers queueing into
// the multi-threaded log until the last entry is in the file (against (1)) with the producers'
// median cost per call, and (4) the memory a burst of queued entries takes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CVsysEventLogFileWriter.h"
#include "CVsysEventLogMultiThreaded.h"

namespace {

using bench::BenchLog;
using bench::Clock;
using bench::ScratchDir;
using bench::secondsSince;

constexpr int kEntries = 200000;
constexpr int kBurstEntries = 1000000;
const char* const kModule = "File System Interface";
const char* const kMessage = "COMPLETED RCPT(%d), MSG(Server room temperature above threshold)\n";

// The daemon's default section, so archiving runs as often as in production.
std::unique_ptr<CVsysEventLogFileWriter> makeFileWriter(const ScratchDir& dir) {
    auto writer = std::make_unique<CVsysEventLogFileWriter>();
    writer->setParameter("filePath", dir.file("log.txt"));
    writer->setParameter("bytesPerFiles", "204800");
    writer->setParameter("numFiles", "20");
    writer->setParameter("perProcessFile", "0");
    return writer;
}

const off_t kNeverFull = 2000000000;

bool entryCycle(const std::string& lockPath, const std::string& logPath, const std::string& line) {
    int fd = open(lockPath.c_str(), O_RDWR | O_SYNC | O_CLOEXEC | O_CREAT, 0644);
    if (fd < 0) {
        return false;
    }
    struct flock request;
    std::memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    bool written = false;
    if (fcntl(fd, F_OFD_SETLK, &request) == 0) {
        struct stat info;
        bool full = stat(logPath.c_str(), &info) == 0 && info.st_size >= kNeverFull;
        benchmark::DoNotOptimize(full);
        if (FILE* log = fopen(logPath.c_str(), "a+e")) {
            written = fwrite(line.data(), 1, line.size(), log) == line.size();
            written = fclose(log) == 0 && written;
        }
    }
    close(fd);
    return written;
}

void BM_RawEntryCycle(benchmark::State& state) {
    ScratchDir dir;
    const std::string logPath = dir.file("raw.txt");
    const std::string lockPath = logPath + ".lock";
    const std::string line = std::string(99, 'x') + "\n";
    for (auto _ : state) {
        if (!entryCycle(lockPath, logPath, line)) {
            state.SkipWithError("entry cycle failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawEntryCycle);

void BM_FileWriterWrite(benchmark::State& state) {
    ScratchDir dir;
    CVsysEventLogFileWriter writer;
    writer.setParameter("filePath", dir.file("writer.txt"));
    writer.setParameter("bytesPerFiles", "2000000000");  // no archiving inside the run
    writer.setParameter("numFiles", "20");
    writer.setParameter("perProcessFile", "0");
    const std::string message(100, 'x');
    for (auto _ : state) {
        if (!writer.write("File System Interface", 3, message, -1, nullptr, 0)) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileWriterWrite);

// Entries per second of the bare cycle over as many entries as the log run, measured once.
double rawCycleRate() {
    static const double rate = [] {
        ScratchDir dir;
        const std::string logPath = dir.file("raw.txt");
        const std::string lockPath = logPath + ".lock";
        const std::string line = std::string(99, 'x') + "\n";
        auto start = Clock::now();
        for (int i = 0; i < kEntries; ++i) {
            entryCycle(lockPath, logPath, line);
        }
        return kEntries / secondsSince(start);
    }();
    return rate;
}

// Producers share kEntries; each call is timed on its own. Ends when Stop has drained the
// queue, that is when the last entry is in the file.
void BM_MultiThreadedLogToFile(benchmark::State& state) {
    const int producers = static_cast<int>(state.range(0));
    const double raw = rawCycleRate();
    std::vector<std::vector<float>> callNs(producers);
    double seconds = 0;
    for (auto _ : state) {
        ScratchDir dir;
        BenchLog log(kModule, makeFileWriter(dir));
        if (!log.Start()) {
            state.SkipWithError("log did not start");
            return;
        }
        auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&log, &calls = callNs[p], producers] {
                calls.resize(kEntries / producers);
                for (size_t i = 0; i < calls.size(); ++i) {
                    auto before = Clock::now();
                    log.LogInfo(nullptr, kMessage, static_cast<int>(i));
                    calls[i] =
                        std::chrono::duration<float, std::nano>(Clock::now() - before).count();
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        log.Stop();
        double elapsed = secondsSince(start);
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    std::vector<float> all;
    for (auto& calls : callNs) {
        all.insert(all.end(), calls.begin(), calls.end());
    }
    std::nth_element(all.begin(), all.begin() + all.size() / 2, all.end());
    double rate = static_cast<double>(kEntries) * state.iterations() / seconds;
    state.counters["entries_per_s"] = rate;
    state.counters["raw_cycle_per_s"] = raw;
    state.counters["vs_raw"] = rate / raw;
    state.counters["producer_median_us"] = all[all.size() / 2] / 1000.0;
}
BENCHMARK(BM_MultiThreadedLogToFile)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

class GatedWriter : public CVsysEventLogWriterInterface {
public:
    explicit GatedWriter(std::atomic<bool>& open) : m_open(open) {}
    bool setParameter(const std::string&, const std::string&) override { return true; }
    bool write(const std::string&, int32_t, const std::string&, int32_t, const char*,
               time_t) override {
        while (!m_open) {
            std::this_thread::yield();
        }
        return true;
    }
    bool isReady() override { return true; }

private:
    std::atomic<bool>& m_open;
};

long peakResidentKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// In a child process, so the peak is not one an earlier benchmark left behind.
long burstPeakDeltaKb() {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::atomic<bool> open{false};
        long delta = -1;
        {
            BenchLog log(kModule, std::make_unique<GatedWriter>(open));
            if (log.Start()) {
                long before = peakResidentKb();
                for (int i = 0; i < kBurstEntries; ++i) {
                    log.LogInfo(nullptr, kMessage, i);
                }
                delta = peakResidentKb() - before;
                open = true;
                log.Stop();
            }
        }
        ssize_t ignored = ::write(fds[1], &delta, sizeof(delta));
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    long delta = -1;
    if (child < 0 || read(fds[0], &delta, sizeof(delta)) != sizeof(delta)) {
        delta = -1;
    }
    close(fds[0]);
    if (child > 0) {
        waitpid(child, nullptr, 0);
    }
    return delta;
}

// The worker is held back, so every entry of the burst sits in the queue at once.
void BM_QueuedBurstPeakMemory(benchmark::State& state) {
    long deltaKb = -1;
    for (auto _ : state) {
        deltaKb = burstPeakDeltaKb();
    }
    if (deltaKb < 0) {
        state.SkipWithError("burst child failed");
        return;
    }
    state.counters["peak_rss_delta_MB"] = deltaKb / 1024.0;
    state.counters["bytes_per_entry"] = deltaKb * 1024.0 / kBurstEntries;
}
BENCHMARK(BM_QueuedBurstPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
