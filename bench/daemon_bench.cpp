// The daemon end to end against the stand-in server on loopback. Both runs deliver the same N
// prepared message files: (1) a reference loop that opens, reads and removes each file and posts
// its content with a new libcurl handle, the least any spool reader must do; (2) corfi with rest 0
// and its log at info, timed from its start until the last COMPLETED line is in its log. Prints
// the ratio of the median rates (target 0.6 or more) and corfi's resident memory after 1,000 and
// after N messages (target: growth of 2 MB at most). DAEMON_BENCH_MESSAGES overrides N.
// corfi with max_parallel 16, and with retry_period 300, on the same work give two more rates
// against the reference (a retry must cost nothing when nothing fails: within 5 %).
// Then corfi over HTTPS (the test CA as ca-bundle.crt), N / 10 messages but at least 1,000, with
// the TLS sessions shared between messages as always and, through CORFI_BENCH_NO_TLS_REUSE,
// without; it prints the ratio of the two and that of HTTPS with reuse to HTTP.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "DaemonRunner.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)";
const char kReference[] = "BM_ReferenceLoop";
const char kCorfi[] = "BM_CorfiDaemon";
const char kParallel16[] = "BM_CorfiDaemonParallel16";
const char kRetry300[] = "BM_CorfiDaemonRetry300";
const char kHttpsReuse[] = "BM_CorfiDaemonHttpsReuse";
const char kHttpsNoReuse[] = "BM_CorfiDaemonHttpsNoReuse";
const int kEarlyCount = 1000;                  // the first memory sample
const auto kStall = std::chrono::seconds(30);  // longest time without a new outcome line
const auto kPollInterval = std::chrono::milliseconds(2);

int messageCount() {
    const char* text = std::getenv("DAEMON_BENCH_MESSAGES");
    const int count = text != nullptr ? std::atoi(text) : 0;
    return count > kEarlyCount ? count : 20000;
}

const int kMessages = messageCount();
const int kHttpsMessages = std::max(kMessages / 10, kEarlyCount);

using bench::daemonPid;
using bench::Installation;
using bench::LogTail;
using bench::prepareMessages;
using bench::residentMB;
using bench::ResultReporter;
using bench::spawn;
using bench::startCorfi;
using bench::stopDaemon;
using bench::Stub;
using bench::writeFile;

Stub stub;
Stub httpsStub;
fs::path workspace;
volatile sig_atomic_t runningDaemon = 0;

// A benchmark interrupted while corfi runs takes the daemon with it.
extern "C" void onStopSignal(int number) {
    if (runningDaemon > 0) {
        kill(runningDaemon, SIGTERM);
    }
    signal(number, SIG_DFL);
    raise(number);
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One POST on a new handle with the options delivery uses; true on a "200 " answer.
bool post(const std::string& content) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return false;
    }
    char* escaped = curl_easy_escape(curl, content.c_str(), static_cast<int>(content.size()));
    const std::string body = std::string("message=") + (escaped != nullptr ? escaped : "");
    curl_free(escaped);
    std::string headers, answer;
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, stub.url().c_str());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK && answer.compare(0, 4, "200 ") == 0;
}

// Delivers every file in dir; the number delivered.
int referenceLoop(const fs::path& dir) {
    DIR* directory = opendir(dir.c_str());
    if (directory == nullptr) {
        return 0;
    }
    int delivered = 0;
    const int dirFd = dirfd(directory);
    for (dirent* entry = readdir(directory); entry != nullptr; entry = readdir(directory)) {
        if (std::strncmp(entry->d_name, "corfi", 5) != 0) {
            continue;
        }
        const int fd = openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const std::string content = readAll(fd);
        close(fd);
        unlinkat(dirFd, entry->d_name, 0);
        delivered += post(content) ? 1 : 0;
    }
    closedir(directory);
    return delivered;
}

// (1) The reference: what one process must do at least per message file.
void BM_ReferenceLoop(benchmark::State& state) {
    const fs::path dir = workspace / "reference";
    for (auto _ : state) {
        prepareMessages(dir, kMessages);
        const Clock::time_point start = Clock::now();
        const int delivered = referenceLoop(dir);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (delivered != kMessages) {
            state.SkipWithError("the reference loop did not deliver every message");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

// What one corfi run delivers, and how.
struct DaemonRun {
    std::string url;
    int messages;
    bool caBundle;
    bool reuse;              // TLS sessions shared between messages, as always outside benchmarks
    std::string extra = "";  // further resource lines
};

// The daemon on `run`'s work. The clock runs from the start of corfi until the log holds the
// last COMPLETED line.
void runCorfi(benchmark::State& state, const DaemonRun& run) {
    if (!run.reuse) {
        setenv("CORFI_BENCH_NO_TLS_REUSE", "1", 1);
    }
    for (auto _ : state) {
        Installation installation(workspace / "corfi", run.url, run.messages, run.caBundle,
                                  run.extra);
        LogTail tail(installation.log);
        pid_t pid = 0;
        double early = 0;
        const Clock::time_point start = Clock::now();
        std::string error = startCorfi(installation);
        Clock::time_point progress = start;
        while (error.empty() && tail.completed < run.messages) {
            std::this_thread::sleep_for(kPollInterval);
            const int before = tail.completed;
            tail.poll();
            if (pid == 0 && (pid = daemonPid(installation.monitor)) != 0) {
                runningDaemon = pid;
            }
            if (early == 0 && tail.completed >= kEarlyCount && pid != 0) {
                early = residentMB(pid);
            }
            const Clock::time_point now = Clock::now();
            progress = tail.completed != before ? now : progress;
            if (tail.failed != 0) {
                error = "corfi logged a FAILED line";
            } else if (now - progress > kStall) {
                error = "corfi stopped delivering";
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        const double late = pid != 0 ? residentMB(pid) : 0;
        if (!stopDaemon(pid, installation) && error.empty()) {
            error = "corfi did not stop on SIGTERM";
        }
        runningDaemon = 0;
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.counters["rss_1k_MB"] = early;
        state.counters["rss_end_MB"] = late;
        state.counters["rss_growth_MB"] = late - early;
    }
    unsetenv("CORFI_BENCH_NO_TLS_REUSE");
    state.SetItemsProcessed(state.iterations() * run.messages);
}

// (2) The daemon on the reference's work.
void BM_CorfiDaemon(benchmark::State& state) {
    runCorfi(state, {stub.url(), kMessages, false, true});
}

// (2b) The same with sixteen transfers at once.
void BM_CorfiDaemonParallel16(benchmark::State& state) {
    runCorfi(state, {stub.url(), kMessages, false, true, "max_parallel: 16\n"});
}

// (2c) The same with retries on: a retry must cost nothing when nothing fails.
void BM_CorfiDaemonRetry300(benchmark::State& state) {
    runCorfi(state, {stub.url(), kMessages, false, true, "retry_period: 300\n"});
}

// (3) and (4) Over HTTPS, verified, with TLS sessions resumed from one message to the next and
// without.
void BM_CorfiDaemonHttpsReuse(benchmark::State& state) {
    runCorfi(state, {httpsStub.url(), kHttpsMessages, true, true});
}

void BM_CorfiDaemonHttpsNoReuse(benchmark::State& state) {
    runCorfi(state, {httpsStub.url(), kHttpsMessages, true, false});
}

BENCHMARK(BM_ReferenceLoop)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorfiDaemon)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("max", bench::maximum);
BENCHMARK(BM_CorfiDaemonParallel16)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorfiDaemonRetry300)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorfiDaemonHttpsReuse)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorfiDaemonHttpsNoReuse)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void printSummary(ResultReporter& reporter) {
    const double reference = reporter.value(kReference, "items_per_second", "median");
    const double corfi = reporter.value(kCorfi, "items_per_second", "median");
    if (reference > 0 && corfi > 0) {
        const double ratio = corfi / reference;
        std::printf("corfi / reference, %d messages: %.0f / %.0f messages/s = %.3f (%s 0.6)\n",
                    kMessages, corfi, reference, ratio, ratio >= 0.6 ? "meets" : "MISSES");
    }
    const double early = reporter.value(kCorfi, "rss_1k_MB", "median");
    const double late = reporter.value(kCorfi, "rss_end_MB", "median");
    const double growth = reporter.value(kCorfi, "rss_growth_MB", "max");
    if (early > 0) {
        std::printf(
            "corfi resident memory: %.1f MB after %d, %.1f MB after %d messages; largest growth "
            "%.2f MB (%s 2 MB)\n",
            early, kEarlyCount, late, kMessages, growth, growth <= 2.0 ? "within" : "EXCEEDS");
    }
    const double parallel = reporter.value(kParallel16, "items_per_second", "median");
    if (reference > 0 && parallel > 0) {
        std::printf("corfi with max_parallel 16 / reference: %.0f / %.0f messages/s = %.3f\n",
                    parallel, reference, parallel / reference);
    }
    const double retry = reporter.value(kRetry300, "items_per_second", "median");
    if (reference > 0 && corfi > 0 && retry > 0) {
        const double change = (retry / reference) / (corfi / reference) - 1;
        std::printf(
            "corfi with retry_period 300 / reference: %.3f against %.3f with 0: %+.1f %% (%s 5 "
            "%%)\n",
            retry / reference, corfi / reference, change * 100,
            change >= -0.05 ? "within" : "BEYOND");
    }
    const double reuse = reporter.value(kHttpsReuse, "items_per_second", "median");
    const double noReuse = reporter.value(kHttpsNoReuse, "items_per_second", "median");
    if (reuse > 0 && noReuse > 0 && corfi > 0) {
        std::printf(
            "corfi over HTTPS, %d messages: with session reuse / without: %.0f / %.0f "
            "messages/s = %.3f (%s 1.5); with reuse / HTTP: %.3f (%s 0.5)\n",
            kHttpsMessages, reuse, noReuse, reuse / noReuse,
            reuse / noReuse >= 1.5 ? "meets" : "MISSES", reuse / corfi,
            reuse / corfi >= 0.5 ? "meets" : "MISSES");
    }
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_ALL);
    const bench::ScratchDir scratch;
    workspace = scratch.directory("run");
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        signal(number, onStopSignal);
    }
    if (!stub.start() || !httpsStub.start(bench::httpsStubOptions(), "https")) {
        std::fprintf(stderr, "cannot start %s\n", CORVANEXS_STUB_PATH);
        return 1;
    }
    const int status = bench::runBenchmarks(argc, argv, printSummary);
    curl_global_cleanup();
    return status;
}
