// Several CVcurlService transfers at once on the calling thread, through libcurl's multi
// interface. Each transfer keeps its service's settings (TLS, redirects, time-outs, the shared
// sessions, the stop hook) exactly as a single SendRequest would. Failures are libcurl codes;
// nothing here throws. Belongs to one thread.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <vector>

class CVcurlService;

class CVcurlMulti {
public:
    struct Finished {
        CVcurlService* service;
        int result;  // as SendRequest would have returned it
    };

    CVcurlMulti();
    // Transfers still running are dropped unfinished.
    ~CVcurlMulti();
    CVcurlMulti(const CVcurlMulti&) = delete;
    CVcurlMulti& operator=(const CVcurlMulti&) = delete;

    // Starts the transfer `service` has prepared with BeginRequest. False when libcurl refuses
    // it (the caller then ends it as failed).
    bool add(CVcurlService& service);
    // Drives the transfers until at least one has ended or `timeoutMs` have passed, and returns
    // those that ended (each removed from the multi; the caller calls EndRequest).
    std::vector<Finished> run(int timeoutMs);
    size_t running() const { return m_running.size(); }
    bool valid() const { return m_multi != nullptr; }

private:
    std::vector<Finished> takeFinished();

    CURLM* m_multi = nullptr;
    std::vector<CVcurlService*> m_running;
};
