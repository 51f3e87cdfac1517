// The real daemon in a temporary installation, beside the stand-in messaging server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace corfitest {

// What the daemon tests share; they take it with `using namespace corfitest`.
namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using std::chrono::seconds;
using testsupport::concat;
using testsupport::pollUntil;
using testsupport::readFile;
using testsupport::writeFile;
constexpr auto npos = std::string::npos;

// `names` in order: requests sent at once arrive in any order.
Names sorted(Names names);
// The TIME_AT text (MM-DD-YY-HH-MM) of `moment`'s fields in UTC.
std::string timeAtText(time_t moment);
// Every line of `log` is one whole entry: a time stamp, maybe a module, a level and a text.
bool everyLineIsAnEntry(const std::string& log);
// The peak resident memory of `pid` (0: this process) in kB, -1 when it cannot be read.
long peakResidentKilobytes(pid_t pid = 0);

// Lays out base/{config,spool,temp,logs}, runs the stand-in and the daemon, and reads what
// they leave behind. The test process is a child subreaper, so the detached daemon is its child.
class DaemonTest : public testsupport::TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string at(const std::string& relative) const { return base + "/" + relative; }
    // `configLines` precede the usual lines of corfi_config, so they win; `dirLines` replace
    // the usual content of "dir".
    void layout(const std::string& configLines = "", const std::string& dirLines = "");
    void logLevel(const std::string& level) const;  // of the daemon's log; layout() sets trace
    void startStub(const Names& options = {});
    // Another stand-in beside `stub`, recording into tmp/`record`; its port, 0 when it failed.
    int startOtherStub(testsupport::ChildProcess& other, const std::string& record,
                       const Names& options = {});
    // Runs the daemon to the end of its direct child (0 once detached); output in tmp/out.
    int launch(const Names& args, const Names& env = {});
    // Launches with -config_dir and holds the detached daemon the monitor file names in
    // `process` (null: daemon). Call it inside ASSERT_NO_FATAL_FAILURE: on failure none is held.
    void startDaemon(const Names& args = {}, const Names& env = {}, std::string configDir = "",
                     testsupport::ChildProcess* process = nullptr);
    // Runs the daemon with -foreground as the test's own child until the monitor file names
    // it. Call it inside ASSERT_NO_FATAL_FAILURE.
    void startForeground(const Names& args = {}, const Names& env = {});
    bool waitForExit() { return daemon.waitForExit(); }
    pid_t monitorPid() const;  // the process the monitor file names, 0 without one

    // Moved in complete, so the daemon never sees it half-written.
    void drop(const std::string& path, const std::string& content) const;
    // Message files spool/corfi_<i> to receiver R<i> with text m<i>, for i in [from, to).
    void dropMessages(int from, int to) const;
    bool spoolEmpty() const { return entries("spool") == Names{"lock"}; }
    // The daemon's log, its archives included (oldest first): at rest 0 a trace log fills a file
    // within seconds.
    std::string log() const;
    int countInLog(const std::string& text) const;
    bool waitForLog(const std::string& text, int times = 1) const {
        return testsupport::pollUntil([&] { return countInLog(text) >= times; });
    }
    // Request bodies, in arrival order, of tmp/`file`.
    Names record(const std::string& file = "requests.jsonl") const;
    // When the stand-in received each request, in milliseconds since 1970, in arrival order.
    std::vector<long long> receiptTimes() const;
    Names entries(const std::string& dir) const;  // of at(dir), sorted

    std::string base;  // the installation's top directory, tmp.path() unless a test moves it
    // Put before the daemon's path on its command line (fiu-run and its options, say).
    Names launcher;
    int port = 0;  // the messaging server's port, put into corvanexs_url by layout()
    testsupport::ChildProcess stub;
    testsupport::ChildProcess daemon;
};

}  // namespace corfitest
