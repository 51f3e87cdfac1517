// The bulk dispatcher against the bare file work it stands for: (1) per line of a bulk file,
// create a small file in a directory, write two lines and rename it (the mean of one run before
// and one after (2)); (2) processFile on the same bulk file, with the status record rewritten
// after every line and an INFO entry per message through the multi-threaded event log (drained
// before the clock stops).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"
#include "CVFIbulk.h"
#include "CVcorfiBulkFileDispatcher.h"
#include "CVcorfiBulkStatus.h"
#include "CVsysEventLogInterface.h"

namespace {

using bench::Clock;
using bench::ScratchDir;
using bench::secondsSince;

constexpr int kLines = 100000;
const char* const kModule = "File System Interface";

void writeBulkFile(const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    for (int i = 0; i < kLines; ++i) {
        std::fprintf(out, "TO=%d MSG=Server room temperature above threshold\n", 1000 + i);
    }
    std::fclose(out);
}

bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// (1): the file-system work one message file needs at the least.
double referenceRate(const std::string& bulkPath, const std::string& spool) {
    FILE* in = std::fopen(bulkPath.c_str(), "r");
    if (in == nullptr) {
        throw std::runtime_error("cannot open " + bulkPath);
    }
    char line[1024];
    int count = 0;
    const auto start = Clock::now();
    while (std::fgets(line, sizeof line, in) != nullptr) {
        const std::string temporary = spool + "/.new-" + std::to_string(count);
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || !writeAll(fd, "NAME:\t" + std::to_string(count) + "\n") ||
            !writeAll(fd, std::string("MESSAGE:\t") + line) || close(fd) != 0 ||
            std::rename(temporary.c_str(), (spool + "/corfi" + std::to_string(count)).c_str()) !=
                0) {
            throw std::runtime_error("reference write failed in " + spool);
        }
        ++count;
    }
    const double seconds = secondsSince(start);
    std::fclose(in);
    return count / seconds;
}

// (2): processFile over the same lines.
double dispatcherRate(const ScratchDir& dir, const std::string& bulkPath) {
    CVsysEventLogInterface* log =
        CVsysEventLogInterface::CreateInstance(kModule, CVsysEventLogInterface::MULTI_THREADED,
                                               dir.directory("config"), dir.directory("logs"));
    if (log == nullptr || !log->Start() || !log->setLevel(CVsysEventLogInterface::INFO)) {
        throw std::runtime_error("the event log did not start");
    }
    CVcorfiBulkSettings settings;
    settings.recipientPattern = "TO=(\\d+)";
    settings.messagePattern = "MSG=(.*)$";
    settings.spoolDirectory = dir.directory("spool");
    CVcorfiBulkFileDispatcher dispatcher("corfidir", log, dir.directory("temp"));
    dispatcher.setArgument(&settings);
    CVcorfiBulkStatus status(dir.file("temp"));
    const std::string work = bulkPath + "_1_M";
    std::rename(bulkPath.c_str(), work.c_str());
    status.setFileName(work);
    status.setLineCount(0);

    const auto start = Clock::now();
    dispatcher.processFile(work, status);
    log->Stop();
    const double seconds = secondsSince(start);
    CVsysEventLogInterface::DestroyAll();

    const auto made = std::distance(std::filesystem::directory_iterator(dir.file("spool")),
                                    std::filesystem::directory_iterator());
    if (made < kLines) {
        throw std::runtime_error("only " + std::to_string(made) + " message files were written");
    }
    return kLines / seconds;
}

void BM_BulkFileAgainstBareFileWork(benchmark::State& state) {
    double reference = 0;
    double dispatcher = 0;
    for (auto _ : state) {
        try {
            ScratchDir dir;
            writeBulkFile(dir.file("list.txt"));
            // The reference runs before and after, so that neither side alone meets the disk
            // state the other one left.
            const double before = referenceRate(dir.file("list.txt"), dir.directory("before"));
            dispatcher = dispatcherRate(dir, dir.file("list.txt"));
            const double after = referenceRate(dir.file("list.txt_1_R"), dir.directory("after"));
            reference = (before + after) / 2;
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    state.counters["reference_lines_per_s"] = reference;
    state.counters["dispatcher_lines_per_s"] = dispatcher;
    state.counters["ratio"] = dispatcher / reference;
    std::printf("bulk: reference %.0f lines/s, dispatcher %.0f lines/s, ratio %.2f (target 0.40)\n",
                reference, dispatcher, dispatcher / reference);
}
BENCHMARK(BM_BulkFileAgainstBareFileWork)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
