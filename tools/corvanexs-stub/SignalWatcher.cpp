#include "SignalWatcher.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace stub {

SignalWatcher::SignalWatcher() {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGINT);
    const int rc = pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    if (rc != 0) {
        throw std::runtime_error(std::string("cannot block SIGTERM and SIGINT: ") +
                                 std::strerror(rc));
    }
}

SignalWatcher::~SignalWatcher() {
    if (m_thread.joinable()) {
        // Pending and blocked when the watcher is already past sigwait: harmless at exit.
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }
}

void SignalWatcher::start(std::function<void()> onSignal) {
    m_thread = std::thread([this, onSignal = std::move(onSignal)] {
        int received = 0;
        sigwait(&m_signals, &received);
        onSignal();
    });
}

}  // namespace stub
