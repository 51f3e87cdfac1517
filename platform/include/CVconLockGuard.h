// Holds a lock from construction to destruction, or to an earlier release(): the one guard for
// CVconLock and for anything else with lock() and unlock(), such as a CVioFile's record lock.
#pragma once

#include <mutex>
#include <type_traits>

#include "CVconLock.h"

template <class Lockable = CVconLock>
class CVconLockGuard {
public:
    // Takes the lock now; owns() tells whether lock() reported success (0, or no result).
    explicit CVconLockGuard(Lockable& lock) : m_lock(&lock) {
        if constexpr (std::is_void_v<decltype(lock.lock())>) {
            lock.lock();
            m_owns = true;
        } else {
            m_owns = lock.lock() == 0;
        }
    }
    // Takes charge of a lock the caller already holds.
    CVconLockGuard(Lockable& lock, std::adopt_lock_t) : m_lock(&lock), m_owns(true) {}
    ~CVconLockGuard() { release(); }
    CVconLockGuard(const CVconLockGuard&) = delete;
    CVconLockGuard& operator=(const CVconLockGuard&) = delete;

    bool owns() const { return m_owns; }
    // Unlocks now when held; unlock()'s result, or 0.
    int release() {
        if (!m_owns) {
            return 0;
        }
        m_owns = false;
        if constexpr (std::is_void_v<decltype(m_lock->unlock())>) {
            m_lock->unlock();
            return 0;
        } else {
            return static_cast<int>(m_lock->unlock());
        }
    }

private:
    Lockable* m_lock;
    bool m_owns = false;
};
