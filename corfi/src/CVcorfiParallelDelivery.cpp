#include "CVcorfiParallelDelivery.h"

#include <algorithm>

#include "CVcurlService.h"

namespace {
const int kRunSliceMs = 1000;
}

struct CVcorfiParallelDelivery::Transfer {
    std::string name;
    struct stat read;
    CVFImessage record;
    CVcurlRequest request;
    CVcurlService service{true, CVFIdeliverySettings()};
};

CVcorfiParallelDelivery::CVcorfiParallelDelivery(int maxParallel, std::string url, Settle settle)
    : m_maxParallel(static_cast<size_t>(std::max(maxParallel, 1))),
      m_url(std::move(url)),
      m_settle(std::move(settle)) {}

CVcorfiParallelDelivery::~CVcorfiParallelDelivery() {
    drain();
}

void CVcorfiParallelDelivery::post(const std::string& name, const struct stat& read,
                                   const CVFImessage& record) {
    while (m_transfers.size() >= m_maxParallel) {
        runOnce();
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->name = name;
    transfer->read = read;
    transfer->record = record;
    CVFIbuildRequest(record, m_url.c_str(), transfer->request);
    start(std::move(transfer));
}

// A transfer libcurl cannot even start ends at once, as a single delivery's would.
void CVcorfiParallelDelivery::start(std::unique_ptr<Transfer> transfer) {
    CVcurlService& service = transfer->service;
    const int prepared = service.BeginRequest(transfer->request);
    m_transfers.push_back(std::move(transfer));
    if (prepared != CURLE_OK) {
        finish(&service, prepared);
    } else if (!m_multi.add(service)) {
        finish(&service, CURLE_FAILED_INIT);
    }
}

void CVcorfiParallelDelivery::finish(CVcurlService* service, int result) {
    const auto it = std::find_if(m_transfers.begin(), m_transfers.end(),
                                 [service](const auto& t) { return &t->service == service; });
    if (it == m_transfers.end()) {
        return;
    }
    std::unique_ptr<Transfer> transfer = std::move(*it);
    m_transfers.erase(it);
    transfer->service.EndRequest();
    const CVFIresult judged = CVFIjudgeTransfer(transfer->service, result, m_url.c_str());
    m_settle(transfer->name, transfer->read, transfer->record, judged);
}

void CVcorfiParallelDelivery::runOnce() {
    for (const CVcurlMulti::Finished& done : m_multi.run(kRunSliceMs)) {
        finish(done.service, done.result);
    }
}

void CVcorfiParallelDelivery::drain() {
    while (!m_transfers.empty()) {
        runOnce();
    }
}
