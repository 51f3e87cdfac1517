#include "CVconThread.h"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "CVconException.h"
#include "CVsysUtility.h"

namespace {

const char* const kFileTag = "../src/CVconThread";

enum RaiseLine : int32_t {
    kLineCreateLock = 97,
    kLineHandlerSuspend = 115,
    kLineHandlerResume = 119,
    kLineHandlerQuit = 124,
    kLineHandlerTerminate = 128,
    kLineCleanup = 138,
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
pthread_mutex_t g_suspendMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> g_suspended{0};
static_assert(std::atomic<int>::is_always_lock_free, "the flag is set in a signal handler");

class PthreadGuard {
public:
    explicit PthreadGuard(pthread_mutex_t& mutex) : m_mutex(mutex) { pthread_mutex_lock(&m_mutex); }
    ~PthreadGuard() { pthread_mutex_unlock(&m_mutex); }
    PthreadGuard(const PthreadGuard&) = delete;
    PthreadGuard& operator=(const PthreadGuard&) = delete;

private:
    pthread_mutex_t& m_mutex;
};

[[noreturn]] void raise(int32_t line, const char* message, const std::string& sysMessage) {
    throw CVconException(static_cast<int32_t>(CVsysUtility::getCurrentThreadID()), kFileTag, line,
                         message, sysMessage);
}

// The pthread calls return their error instead of setting errno; the message wants its text.
[[noreturn]] void raise(int32_t line, const char* message, int error) {
    errno = error;
    raise(line, message, CVsysUtility::getSystemErrorMessage());
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

CVconThread::CVconThread() : m_mutex(PTHREAD_MUTEX_INITIALIZER) {}

CVconThread::~CVconThread() {
    pthread_mutex_destroy(&m_mutex);
}

void CVconThread::start(CVconDelegate* delegate) {
    PthreadGuard guard(m_mutex);
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
    // m_mutex; still pending when the thread ends, it is dropped.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGQUIT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    PthreadGuard guard(m_mutex);
    bool deleteOnExit = m_deleteOnExit;
    m_handle = NO_THREAD;
    return deleteOnExit;
}

bool CVconThread::isAlive() {
    PthreadGuard guard(m_mutex);
    return m_handle != NO_THREAD && pthread_kill(m_handle, 0) == 0;
}

void CVconThread::kill() {
    PthreadGuard guard(m_mutex);
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
    PthreadGuard handshake(g_suspendMutex);
    g_suspended.store(0);
    {
        PthreadGuard guard(m_mutex);
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
    PthreadGuard guard(m_mutex);
    if (m_handle == NO_THREAD) {
        return;
    }
    int rc = pthread_kill(m_handle, SIGUSR2);
    if (rc != 0) {
        raise(kLineResume, "Resume Thread Failed", rc);
    }
}

CVconThread* CVconThread::setDeleteOnExit(bool deleteOnExit) {
    PthreadGuard guard(m_mutex);
    m_deleteOnExit = deleteOnExit;
    return this;
}

pthread_t CVconThread::getThreadID() {
    PthreadGuard guard(m_mutex);
    return m_handle;
}

void CVconThread::initializeThreadLib() {
    int rc = pthread_mutex_init(&g_suspendMutex, nullptr);
    if (rc != 0) {
        raise(kLineCreateLock, "Create Lock Failed", rc);
    }
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

void CVconThread::cleanupThreadLib() {
    int rc = pthread_mutex_destroy(&g_suspendMutex);
    if (rc != 0) {
        raise(kLineCleanup, "Initialize Thread Lib Failed", rc);
    }
}
