#include "CVsysEventLogMultiThreaded.h"

#include <utility>

#include "CVException.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"

namespace {

const char* const kDoWork = "CVsysEventLogMultiThreaded::DoWork";
constexpr size_t kInitialCapacity = 1000;
// A batch this much larger than usual came from a burst; its storage is given back.
constexpr size_t kRetainedCapacity = 64 * kInitialCapacity;
constexpr int kStartChecks = 5;
constexpr unsigned kStartPauseMs = 500;
constexpr int kStopWaitMs = 10000;
constexpr unsigned kStopPollMs = 1;

// Holds a CVconLock for a scope; owns() is false when it could not be taken.
class QueueGuard {
public:
    explicit QueueGuard(CVconLock& lock) : m_lock(lock) {
        m_owns = m_lock.lock() == CVconLock::ACQUIRED;
    }
    ~QueueGuard() {
        if (m_owns) {
            m_lock.unlock();
        }
    }
    QueueGuard(const QueueGuard&) = delete;
    QueueGuard& operator=(const QueueGuard&) = delete;

    bool owns() const { return m_owns; }

private:
    CVconLock& m_lock;
    bool m_owns;
};

}  // namespace

CVsysEventLogMultiThreaded::CVsysEventLogMultiThreaded() {
    m_queue.reserve(kInitialCapacity);
}

CVsysEventLogMultiThreaded::~CVsysEventLogMultiThreaded() {
    if (m_workerThread.isAlive()) {
        Stop();
    }
}

bool CVsysEventLogMultiThreaded::Start() {
    if (!CVsysEventLogInterface::Start()) {
        return false;
    }
    {
        QueueGuard guard(m_queueLock);
        if (guard.owns()) {
            m_stopping = false;  // a stopped log may be started again
        }
    }
    try {
        m_workerThread.start(this);
    } catch (const CVException&) {
        // No thread: the checks below report it.
    }
    for (int check = 0; check < kStartChecks && !m_workerThread.isAlive(); ++check) {
        CVsysUtility::sleepMilliseconds(kStartPauseMs);
    }
    if (!m_workerThread.isAlive()) {
        CVsysReportError("CVsysEventLogInterface::Start", m_moduleName.c_str(),
                         "Worker thread is not running");
        return false;
    }
    return true;
}

bool CVsysEventLogMultiThreaded::Stop() {
    {
        QueueGuard guard(m_queueLock);
        if (guard.owns()) {
            m_stopping = true;
        }
    }
    m_queueEvent.set();
    // Polled finely rather than once a second: the worker usually ends within milliseconds.
    long long deadline = kStopWaitMs;
    while (m_workerThread.isAlive() && deadline > 0) {
        CVsysUtility::sleepMilliseconds(kStopPollMs);
        deadline -= kStopPollMs;
    }
    if (m_workerThread.isAlive()) {
        try {
            m_workerThread.kill();
        } catch (const CVException& e) {
            CVsysReportError("CVsysEventLogInterface::Stop", m_moduleName.c_str(), "%s",
                             e.toString().c_str());
        }
    }
    return CVsysEventLogInterface::Stop();
}

bool CVsysEventLogMultiThreaded::isStarted() {
    return !m_stopping && m_workerThread.isAlive();
}

bool CVsysEventLogMultiThreaded::write(int32_t level, const std::string& message, int32_t line,
                                       const char* sourceFile) {
    if (!m_writer) {
        return false;
    }
    // Built before taking the lock so producers hold it only for the append.
    QueuedEntry entry{level, message, line, time(nullptr), sourceFile ? sourceFile : ""};
    bool queued = false;
    {
        QueueGuard guard(m_queueLock);
        if (guard.owns() && !m_stopping) {
            m_queue.push_back(std::move(entry));
            queued = true;
        }
    }
    m_queueEvent.set();
    return queued;
}

void CVsysEventLogMultiThreaded::run(void* /*argument*/) {
    DoWork();
}

void CVsysEventLogMultiThreaded::DoWork() {
    try {
        std::vector<QueuedEntry> batch;
        batch.reserve(kInitialCapacity);
        while (m_queueEvent.wait(-1) == CVconEvent::SIGNALED) {
            for (;;) {
                bool stopping = false;
                {
                    QueueGuard guard(m_queueLock);
                    if (!guard.owns()) {
                        return;  // a recursive mutex that fails once fails for good
                    }
                    stopping = m_stopping;
                    if (m_queue.empty()) {
                        if (stopping) {
                            return;
                        }
                        // Reset under the lock: an entry appended after this point signals
                        // again, so it never waits for a later write.
                        m_queueEvent.reset();
                        break;
                    }
                    batch.swap(m_queue);
                }
                writeBatch(batch);
                if (stopping) {
                    return;
                }
            }
        }
    } catch (const CVException& e) {
        CVsysReportError(kDoWork, m_moduleName.c_str(), "%s", e.toString().c_str());
    } catch (...) {
        CVsysReportError(kDoWork, m_moduleName.c_str(), "Unknown error");
    }
}

void CVsysEventLogMultiThreaded::writeBatch(std::vector<QueuedEntry>& batch) {
    for (QueuedEntry& entry : batch) {
        m_writer->write(m_moduleName, entry.level, entry.message, entry.line,
                        entry.sourceFile.c_str(), entry.time);
    }
    batch.clear();
    if (batch.capacity() > kRetainedCapacity) {
        std::vector<QueuedEntry>().swap(batch);
        batch.reserve(kInitialCapacity);
    }
}
