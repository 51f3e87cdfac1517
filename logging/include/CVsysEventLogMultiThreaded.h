// Queues entries and returns at once; one worker thread takes the queue in batches and calls
// the writer, so callers never wait for the log file, its lock or archiving. The queue is
// bounded: past MAX_QUEUED entries new ones are counted and dropped, and a warning with that
// count is written once the queue has room again.
#pragma once

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "CVconDelegate.h"
#include "CVconEvent.h"
#include "CVconLock.h"
#include "CVconThread.h"
#include "CVsysEventLogInterface.h"

class CVsysEventLogMultiThreaded : public CVsysEventLogInterface, public CVconDelegate {
public:
    static constexpr size_t MAX_QUEUED = 100000;
    static constexpr int STOP_WAIT_MS = 10000;

    CVsysEventLogMultiThreaded();
    // Stops a running worker first and waits for it, so it never outlives the queue it reads.
    ~CVsysEventLogMultiThreaded() override;

    bool Start() override;
    // Lets the worker drain the queue and waits up to STOP_WAIT_MS for it to end. A worker
    // still busy then is told to give up after its current entry; that is reported and the
    // result is false. Never signals any thread.
    bool Stop() override;
    bool isStarted() override;
    // Entries waiting for the worker (not those it is writing).
    size_t queuedEntries();
    bool write(int32_t level, const std::string& message, int32_t line,
               const char* sourceFile) override;
    // The worker thread's body.
    virtual void DoWork();
    void run(void* argument) override;

private:
    struct QueuedEntry {
        int32_t level;
        std::string message;
        int32_t line;
        time_t time;  // when the entry was queued
        std::string sourceFile;
    };

    // `dropped`: entries refused while the batch filled the queue.
    void writeBatch(std::vector<QueuedEntry>& batch, unsigned dropped);
    bool waitForWorker(int milliseconds);

    std::vector<QueuedEntry> m_queue;  // guarded by m_queueLock
    unsigned m_dropped = 0;            // guarded by m_queueLock
    CVconThread m_workerThread;
    CVconLock m_queueLock;
    CVconEvent m_queueEvent{true};         // manual reset; only the worker resets it
    std::atomic<bool> m_stopping{false};   // written under m_queueLock
    std::atomic<bool> m_abandoned{false};  // set by a Stop that gave up waiting
};
