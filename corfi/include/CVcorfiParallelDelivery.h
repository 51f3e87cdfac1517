// Posts up to max_parallel message files at once on the calling thread. Files are still read
// and parsed one at a time by the dispatch cycle; only their transfers overlap. Each transfer
// is judged and logged exactly as a single delivery is, and the cycle's settle function then
// gives the file its outcome, in whatever order the transfers end.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CVFIdelivery.h"
#include "CVFImessage.h"
#include "CVcurlMulti.h"

class CVcorfiParallelDelivery {
public:
    // The file's name, the identity of the file that was read, its record and its result.
    using Settle = std::function<void(const std::string& name, const struct stat& read,
                                      const CVFImessage& record, const CVFIresult& result)>;

    CVcorfiParallelDelivery(int maxParallel, std::string url, Settle settle);
    // Waits for the transfers still running and settles them.
    ~CVcorfiParallelDelivery();
    CVcorfiParallelDelivery(const CVcorfiParallelDelivery&) = delete;
    CVcorfiParallelDelivery& operator=(const CVcorfiParallelDelivery&) = delete;

    // Starts posting a valid, due record; while maxParallel transfers run, first waits for one
    // to end (settling it).
    void post(const std::string& name, const struct stat& read, const CVFImessage& record);
    // Waits until every transfer has ended and been settled.
    void drain();

private:
    struct Transfer;

    void start(std::unique_ptr<Transfer> transfer);
    void finish(CVcurlService* service, int result);
    void runOnce();

    const size_t m_maxParallel;
    const std::string m_url;
    Settle m_settle;
    CVcurlMulti m_multi;
    std::vector<std::unique_ptr<Transfer>> m_transfers;  // those running
};
