// TLS sessions shared between libcurl easy handles, so that a connection after the first to the
// same server resumes a session instead of making a full handshake.
#pragma once

#include <curl/curl.h>

#include <mutex>

class CVcurlShare {
public:
    // Call curl_global_init first. handle() is null when libcurl cannot make the share.
    CVcurlShare();
    // Every handle that used the share must be gone by now.
    ~CVcurlShare();
    CVcurlShare(const CVcurlShare&) = delete;
    CVcurlShare& operator=(const CVcurlShare&) = delete;

    CURLSH* handle() const { return m_share; }

private:
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
    static void unlock(CURL* handle, curl_lock_data data, void* self);

    // One per kind of data libcurl keeps in m_share: each guards that data while a handle uses it.
    std::mutex m_mutexes[CURL_LOCK_DATA_LAST];
    CURLSH* m_share = nullptr;
};
