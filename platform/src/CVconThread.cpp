#include "CVconThread.h"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>

#include "CVconException.h"
#include "CVconLockGuard.h"
#include "CVsysUtility.h"

namespace {

const char* const kFileTag = "../src/CVconThread";

enum RaiseLine : int32_t {
    kLineHandlerSuspend = 115,
    kLineHandlerResume = 119,
    kLineHandlerQuit = 124,
    kLineHandlerTerminate = 128,
    kLineCreateThread = 200,
    kLineResume = 217,
    kLineSuspend = 243,
    kLineKill = 276,
};

struct StartRecord {
    CVconThread* thread;
    CVconDelegate* delegate;
};

// The suspend handshake: one suspend() at a time clears the flag, the target's handler sets it.
std::atomic<int> g_suspended{0};
static_assert(std::atomic<int>::is_always_lock_free, "the flag is set in a signal handler");

// Never destroyed: a thread may still suspend another while the process exits.
CVconLock& suspendLock() {
    alignas(CVconLock) static unsigned char storage[sizeof(CVconLock)];
    static CVconLock* const lock = new (storage) CVconLock();
    return *lock;
}

[[noreturn]] void raise(int32_t line, const char* message, const std::string& sysMessage) {
    throw CVconException(static_cast<int32_t>(CVsysUtility::getCurrentThreadID()), kFileTag, line,
                         message, sysMessage);
}

// The pthread calls return their error instead of setting errno; the message wants its text.
[[noreturn]] void raise(int32_t line, const char* message, int error) {
    CVconException::raise(kFileTag, line, message, error);
}

std::string createErrorText(int error) {
    switch (error) {
        case ENOMEM:
            return "Out of resource";
        case EINVAL:
            return "Invalid attribute";
        case EPERM:
            return "Permission denied";
        default:
            return "Unknown Error [" + std::to_string(error) + "]";
    }
}

void onSuspend(int) {
    int savedErrno = errno;
    g_suspended.store(1);
    // SIGUSR2 is blocked while this handler runs (see initializeThreadLib), so a resume sent
    // before sigsuspend stays pending and is taken here instead of being lost.
    sigset_t mask;
    sigfillset(&mask);
    sigdelset(&mask, SIGUSR2);
    sigsuspend(&mask);
    errno = savedErrno;
}

void onResume(int) {}

void onEndThread(int) {
    pthread_exit(nullptr);
}

int installHandler(int signalNumber, void (*handler)(int), int blockedWhileRunning) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (blockedWhileRunning != 0) {
        sigaddset(&action.sa_mask, blockedWhileRunning);
    }
    action.sa_handler = handler;
    return sigaction(signalNumber, &action, nullptr);
}

}  // namespace

CVconThread::CVconThread() = default;

CVconThread::~CVconThread() = default;

void CVconThread::start(CVconDelegate* delegate) {
    CVconLockGuard<> guard(m_lock);
    if (m_handle != NO_THREAD) {
        return;
    }
    auto record = std::make_unique<StartRecord>(StartRecord{this, delegate});
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t handle;
        rc = pthread_create(&handle, &attr, &CVconThread::threadBody, record.get());
        pthread_attr_destroy(&attr);
        if (rc == 0) {
            m_handle = handle;
            record.release();  // the new thread frees it
            return;
        }
    }
    raise(kLineCreateThread, "Create Thread Failed", createErrorText(rc));
}

void* CVconThread::threadBody(void* startRecord) {
    StartRecord record = *std::unique_ptr<StartRecord>(static_cast<StartRecord*>(startRecord));
    if (record.delegate != nullptr) {
        record.delegate->run(record.delegate->getArgument());
    }
    if (record.thread->finished()) {
        delete record.thread;
        delete record.delegate;
    }
    return nullptr;
}

bool CVconThread::finished() {
    // A kill, suspend or SIGTERM arriving from here on must not stop this thread while it holds
    // m_lock; still pending when the thread ends, it is dropped.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGQUIT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    CVconLockGuard<> guard(m_lock);
    bool deleteOnExit = m_deleteOnExit;
    m_handle = NO_THREAD;
    return deleteOnExit;
}

bool CVconThread::isAlive() {
    CVconLockGuard<> guard(m_lock);
    return m_handle != NO_THREAD && pthread_kill(m_handle, 0) == 0;
}

void CVconThread::kill() {
    CVconLockGuard<> guard(m_lock);
    if (m_handle == NO_THREAD) {
        return;
    }
    int rc = pthread_kill(m_handle, SIGQUIT);
    if (rc != 0) {
        raise(kLineKill, "Kill Thread Failed", rc);
    }
    m_handle = NO_THREAD;
}

void CVconThread::suspend() {
    CVconLockGuard<> handshake(suspendLock());
    g_suspended.store(0);
    {
        CVconLockGuard<> guard(m_lock);
        if (m_handle == NO_THREAD) {
            return;
        }
        int rc = pthread_kill(m_handle, SIGUSR1);
        if (rc != 0) {
            raise(kLineSuspend, "Suspend Thread Failed", rc);
        }
    }
    // A thread that ends first blocks SIGUSR1 and never sets the flag; stop waiting for it then.
    while (g_suspended.load() == 0 && getThreadID() != NO_THREAD) {
        sched_yield();
    }
}

void CVconThread::resume() {
    CVconLockGuard<> guard(m_lock);
    if (m_handle == NO_THREAD) {
        return;
    }
    int rc = pthread_kill(m_handle, SIGUSR2);
    if (rc != 0) {
        raise(kLineResume, "Resume Thread Failed", rc);
    }
}

CVconThread* CVconThread::setDeleteOnExit(bool deleteOnExit) {
    CVconLockGuard<> guard(m_lock);
    m_deleteOnExit = deleteOnExit;
    return this;
}

pthread_t CVconThread::getThreadID() {
    CVconLockGuard<> guard(m_lock);
    return m_handle;
}

void CVconThread::initializeThreadLib() {
    suspendLock();  // raises "Create Lock Failed" when the lock cannot be made
    const struct {
        int signalNumber;
        void (*handler)(int);
        int blockedWhileRunning;
        int32_t line;
    } handlers[] = {
        {SIGUSR1, onSuspend, SIGUSR2, kLineHandlerSuspend},
        {SIGUSR2, onResume, 0, kLineHandlerResume},
        {SIGQUIT, onEndThread, 0, kLineHandlerQuit},
        {SIGTERM, onEndThread, 0, kLineHandlerTerminate},
    };
    for (const auto& h : handlers) {
        if (installHandler(h.signalNumber, h.handler, h.blockedWhileRunning) != 0) {
            raise(h.line, "Initialize Thread Lib Failed", CVsysUtility::getSystemErrorMessage());
        }
    }
}

// The suspend lock stays: a thread may still be suspended while the process exits.
void CVconThread::cleanupThreadLib() {}
