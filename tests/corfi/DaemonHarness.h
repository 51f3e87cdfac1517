// The real daemon in a temporary installation, beside the stand-in messaging server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace corfitest {

// A process the test owns: stopped and reaped at the latest when the object goes.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void adopt(pid_t pid);
    pid_t pid() const { return m_pid; }
    // True once the process has ended; status() is then its exit status (128 + signal).
    bool poll();
    int status() const { return m_status; }
    // Sends `signal`, and SIGKILL when the process outlives `grace`.
    void stop(int signal, std::chrono::milliseconds grace = std::chrono::seconds(20));

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = -1;
};

// Lays out base/{config,spool,temp,logs}, runs the stand-in and the daemon, and reads what
// they leave behind. The test process is a child subreaper, so the detached daemon is its child.
class DaemonTest : public testsupport::TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string at(const std::string& relative) const { return base + "/" + relative; }
    // `configLines` precede the usual lines of corfi_config, so they win; `dirLines` replace
    // the usual content of "dir". The log is set to the trace level.
    void layout(const std::string& configLines = "", const std::string& dirLines = "");
    // Sets the level of the daemon's log in config/cvlogs.ini ("trace", "info", ...).
    void logLevel(const std::string& level) const;
    void startStub(const std::vector<std::string>& options = {});
    // Runs the daemon with these arguments; the status of the direct child (0 once detached).
    int launch(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    // Waits for the monitor file to name the detached daemon and takes it as `daemon`.
    bool adoptDaemon();
    void startDaemon(const std::vector<std::string>& args = {},
                     const std::vector<std::string>& env = {});
    bool waitForExit() {
        return testsupport::pollUntil([this] { return daemon.poll(); });
    }

    // Writes a spool file under another name first, so the daemon never sees it half-written.
    void drop(const std::string& name, const std::string& content) const;
    std::string log() const;
    int countInLog(const std::string& text) const;
    bool waitForLog(const std::string& text, int times = 1) const;
    std::vector<std::string> record() const;        // request bodies, in arrival order
    std::vector<std::string> spoolEntries() const;  // sorted
    std::string standardOutput() const { return testsupport::readFile(tmp.file("stdout")); }
    std::string standardError() const { return testsupport::readFile(tmp.file("stderr")); }

    std::string base;  // the installation's top directory, tmp.path() unless a test moves it
    int port = 0;      // the messaging server's port, put into corvanexs_url by layout()
    Child stub;
    Child daemon;

private:
    std::vector<std::string> environment(const std::vector<std::string>& extra) const;
};

}  // namespace corfitest
