// The stand-in messaging server: answers every request on any path by the options' rules and
// records it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <httplib.h>

#include "RequestRecorder.h"
#include "StubOptions.h"

namespace stub {

class StubServer {
public:
    // Opens the record file and loads the certificate; throws std::runtime_error.
    explicit StubServer(const StubOptions& options);
    ~StubServer();
    StubServer(const StubServer&) = delete;
    StubServer& operator=(const StubServer&) = delete;

    // Binds 127.0.0.1 and returns the port; throws std::runtime_error.
    int bind();
    // Serves until stop(); false when listening failed.
    bool run();
    // Has no effect before run() has started listening, so callers repeat it until run()
    // has returned.
    void stop();

private:
    void handle(const httplib::Request& request, const std::string& body,
                httplib::Response& response);
    void record(const httplib::Request& request, const std::string& body);
    void hangUntilStopped();
    // --refuse-ms: holds a port without listening; run() waits, then serves on it.
    enum class Reservation { ACCEPTING, STOPPED, FAILED };
    int reservePort();
    Reservation waitUntilAccepting();
    void answerBytes(httplib::Response& response) const;

    const StubOptions m_options;
    std::unique_ptr<RequestRecorder> m_recorder;  // null without a record file
    std::unique_ptr<httplib::Server> m_server;
    std::atomic<unsigned long> m_requestCount{0};
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    int m_reservedPort = -1;  // --refuse-ms: the port held, not listened on, until run()
    int m_reservation = -1;   // its socket
    std::mutex m_stopMutex;
    std::condition_variable m_stopped;  // releases the handlers that --hang holds
    bool m_stopping = false;            // guarded by m_stopMutex
};

}  // namespace stub
