#include "CVcurlShare.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstring>

CVcurlShare::CVcurlShare(bool sessions) : m_share(curl_share_init()) {
    const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
    m_openSsl = version != nullptr && version->ssl_version != nullptr &&
                std::strncmp(version->ssl_version, "OpenSSL/", 8) == 0;
    if (m_share == nullptr) {
        return;
    }
    if (curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, &CVcurlShare::lock) != CURLSHE_OK ||
        curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, &CVcurlShare::unlock) != CURLSHE_OK ||
        curl_share_setopt(m_share, CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
        (sessions &&
         curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK)) {
        curl_share_cleanup(m_share);
        m_share = nullptr;
    }
}

CVcurlShare::~CVcurlShare() {
    if (m_share != nullptr) {
        curl_share_cleanup(m_share);
    }
    X509_STORE_free(m_store);
}

bool CVcurlShare::trustCas(void* sslContext, const std::string& file, const std::string& path) {
    std::lock_guard<std::mutex> guard(m_storeMutex);
    if (!m_storeLoaded) {
        m_storeLoaded = true;
        m_store = X509_STORE_new();
        if (m_store != nullptr &&
            X509_STORE_load_locations(m_store, file.empty() ? nullptr : file.c_str(),
                                      path.empty() ? nullptr : path.c_str()) != 1) {
            X509_STORE_free(m_store);
            m_store = nullptr;
        }
        // libcurl's own store trusts a CA file's intermediate certificates as well.
        if (m_store != nullptr) {
            X509_STORE_set_flags(m_store, X509_V_FLAG_PARTIAL_CHAIN);
        }
    }
    if (m_store == nullptr) {
        return false;
    }
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), m_store);
    return true;
}

void CVcurlShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CVcurlShare*>(self)->m_mutexes[data].lock();
}

void CVcurlShare::unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CVcurlShare*>(self)->m_mutexes[data].unlock();
}
