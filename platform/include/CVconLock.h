// A recursive mutex.
#pragma once

#include <pthread.h>

#include "CVobject.h"

class CVconLock : public CVobject {
public:
    enum Result { ACQUIRED = 0, BUSY = 1, FAILED = 2 };

    CVconLock();  // raises CVconException "Create Lock Failed"
    ~CVconLock() override;

    int lock();     // ACQUIRED or FAILED
    int tryLock();  // ACQUIRED, BUSY or FAILED
    int unlock();   // pthread_mutex_unlock's result

private:
    pthread_mutex_t m_mutex;
};
