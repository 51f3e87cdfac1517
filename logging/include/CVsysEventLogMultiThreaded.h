// Queues entries and returns at once; one worker thread takes the queue in batches and calls
// the writer, so callers never wait for the log file, its lock or archiving.
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
    CVsysEventLogMultiThreaded();
    // Stops a running worker first, so it never outlives the queue it reads.
    ~CVsysEventLogMultiThreaded() override;

    bool Start() override;
    // Drains the queue, waits up to 10 s for the worker, kills it if it is still alive.
    bool Stop() override;
    bool isStarted() override;
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

    void writeBatch(std::vector<QueuedEntry>& batch);

    std::vector<QueuedEntry> m_queue;  // guarded by m_queueLock
    CVconThread m_workerThread;
    CVconLock m_queueLock;
    CVconEvent m_queueEvent{true};        // manual reset; only the worker resets it
    std::atomic<bool> m_stopping{false};  // written under m_queueLock
};
