#include "CVcurlShare.h"

CVcurlShare::CVcurlShare() : m_share(curl_share_init()) {
    if (m_share == nullptr) {
        return;
    }
    if (curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, &CVcurlShare::lock) != CURLSHE_OK ||
        curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, &CVcurlShare::unlock) != CURLSHE_OK ||
        curl_share_setopt(m_share, CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
        curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
        curl_share_cleanup(m_share);
        m_share = nullptr;
    }
}

CVcurlShare::~CVcurlShare() {
    if (m_share != nullptr) {
        curl_share_cleanup(m_share);
    }
}

void CVcurlShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CVcurlShare*>(self)->m_mutexes[data].lock();
}

void CVcurlShare::unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CVcurlShare*>(self)->m_mutexes[data].unlock();
}
