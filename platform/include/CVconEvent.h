// An event with manual or automatic reset, built from a condition variable and a mutex.
#pragma once

#include <pthread.h>

#include "CVobject.h"

class CVconEvent : public CVobject {
public:
    enum Result { SIGNALED = 16, TIMED_OUT = 17, WAIT_FAILED = 18 };

    CVconEvent();  // automatic reset
    explicit CVconEvent(bool manualReset);
    // Releases every waiter and waits until they have left wait() before destroying anything.
    ~CVconEvent() override;

    // Time-out in milliseconds, -1 for none. An automatic-reset event consumes the signal.
    int wait(int timeoutMs = -1);
    void set();
    void reset();  // manual-reset events only

private:
    // With m_mutex held: sleeps until signalled or past the deadline (null: no deadline).
    int awaitSignal(const timespec* deadline);

    bool m_manualReset;
    pthread_cond_t m_cond;    // on CLOCK_MONOTONIC
    pthread_mutex_t m_mutex;  // guards m_signaled, m_waiters and m_closing
    bool m_signaled = false;
    int m_waiters = 0;       // threads inside wait(); the destructor waits for them to leave
    bool m_closing = false;  // set by the destructor: the event stays signalled for everyone
};
