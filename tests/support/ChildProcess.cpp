#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace testsupport {

namespace {

// In a forked child: becomes the program, or returns 127.
int execute(std::vector<std::string>& args, std::vector<std::string>& env) {
    std::vector<char*> argv, envp;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    for (std::string& var : env) {
        envp.push_back(var.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    return 127;
}

}  // namespace

bool signalChild(pid_t pid, int signal) {
    if (pid <= 0) {
        ADD_FAILURE() << "refused to send signal " << signal << " to pid " << pid;
        return false;
    }
    return kill(pid, signal) == 0;
}

ProgramResult runProgram(std::vector<std::string> args, std::vector<std::string> env,
                         const std::string& input) {
    TempDir streams;
    writeFile(streams.file("in"), input);
    const int status = runInChild([&] {
        const char* const names[] = {"in", "out", "err"};
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            const int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
            const int opened = open(streams.file(names[fd]).c_str(), flags, 0644);
            if (opened < 0 || dup2(opened, fd) < 0) {
                return 126;
            }
            close(opened);
        }
        return execute(args, env);
    });
    return {status, readFile(streams.file("out")), readFile(streams.file("err"))};
}

int runInChild(const std::function<int()>& body) {
    ChildProcess child;
    return child.fork(body) ? child.wait() : -1;
}

bool ChildProcess::fork(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
        }
        _exit(status);
    }
    return adopt(pid);
}

bool ChildProcess::start(std::vector<std::string> args, std::vector<std::string> env, int out,
                         int err) {
    return fork([&] {
        if ((out >= 0 && dup2(out, STDOUT_FILENO) < 0) ||
            (err >= 0 && dup2(err, STDERR_FILENO) < 0)) {
            return 126;
        }
        return execute(args, env);
    });
}

bool ChildProcess::adopt(pid_t pid) {
    stop(SIGKILL);
    m_ended = false;
    m_status = -1;
    if (pid <= 0) {
        m_pid = -1;
        ADD_FAILURE() << "refused to adopt pid " << pid;
        return false;
    }
    m_pid = pid;
    return true;
}

bool ChildProcess::isChild(pid_t pid) {
    siginfo_t info{};
    return pid > 0 &&
           waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void ChildProcess::reapOrphans() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

bool ChildProcess::signal(int signal) {
    if (poll()) {
        ADD_FAILURE() << "no running child to send signal " << signal << " to, pid " << m_pid;
        return false;
    }
    return signalChild(m_pid, signal);
}

bool ChildProcess::poll() {
    int wstatus = 0;
    pid_t reaped = 0;
    while (running() && (reaped = waitpid(m_pid, &wstatus, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped == m_pid) {
        m_status = WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    }
    // Reaped elsewhere, the pid may already name another process: never signal it again.
    m_ended = m_ended || reaped == m_pid || reaped < 0;
    return !running();
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    return pollUntil([this] { return poll(); }, timeout);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (!waitForExit(timeout)) {
        ADD_FAILURE() << "pid " << m_pid << " did not end in time";
        stop(SIGKILL);
    }
    return m_status;
}

void ChildProcess::stop(int signal) {
    if (poll()) {
        return;
    }
    signalChild(m_pid, signal);
    if (!waitForExit()) {
        signalChild(m_pid, SIGKILL);
        waitForExit();
    }
}

}  // namespace testsupport
