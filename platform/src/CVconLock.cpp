#include "CVconLock.h"

#include <cerrno>

#include "CVconException.h"
#include "CVsysUtility.h"

namespace {
const char* const kTag = "../src/CVconLock";
}

CVconLock::CVconLock() {
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0) {
            rc = pthread_mutex_init(&m_mutex, &attributes);
        }
        pthread_mutexattr_destroy(&attributes);
    }
    if (rc != 0) {
        errno = rc;  // pthread calls return their error instead of setting errno
        throw CVconException(static_cast<int32_t>(CVsysUtility::getCurrentThreadID()), kTag, 66,
                             "Create Lock Failed", CVsysUtility::getSystemErrorMessage());
    }
}

// Unlocking here would only be right for a lock the destroying thread still holds; every
// owner releases its holds first, so the mutex is destroyed as it stands.
CVconLock::~CVconLock() {
    pthread_mutex_destroy(&m_mutex);
}

int CVconLock::lock() {
    int rc = pthread_mutex_lock(&m_mutex);
    return (rc == 0 || rc == EDEADLK) ? ACQUIRED : FAILED;
}

int CVconLock::tryLock() {
    int rc = pthread_mutex_trylock(&m_mutex);
    if (rc == EBUSY) {
        return BUSY;
    }
    return (rc == 0 || rc == EDEADLK) ? ACQUIRED : FAILED;
}

int CVconLock::unlock() {
    return pthread_mutex_unlock(&m_mutex);
}
