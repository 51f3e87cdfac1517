#include "StubServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace stub {

namespace {

const char kHost[] = "127.0.0.1";
const char kAnyPath[] = ".*";
const size_t kWorkers = 128;
const int kBacklog = 1024;

int socketPort(int fd, bool peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                        : getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (rc != 0 || address.ss_family != AF_INET) {
        return -1;
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// The server library does not hand the connection's socket to a handler, so a plain
// connection is found among the process's descriptors by its two ports.
int findConnection(int localPort, int remotePort) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(dir) && socketPort(fd, true) == remotePort &&
            socketPort(fd, false) == localPort) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Shuts the connection down under the library's feet: its answer then fails to go out and
// the client sees the connection end without a byte of response.
void dropConnection(const httplib::Request& request) {
    const int fd = request.ssl != nullptr ? SSL_get_fd(request.ssl)
                                          : findConnection(request.local_port, request.remote_port);
    if (fd < 0 || shutdown(fd, SHUT_RDWR) != 0) {
        std::fprintf(stderr, "corvanexs-stub: cannot drop the connection from port %d: %s\n",
                     request.remote_port, fd < 0 ? "socket not found" : std::strerror(errno));
    }
}

bool isFormBody(const httplib::Request& request) {
    if (request.method != "POST" && request.method != "PUT") {
        return false;
    }
    const std::string type = request.get_header_value("Content-Type");
    const std::string form = "application/x-www-form-urlencoded";
    return strncasecmp(type.c_str(), form.c_str(), form.size()) == 0;
}

std::string queryOf(const std::string& target) {
    const size_t question = target.find('?');
    return question == std::string::npos ? std::string() : target.substr(question + 1);
}

std::unique_ptr<httplib::Server> createServer(const StubOptions& options) {
    if (options.certPath.empty()) {
        return std::make_unique<httplib::Server>();
    }
    auto server =
        std::make_unique<httplib::SSLServer>(options.certPath.c_str(), options.keyPath.c_str());
    if (!server->is_valid()) {
        throw std::runtime_error("cannot use the certificate " + options.certPath +
                                 " with the key " + options.keyPath);
    }
    return server;
}

// The server library listens with a backlog of 5: a client opening dozens of connections at
// once would see most of its SYNs dropped and retried a second later. Listening again on the
// same socket only widens the queue.
void widenBacklog(int port) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        int listening = 0;
        socklen_t size = sizeof listening;
        if (fd > 2 && fd != dirfd(dir) && socketPort(fd, false) == port &&
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening) {
            listen(fd, kBacklog);
        }
    }
    closedir(dir);
}

}  // namespace

StubServer::StubServer(const StubOptions& options)
    : m_options(options), m_server(createServer(options)) {
    if (!options.recordPath.empty()) {
        m_recorder = std::make_unique<RequestRecorder>(options.recordPath);
    }
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, request.body, response);
    };
    // The library refuses a form body above 8 KiB unless the handler reads the body itself.
    auto reader = [this](const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& content) {
        std::string body;
        content([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        handle(request, body, response);
    };
    // Without it a kept-alive client waits for the delayed acknowledgement of the headers
    // before the body follows.
    m_server->set_tcp_nodelay(true);
    // Enough workers that a client with many transfers at once never waits for a free one,
    // also while each answer is delayed; the server library owns the pool it is handed.
    m_server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    m_server->Get(kAnyPath, handler)
        .Post(kAnyPath, reader)
        .Put(kAnyPath, reader)
        .Delete(kAnyPath, handler)
        .Patch(kAnyPath, handler)
        .Options(kAnyPath, handler);
}

StubServer::~StubServer() {
    if (m_reservation >= 0) {
        close(m_reservation);
    }
}

int StubServer::bind() {
    if (m_options.refuseMs > 0) {
        return reservePort();
    }
    if (m_options.port == 0) {
        const int port = m_server->bind_to_any_port(kHost);
        if (port > 0) {
            widenBacklog(port);
            return port;
        }
    } else if (m_server->bind_to_port(kHost, m_options.port)) {
        widenBacklog(m_options.port);
        return m_options.port;
    }
    throw std::runtime_error(std::string("cannot listen on ") + kHost + ":" +
                             std::to_string(m_options.port) + ": " + std::strerror(errno));
}

// A bound socket that does not listen answers every connection with a reset, which the
// client sees as a refusal.
int StubServer::reservePort() {
    m_reservation = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(m_options.port));
    if (m_reservation < 0 ||
        ::bind(m_reservation, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error(std::string("cannot bind ") + kHost + ": " + std::strerror(errno));
    }
    m_reservedPort = socketPort(m_reservation, false);
    return m_reservedPort;
}

StubServer::Reservation StubServer::waitUntilAccepting() {
    const auto until = m_started + std::chrono::milliseconds(m_options.refuseMs);
    {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        if (m_stopped.wait_until(lock, until, [this] { return m_stopping; })) {
            return Reservation::STOPPED;
        }
    }
    close(m_reservation);
    m_reservation = -1;
    if (!m_server->bind_to_port(kHost, m_reservedPort)) {
        return Reservation::FAILED;
    }
    widenBacklog(m_reservedPort);
    return Reservation::ACCEPTING;
}

bool StubServer::run() {
    if (m_reservedPort > 0) {
        const Reservation reservation = waitUntilAccepting();
        if (reservation != Reservation::ACCEPTING) {
            return reservation == Reservation::STOPPED;
        }
    }
    return m_server->listen_after_bind();
}

void StubServer::stop() {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_server->stop();
}

// The server waits for its handlers before it returns from run(), so a hung one must end
// when the server stops.
void StubServer::hangUntilStopped() {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    m_stopped.wait(lock, [this] { return m_stopping; });
}

void StubServer::answerBytes(httplib::Response& response) const {
    const auto total = static_cast<size_t>(m_options.answerBytes);
    response.set_content_provider(
        total, "text/plain", [total](size_t offset, size_t length, httplib::DataSink& sink) {
            static const std::string filler(65536, 'x');
            if (offset == 0) {
                sink.write("200 ", 4);
                return true;
            }
            return sink.write(filler.data(), std::min({length, filler.size(), total - offset}));
        });
}

void StubServer::handle(const httplib::Request& request, const std::string& body,
                        httplib::Response& response) {
    const unsigned long number = ++m_requestCount;
    record(request, body);
    if (m_options.delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.delayMs));
    }
    const auto sinceStart = std::chrono::steady_clock::now() - m_started;
    if (sinceStart < std::chrono::milliseconds(m_options.unavailableMs)) {
        response.status = 503;
        response.set_content("503 Service unavailable", "text/plain");
    } else if (m_options.hang) {
        hangUntilStopped();
    } else if (m_options.drop || (m_options.dropEvery > 0 && number % m_options.dropEvery == 0)) {
        dropConnection(request);
    } else if (!m_options.redirectTo.empty()) {
        response.set_redirect(m_options.redirectTo, m_options.status);
    } else if (m_options.failEvery > 0 && number % m_options.failEvery == 0) {
        response.status = 500;
        response.set_content("500 Internal error", "text/plain");
    } else if (m_options.answerBytes >= 0) {
        response.status = m_options.status;
        answerBytes(response);
    } else {
        response.status = m_options.status;
        response.set_content(m_options.answer, "text/plain");
    }
}

void StubServer::record(const httplib::Request& request, const std::string& body) {
    if (!m_recorder) {
        return;
    }
    RecordedRequest recorded;
    recorded.method = request.method;
    recorded.path = request.path;
    recorded.params = parseFormParams(isFormBody(request) ? body : queryOf(request.target));
    recorded.body = body;
    m_recorder->record(recorded);
}

}  // namespace stub
