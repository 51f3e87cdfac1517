// Runs a CVconDelegate on a detached POSIX thread. Nobody joins: callers poll isAlive().
#pragma once

#include <pthread.h>

#include "CVconDelegate.h"
#include "CVconLock.h"
#include "CVobject.h"

class CVconThread : public CVobject {
public:
    CVconThread();
    ~CVconThread() override;

    // Starts a detached thread that runs the delegate; does nothing while a thread runs.
    // Raises CVconException "Create Thread Failed".
    void start(CVconDelegate* delegate);
    bool isAlive();
    // Sends SIGQUIT to the thread and forgets it. Raises "Kill Thread Failed".
    void kill();
    // Stops the thread in its SIGUSR1 handler; returns once it is there. Needs initializeThreadLib.
    void suspend();
    // Lets a suspended thread go on (SIGUSR2). Raises "Resume Thread Failed".
    void resume();

    // When set, the thread deletes this object and its delegate after run() returns.
    CVconThread* setDeleteOnExit(bool deleteOnExit);
    pthread_t getThreadID();

    // Installs the suspend/resume handlers and makes SIGQUIT and SIGTERM end the receiving
    // thread. Process-wide; call once before suspend, resume or kill rely on them.
    static void initializeThreadLib();
    static void cleanupThreadLib();

    static constexpr pthread_t NO_THREAD = static_cast<pthread_t>(-1);

private:
    static void* threadBody(void* startRecord);
    // Called by the ending thread: forgets the handle; true when it must delete both objects.
    bool finished();

    // Guards m_handle and m_deleteOnExit; held across pthread_create and pthread_kill.
    CVconLock m_lock;
    bool m_deleteOnExit = false;
    pthread_t m_handle = NO_THREAD;
};
