// The body of a thread run by CVconThread.
#pragma once

#include "CVobject.h"

class CVconDelegate : public CVobject {
public:
    CVconDelegate() = default;
    ~CVconDelegate() override;

    // Runs on the new thread with the stored argument.
    virtual void run(void* argument) = 0;
    // Hooks a delegate may offer its owner; the thread machinery never calls them.
    virtual void onStart() {}
    virtual void onStop() {}
    virtual void onFailure() {}

    // Stores the argument; true when none was stored before.
    bool setArgument(void* argument);
    void* getArgument() const { return m_argument; }

private:
    void* m_argument = nullptr;  // not owned
};
