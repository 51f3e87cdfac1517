// Turns SIGTERM and SIGINT into a call on an ordinary thread, where stopping the server is
// allowed (nothing of it is async-signal-safe).
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

namespace stub {

class SignalWatcher {
public:
    // Blocks the signals in the calling thread; construct it before any other thread starts so
    // that every thread inherits the mask and only the watcher receives them.
    SignalWatcher();
    // Wakes the watcher when no signal has come and joins it.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Starts the thread that waits for a signal and then calls `onSignal` once.
    void start(std::function<void()> onSignal);

private:
    sigset_t m_signals;
    std::thread m_thread;
};

}  // namespace stub
