// How a CVcurlService treats TLS, where it keeps its files, and when it gives a transfer up.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class CVcurlShare;

struct CVcurlSettings {
    // Checks the server's certificate chain and that it names the host of the url.
    bool verifyPeer = true;
    // The only trusted CAs, as an absolute path; empty: the system's CA store.
    std::string caFile;
    // Holds the cookie jar and the files a PUT uploads from.
    std::string tempDir = "../temp";
    // TLS sessions shared with other services; must outlive every service that uses it.
    CVcurlShare* share = nullptr;
    // Polled while a transfer runs (about once a second while it waits). Once it returns true
    // the transfer gets `stopGrace` to finish and is then aborted with CURLE_ABORTED_BY_CALLBACK.
    std::function<bool()> stopRequested;
    std::chrono::milliseconds stopGrace{5000};
};
