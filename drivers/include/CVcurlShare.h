// What libcurl easy handles can share instead of making it anew for each handle: TLS sessions,
// so that a connection after the first to the same server resumes a session instead of making a
// full handshake, and the trusted CAs, parsed once instead of for every connection (the
// system's store takes tens of milliseconds).
#pragma once

#include <curl/curl.h>

#include <mutex>
#include <string>

typedef struct x509_store_st X509_STORE;

class CVcurlShare {
public:
    // Call curl_global_init first. handle() is null when libcurl cannot make the share. Without
    // `sessions` only the CAs are shared, so that every connection makes a full handshake (for
    // benchmarks).
    explicit CVcurlShare(bool sessions = true);
    // Every handle that used the share must be gone by now.
    ~CVcurlShare();
    CVcurlShare(const CVcurlShare&) = delete;
    CVcurlShare& operator=(const CVcurlShare&) = delete;

    CURLSH* handle() const { return m_share; }
    // True when libcurl uses OpenSSL, whose contexts can be given the shared CAs.
    bool canShareCas() const { return m_openSsl; }
    // Makes `sslContext` (an OpenSSL SSL_CTX) trust the CAs of `file` and of the hashed directory
    // `path` (either may be empty), as libcurl would, loaded at the first call. Later calls must
    // name the same file and directory. False when nothing usable could be loaded.
    bool trustCas(void* sslContext, const std::string& file, const std::string& path);

private:
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
    static void unlock(CURL* handle, curl_lock_data data, void* self);

    // One per kind of data libcurl keeps in m_share: each guards that data while a handle uses it.
    std::mutex m_mutexes[CURL_LOCK_DATA_LAST];
    CURLSH* m_share = nullptr;
    bool m_openSsl = false;
    std::mutex m_storeMutex;        // guards m_store and m_storeLoaded
    X509_STORE* m_store = nullptr;  // the trusted CAs, once loaded
    bool m_storeLoaded = false;     // a load was tried
};
