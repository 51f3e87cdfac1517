#include "CVcurlMulti.h"

#include <algorithm>

#include "CVcurlService.h"

namespace {
const int kMaxPollMs = 1000;
}

CVcurlMulti::CVcurlMulti() : m_multi(curl_multi_init()) {}

CVcurlMulti::~CVcurlMulti() {
    for (CVcurlService* service : m_running) {
        curl_multi_remove_handle(m_multi, service->EasyHandle());
    }
    if (m_multi != nullptr) {
        curl_multi_cleanup(m_multi);
    }
}

bool CVcurlMulti::add(CVcurlService& service) {
    CURL* handle = service.EasyHandle();
    if (m_multi == nullptr || handle == nullptr ||
        curl_multi_add_handle(m_multi, handle) != CURLM_OK) {
        return false;
    }
    curl_easy_setopt(handle, CURLOPT_PRIVATE, &service);
    m_running.push_back(&service);
    return true;
}

std::vector<CVcurlMulti::Finished> CVcurlMulti::takeFinished() {
    std::vector<Finished> finished;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* handle = message->easy_handle;
        const int result = message->data.result;
        void* owner = nullptr;
        curl_easy_getinfo(handle, CURLINFO_PRIVATE, &owner);
        curl_multi_remove_handle(m_multi, handle);
        auto* service = static_cast<CVcurlService*>(owner);
        m_running.erase(std::remove(m_running.begin(), m_running.end(), service), m_running.end());
        finished.push_back({service, result});
    }
    return finished;
}

std::vector<CVcurlMulti::Finished> CVcurlMulti::run(int timeoutMs) {
    if (m_running.empty()) {
        return {};
    }
    int stillRunning = 0;
    CURLMcode code = curl_multi_perform(m_multi, &stillRunning);
    std::vector<Finished> finished = takeFinished();
    if (code == CURLM_OK && finished.empty()) {
        // As curl_easy_perform does: at least once a second, so that the progress callbacks (and
        // with them the stop hooks) run while a server keeps silent.
        code = curl_multi_poll(m_multi, nullptr, 0, std::min(timeoutMs, kMaxPollMs), nullptr);
        if (code == CURLM_OK) {
            code = curl_multi_perform(m_multi, &stillRunning);
        }
        finished = takeFinished();
    }
    if (code != CURLM_OK) {
        // A broken multi ends nothing by itself any more: give every transfer up.
        for (CVcurlService* service : m_running) {
            curl_multi_remove_handle(m_multi, service->EasyHandle());
            finished.push_back({service, CURLE_FAILED_INIT});
        }
        m_running.clear();
    }
    return finished;
}
