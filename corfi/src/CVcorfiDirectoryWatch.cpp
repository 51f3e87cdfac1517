#include "CVcorfiDirectoryWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "CVFIdaemon.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kEvents = IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_ONLYDIR;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CVcorfiDirectoryWatch::CVcorfiDirectoryWatch(const std::string& directory, NameFilter wanted,
                                             int burstMs)
    : m_wanted(std::move(wanted)), m_burstMs(burstMs) {
    if (std::getenv(DISABLE_VARIABLE) != nullptr) {
        m_error = ENOSYS;
        return;
    }
    m_inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_inotify || inotify_add_watch(m_inotify.get(), directory.c_str(), kEvents) < 0) {
        m_error = errno;
        m_inotify.reset();
    }
}

CVcorfiDirectoryWatch::~CVcorfiDirectoryWatch() = default;

void CVcorfiDirectoryWatch::warnIfInvalid(const std::string& shown) const {
    if (valid()) {
        return;
    }
    CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
        ->LogEvent(CVsysEventLogInterface::CODE_WARN, nullptr,
                   "Cannot watch directory [%s] for new files: %s; resting the full period\n",
                   shown.c_str(), CVsysUtility::errorText(m_error).c_str());
}

bool CVcorfiDirectoryWatch::takeEvents() {
    alignas(struct inotify_event) char buffer[16384];
    bool wanted = false;
    for (;;) {
        const ssize_t size = read(m_inotify.get(), buffer, sizeof buffer);
        if (size <= 0) {
            return wanted;
        }
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            // A lost queue or a directory that went away: only a cycle can tell what is there.
            if ((event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
                (event->len > 0 && m_wanted(event->name))) {
                wanted = true;
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

CVcorfiDirectoryWatch::Wake CVcorfiDirectoryWatch::wait(int timeoutMs) {
    if (!valid()) {
        return CVFIstopRequested(timeoutMs) ? STOPPED : TIMED_OUT;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Clock::time_point burstEnd{};
    bool changed = false;
    for (;;) {
        if (CVFIstopRequested()) {
            return STOPPED;
        }
        // Events of a burst are only drained: the cycle that follows sees their files anyway.
        if (takeEvents() && !changed) {
            changed = true;
            burstEnd = Clock::now() + std::chrono::milliseconds(m_burstMs);
        }
        const int left = remainingMs(changed ? burstEnd : deadline);
        if (left == 0) {
            return changed ? CHANGED : TIMED_OUT;
        }
        pollfd fds[2] = {{CVFIstopDescriptor(), POLLIN, 0}, {m_inotify.get(), POLLIN, 0}};
        if (poll(fds, 2, left) < 0 && errno != EINTR) {
            return changed ? CHANGED : TIMED_OUT;
        }
    }
}
