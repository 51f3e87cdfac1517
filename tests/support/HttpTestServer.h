// A real HTTP or HTTPS server on 127.0.0.1, run by a thread of the test. It keeps each request,
// answers the text set by answerWith, with status N for /status/N.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

class HttpTestServer {
public:
    explicit HttpTestServer(const std::string& cert = "", const std::string& key = "")
        : m_server(cert.empty() ? std::make_unique<httplib::Server>()
                                : std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {
        m_server->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_requests.push_back(req);
            m_resumed = req.ssl != nullptr && SSL_session_reused(req.ssl);
            if (req.path.rfind("/status/", 0) == 0)
                res.status = std::stoi(req.path.substr(8));
            res.set_content(m_answer, "text/plain");
        });
        m_base = std::string(cert.empty() ? "http" : "https") +
                 "://127.0.0.1:" + std::to_string(m_server->bind_to_any_port("127.0.0.1"));
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        EXPECT_TRUE(pollUntil([this] { return m_server->is_running(); }));
    }
    ~HttpTestServer() { stop(); }
    void stop() {
        m_server->stop();
        if (m_thread.joinable())
            m_thread.join();
    }

    std::string url(const std::string& path) const { return m_base + path; }
    void answerWith(const std::string& text) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_answer = text;
    }
    // The requests since the last call.
    std::vector<httplib::Request> take() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return std::move(m_requests);
    }
    // Whether the last request came over a resumed TLS session.
    bool resumed() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_resumed;
    }

private:
    std::unique_ptr<httplib::Server> m_server;
    std::string m_base;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<httplib::Request> m_requests;  // guarded by m_mutex
    std::string m_answer = "200 OK";           // guarded by m_mutex
    bool m_resumed = false;                    // guarded by m_mutex
};

}  // namespace testsupport
