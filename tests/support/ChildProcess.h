// The suite's one way to fork, run a program or send a signal. A process is signalled only while
// it is a live child that a ChildProcess holds, and reaped at the latest when that object goes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// kill() with a pid of 0 or -1 reaches the whole process group or every process the user may
// signal; as root that ends the machine's session. Every test signal goes through here: a pid
// of 0 or less is refused with a test failure and false.
bool signalChild(pid_t pid, int signal);

struct ProgramResult {
    int status;  // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Runs `args` (args[0] is the program's path) with exactly `env` and `input` as standard input
// to its end, and returns what it wrote to standard output and error.
ProgramResult runProgram(std::vector<std::string> args, std::vector<std::string> env,
                         const std::string& input = "");

// Runs `body` in a forked child to its end; returns the child's exit status.
int runInChild(const std::function<int()>& body);

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(SIGKILL); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Forks a child that runs `body` and exits with its result (99 when it throws). Fork only
    // while no other thread runs: a lock held elsewhere stays held in the child for good.
    bool fork(const std::function<int()>& body);
    // Runs `args` (args[0] is the program's path) with exactly `env`; standard output and error
    // go to `out` and `err`, or stay the test's where -1.
    bool start(std::vector<std::string> args, std::vector<std::string> env, int out = -1,
               int err = -1);
    // Takes charge of `pid`, which must be a child of this process (a subreaper adopts
    // detached grandchildren). A pid of 0 or less is refused with a test failure.
    bool adopt(pid_t pid);

    // Sends `signal` to the child while it runs; false (and a test failure) once it has ended.
    bool signal(int signal);
    // True once the process has ended and been reaped, or when none is held.
    bool poll();
    bool waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // The exit status once the process has ended; one that outlives `timeout` is killed, and
    // that is a test failure.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Sends `signal` and waits; SIGKILL when the process outlives the grace time.
    void stop(int signal);

    // True when `pid` is a child of this process that has not been reaped.
    static bool isChild(pid_t pid);
    // Reaps the ended children that no ChildProcess holds, such as a daemon's first parent.
    static void reapOrphans();

    pid_t pid() const { return m_pid; }
    bool running() const { return m_pid > 0 && !m_ended; }
    // The exit status, or 128 + the signal that ended it; -1 while it runs.
    int status() const { return m_status; }

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = -1;
};

}  // namespace testsupport
