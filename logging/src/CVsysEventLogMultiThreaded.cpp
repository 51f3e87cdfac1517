#include "CVsysEventLogMultiThreaded.h"

#include <utility>

#include "CVException.h"
#include "CVconLockGuard.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"

namespace {

const char* const kDoWork = "CVsysEventLogMultiThreaded::DoWork";
constexpr size_t kInitialCapacity = 1000;
// A batch this much larger than usual came from a burst; its storage is given back.
constexpr size_t kRetainedCapacity = 64 * kInitialCapacity;
constexpr int kStartChecks = 5;
constexpr unsigned kStartPauseMs = 500;
constexpr unsigned kStopPollMs = 1;

}  // namespace

CVsysEventLogMultiThreaded::CVsysEventLogMultiThreaded() {
    m_queue.reserve(kInitialCapacity);
}

CVsysEventLogMultiThreaded::~CVsysEventLogMultiThreaded() {
    if (m_workerThread.isAlive() && !Stop()) {
        // Abandoned: it leaves after the entry it is writing, which is bounded by the writer.
        while (m_workerThread.isAlive()) {
            CVsysUtility::sleepMilliseconds(kStopPollMs);
        }
    }
}

bool CVsysEventLogMultiThreaded::Start() {
    if (!CVsysEventLogInterface::Start()) {
        return false;
    }
    {
        CVconLockGuard<> guard(m_queueLock);
        if (guard.owns()) {
            m_stopping = false;  // a stopped log may be started again
        }
    }
    m_abandoned = false;
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
        CVconLockGuard<> guard(m_queueLock);
        if (guard.owns()) {
            m_stopping = true;
        }
    }
    m_queueEvent.set();
    const bool ended = waitForWorker(STOP_WAIT_MS);
    if (!ended) {
        m_abandoned = true;
        const size_t unwritten = queuedEntries();
        CVsysReportError("CVsysEventLogInterface::Stop", m_moduleName.c_str(),
                         "The log worker did not finish within %d ms; at least %zu entries are "
                         "not written",
                         STOP_WAIT_MS, unwritten);
    }
    CVsysEventLogInterface::Stop();
    return ended;
}

// Polled finely: the worker usually ends within milliseconds.
bool CVsysEventLogMultiThreaded::waitForWorker(int milliseconds) {
    for (long long left = milliseconds; m_workerThread.isAlive() && left > 0; left -= kStopPollMs) {
        CVsysUtility::sleepMilliseconds(kStopPollMs);
    }
    return !m_workerThread.isAlive();
}

bool CVsysEventLogMultiThreaded::isStarted() {
    return !m_stopping && m_workerThread.isAlive();
}

size_t CVsysEventLogMultiThreaded::queuedEntries() {
    CVconLockGuard<> guard(m_queueLock);
    return m_queue.size();
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
        CVconLockGuard<> guard(m_queueLock);
        if (guard.owns() && !m_stopping) {
            if (m_queue.size() < MAX_QUEUED) {
                m_queue.push_back(std::move(entry));
                queued = true;
            } else {
                ++m_dropped;
            }
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
                unsigned dropped = 0;
                {
                    CVconLockGuard<> guard(m_queueLock);
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
                    dropped = m_dropped;
                    m_dropped = 0;
                }
                writeBatch(batch, dropped);
                if (stopping || m_abandoned) {
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

void CVsysEventLogMultiThreaded::writeBatch(std::vector<QueuedEntry>& batch, unsigned dropped) {
    m_writer->beginBatch();
    for (QueuedEntry& entry : batch) {
        if (m_abandoned) {
            break;
        }
        m_writer->write(m_moduleName, entry.level, entry.message, entry.line,
                        entry.sourceFile.c_str(), entry.time);
    }
    // The refused entries came after the whole batch, so their count follows it.
    if (dropped > 0 && !m_abandoned) {
        m_writer->write(m_moduleName, WARN, std::to_string(dropped) + " log entries dropped", -1,
                        "", time(nullptr));
    }
    m_writer->endBatch();
    batch.clear();
    if (batch.capacity() > kRetainedCapacity) {
        std::vector<QueuedEntry>().swap(batch);
        batch.reserve(kInitialCapacity);
    }
}
