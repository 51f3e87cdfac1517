#include "CVconEvent.h"

#include <cerrno>
#include <ctime>

#include "CVconException.h"
#include "CVsysUtility.h"

namespace {

const char* const kFileTag = "../src/CVconEvent";

enum RaiseLine : int32_t {
    kLineCreateLock = 91,
    kLineCreateCondition = 98,
    kLineWaitLock = 136,
    kLineUnlockSignaled = 150,
    kLineUnlockTimed = 179,
    kLineUnlockUntimed = 194,
    kLineSet = 265,
    kLineReset = 289,
};

// The pthread calls return their error instead of setting errno; the message wants its text.
[[noreturn]] void raise(int32_t line, const char* message, int error) {
    CVconException::raise(kFileTag, line, message, error);
}

timespec monotonicDeadline(int timeoutMs) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

int initMonotonicCondition(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    // A wall-clock change must not stretch or cut short a timed wait.
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) {
        rc = pthread_cond_init(cond, &attr);
    }
    pthread_condattr_destroy(&attr);
    return rc;
}

}  // namespace

CVconEvent::CVconEvent() : CVconEvent(false) {}

CVconEvent::CVconEvent(bool manualReset) : m_manualReset(manualReset) {
    int rc = pthread_mutex_init(&m_mutex, nullptr);
    if (rc != 0) {
        raise(kLineCreateLock, "Create lock failed", rc);
    }
    rc = initMonotonicCondition(&m_cond);
    if (rc != 0) {
        pthread_mutex_destroy(&m_mutex);
        raise(kLineCreateCondition, "Create condition event failed", rc);
    }
}

CVconEvent::~CVconEvent() {
    pthread_mutex_lock(&m_mutex);
    m_closing = true;
    m_signaled = true;
    pthread_cond_broadcast(&m_cond);
    // The waiters still need the mutex and the condition to get out of wait().
    while (m_waiters > 0) {
        pthread_cond_wait(&m_cond, &m_mutex);
    }
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

int CVconEvent::wait(int timeoutMs) {
    int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0) {
        raise(kLineWaitLock, "Lock failed", rc);
    }
    ++m_waiters;
    int result = SIGNALED;
    int32_t unlockLine = kLineUnlockSignaled;
    if (!m_signaled && timeoutMs == -1) {
        result = awaitSignal(nullptr);
        unlockLine = kLineUnlockUntimed;
    } else if (!m_signaled && timeoutMs <= 0) {
        // A poll: the daemon asks between every two files, so no clock read, no futex call.
        result = TIMED_OUT;
        unlockLine = kLineUnlockTimed;
    } else if (!m_signaled) {
        timespec deadline = monotonicDeadline(timeoutMs);
        result = awaitSignal(&deadline);
        unlockLine = kLineUnlockTimed;
    }
    if (result == SIGNALED && !m_manualReset && !m_closing) {
        m_signaled = false;
    }
    if (--m_waiters == 0 && m_closing) {
        pthread_cond_broadcast(&m_cond);
    }
    rc = pthread_mutex_unlock(&m_mutex);
    if (rc != 0) {
        raise(unlockLine, "Unlock failed", rc);
    }
    return result;
}

int CVconEvent::awaitSignal(const timespec* deadline) {
    while (!m_signaled) {
        int rc = deadline ? pthread_cond_timedwait(&m_cond, &m_mutex, deadline)
                          : pthread_cond_wait(&m_cond, &m_mutex);
        if (m_signaled) {
            break;
        }
        if (rc == ETIMEDOUT) {
            return TIMED_OUT;
        }
        if (rc != 0) {
            return WAIT_FAILED;
        }
    }
    return SIGNALED;
}

void CVconEvent::set() {
    int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0) {
        raise(kLineSet, "Broadcast Event Failed", rc);
    }
    m_signaled = true;
    // Signalled under the mutex: a woken waiter may destroy the event as soon as it is released.
    rc = m_manualReset ? pthread_cond_broadcast(&m_cond) : pthread_cond_signal(&m_cond);
    int unlockRc = pthread_mutex_unlock(&m_mutex);
    if (rc != 0 || unlockRc != 0) {
        raise(kLineSet, "Broadcast Event Failed", rc != 0 ? rc : unlockRc);
    }
}

void CVconEvent::reset() {
    if (!m_manualReset) {
        return;
    }
    int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0) {
        raise(kLineReset, "Lock Failed", rc);
    }
    if (!m_closing) {
        m_signaled = false;
    }
    rc = pthread_mutex_unlock(&m_mutex);
    if (rc != 0) {
        raise(kLineReset, "Lock Failed", rc);
    }
}
