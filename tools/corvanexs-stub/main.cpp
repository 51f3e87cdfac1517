// corvanexs-stub: a stand-in for the messaging web server (see --help).
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "SignalWatcher.h"
#include "StubOptions.h"
#include "StubServer.h"

#if defined(__SANITIZE_THREAD__)
// The server library is not instrumented, so ThreadSanitizer misses the ordering its own
// synchronisation gives and reports its worker threads' string work as races. Our own code
// stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace {

// Stopping is repeated until the server has returned: a signal may come between bind() and the
// moment run() starts listening, when stop() has no effect yet.
class StopLatch {
public:
    void stopUntilDone(stub::StubServer& server) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            server.stop();
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
        }
    }
    void markDone() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;  // guarded by m_mutex
};

// Marks the latch done when it goes out of scope, before the server it refers to is destroyed.
class DoneMark {
public:
    explicit DoneMark(StopLatch& latch) : m_latch(latch) {}
    ~DoneMark() { m_latch.markDone(); }
    DoneMark(const DoneMark&) = delete;
    DoneMark& operator=(const DoneMark&) = delete;

private:
    StopLatch& m_latch;
};

// The watcher is constructed before the server so that no thread misses the signal mask, and
// destroyed after it; the latch outlives both.
int serve(const stub::StubOptions& options) {
    StopLatch latch;
    stub::SignalWatcher watcher;
    stub::StubServer server(options);
    const int port = server.bind();
    std::printf("%d\n", port);
    std::fflush(stdout);
    watcher.start([&] { latch.stopUntilDone(server); });
    DoneMark done(latch);
    return server.run() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    stub::StubOptions options;
    try {
        options = stub::parseStubOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const stub::UsageError& error) {
        std::fprintf(stderr, "corvanexs-stub: %s\nTry 'corvanexs-stub --help'.\n", error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(stub::stubUsageText(), stdout);
        return 0;
    }
    // A client that goes away mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return serve(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvanexs-stub: %s\n", error.what());
        return 1;
    }
}
