#include "CVcurlService.h"

#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <sstream>

#include "CVcurlShare.h"
#include "CVioFile.h"
#include "CVioStream.h"

namespace {

// Small to start with: answers are short, and buffers of 100 KiB per request cost page faults
// whenever the allocator has given the memory back in between.
const int32_t kHeaderCapacity = 4096;
const int32_t kBodyCapacity = 4096;
const int32_t kParameterCapacity = 4096;
const size_t kScratchCapacity = 4096;
const size_t kKeptBytes = 65536;  // of the body and of the headers; the rest is dropped
const size_t kMaxProxyCredentials = 1022;
const long kTimeoutSeconds = 300;
const long kConnectTimeoutSeconds = 30;
const long kMaxRedirects = 5;
const char kCookieJar[] = "cookie.jar";
const char kUploadPrefix[] = "CVFileUpload.";
const char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)";
const char kDownloadUserAgent[] = "Mozilla/4.0";

}  // namespace

// Gone again when the request is over. Named only when a PUT creates it, so other methods cost
// no file-system call.
class CVcurlService::UploadFile {
public:
    UploadFile() = default;
    ~UploadFile() {
        m_file.reset();
        if (!m_path.empty() && CVioFile::exists(m_path)) {
            CVioFile::remove(m_path);
        }
    }
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    // Writes `text` into a new file at `path` and rewinds; null when it cannot be created or
    // written.
    FILE* create(const std::string& path, const char* text, size_t length) {
        m_path = path;
        m_file.reset(fopen(m_path.c_str(), "w+e"));
        if (!m_file || fwrite(text, 1, length, m_file.get()) != length ||
            fseek(m_file.get(), 0, SEEK_SET) != 0) {
            return nullptr;
        }
        return m_file.get();
    }

private:
    std::string m_path;
    CVioStream m_file;
};

namespace {

bool isPlain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '_' || c == '.';
}

// Encodes `size` bytes; stops at the end or once `limit` characters are written.
template <typename Sink>
void encodeBytes(const char* input, size_t size, size_t limit, size_t& written, Sink sink) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < size && written < limit; ++i) {
        const auto c = static_cast<unsigned char>(input[i]);
        if (isPlain(c)) {
            sink(static_cast<char>(c));
            written += 1;
        } else {
            sink('%');
            sink(kHex[c >> 4]);
            sink(kHex[c & 15]);
            written += 3;
        }
    }
}

size_t encodeInto(const char* input, size_t size, char* output, size_t capacity) {
    if (input == nullptr || output == nullptr || capacity < 5) {
        return 0;
    }
    size_t written = 0;
    char* out = output;
    encodeBytes(input, size, capacity - 4, written, [&out](char c) { *out++ = c; });
    *out = '\0';
    return written;
}

// Keeps what fits below kKeptBytes and reports everything as taken, so that a long answer
// neither grows the buffer nor fails the transfer.
size_t appendToBuffer(char* data, size_t size, size_t count, void* target) {
    const size_t bytes = size * count;
    if (data == nullptr || bytes == 0) {
        return 0;
    }
    auto* buffer = static_cast<CVtextBuffer*>(target);
    if (buffer == nullptr) {
        return fwrite(data, 1, bytes, stdout);
    }
    const auto kept = static_cast<size_t>(buffer->length);
    const size_t take = std::min(bytes, kept < kKeptBytes ? kKeptBytes - kept : 0);
    // A short count makes libcurl abort the transfer instead of losing data silently.
    if (take > 0 && !textBufferAppend(*buffer, data, take)) {
        return 0;
    }
    return bytes;
}

size_t writeToFile(char* data, size_t size, size_t count, void* file) {
    return fwrite(data, 1, size * count, static_cast<FILE*>(file));
}

const char* textOf(const CVtextBuffer& buffer) {
    return buffer.data != nullptr ? buffer.data : "";
}

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

void replaceBackslashes(std::string& url) {
    std::replace(url.begin(), url.end(), '\\', '/');
}

// The handle outlives a request: undo what an earlier one may have left that would change
// what this one sends.
void forgetEarlierRequest(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_REFERER, static_cast<char*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_COOKIE, static_cast<char*>(nullptr));
}

void setProxy(CURL* handle, const std::string& proxy, const std::string& user,
              const std::string& password) {
    curl_easy_setopt(handle, CURLOPT_PROXY, orNull(proxy));
    if (user.empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, static_cast<char*>(nullptr));
        return;
    }
    std::string credentials = user + ":" + password;
    if (credentials.size() > kMaxProxyCredentials) {
        credentials.resize(kMaxProxyCredentials);
    }
    curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, credentials.c_str());
}

std::string composeGetUrl(const std::string& url, const CVtextBuffer& parameters) {
    std::string composed = url;
    const size_t question = composed.find('?');
    if (question == std::string::npos) {
        composed += '?';
    } else if (question + 1 < composed.size()) {
        composed += '&';
    }
    composed.append(textOf(parameters), static_cast<size_t>(parameters.length));
    return composed;
}

// Sets what the method needs; CURLE_OK or the code to give up with.
template <typename Upload>
int setMethod(CURL* handle, CVcurlRequest& request, const CVtextBuffer& parameters, Upload& upload,
              const std::string& uploadPath) {
    const auto length = static_cast<size_t>(parameters.length);
    switch (request.method) {
        case CVcurlPost:
            curl_easy_setopt(handle, CURLOPT_POST, 1L);
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, textOf(parameters));
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(length));
            return CURLE_OK;
        case CVcurlGet:
            request.url = composeGetUrl(request.url, parameters);
            curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
            return CURLE_OK;
        case CVcurlPut: {
            FILE* file = upload.create(uploadPath, textOf(parameters), length);
            if (file == nullptr) {
                return CURLE_WRITE_ERROR;
            }
            curl_easy_setopt(handle, CURLOPT_READDATA, file);
            curl_easy_setopt(handle, CURLOPT_INFILESIZE, static_cast<long>(length));
            curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);  // a PUT over HTTP
            return CURLE_OK;
        }
        case CVcurlDelete:
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "DELETE");
            return CURLE_OK;
    }
    return CURLE_UNSUPPORTED_PROTOCOL;
}

bool isHttps(const std::string& url) {
    return strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace

CVcurlService::CVcurlService(bool allocateBody, CVcurlSettings settings)
    : m_settings(std::move(settings)) {
    textBufferCreate(m_headers, kHeaderCapacity);
    textBufferCreate(m_body, allocateBody ? kBodyCapacity : 0);
}

CVcurlService::~CVcurlService() {
    Close();
    EndRequest();
}

bool CVcurlService::Open() {
    if (m_open != 0) {
        return true;
    }
    m_handle = curl_easy_init();
    if (m_handle == nullptr) {
        return false;
    }
    // The program is multi-threaded: no signals for resolver time-outs.
    curl_easy_setopt(m_handle, CURLOPT_NOSIGNAL, 1L);
    const char* text = nullptr;
    if (m_defaultCaFile.empty() &&
        curl_easy_getinfo(m_handle, CURLINFO_CAINFO, &text) == CURLE_OK && text != nullptr) {
        m_defaultCaFile = text;
    }
    if (m_defaultCaPath.empty() &&
        curl_easy_getinfo(m_handle, CURLINFO_CAPATH, &text) == CURLE_OK && text != nullptr) {
        m_defaultCaPath = text;
    }
    m_open = 1;
    return true;
}

void CVcurlService::Close() {
    if (m_open == 0) {
        return;
    }
    curl_easy_cleanup(m_handle);
    m_handle = nullptr;
    m_open = 0;
    m_encode = true;
    m_cookieText = true;
    if (m_headerList != nullptr) {
        curl_slist_free_all(m_headerList);
        m_headerList = nullptr;
    }
}

int CVcurlService::SendRequest(CVcurlRequest& request) {
    const int prepared = BeginRequest(request);
    const int result = prepared != CURLE_OK ? prepared : curl_easy_perform(m_handle);
    EndRequest();
    return result;
}

int CVcurlService::BeginRequest(CVcurlRequest& request) {
    try {
        return begin(request);
    } catch (const std::bad_alloc&) {
        return CURLE_OUT_OF_MEMORY;
    } catch (...) {
        // Only a subclass's parameter builder can get here.
        return CURLE_FAILED_INIT;
    }
}

void CVcurlService::EndRequest() {
    m_upload.reset();
    textBufferFree(m_parameters);
}

int CVcurlService::begin(CVcurlRequest& request) {
    EndRequest();
    if (request.url.empty()) {
        return CURLE_URL_MALFORMAT;
    }
    if (!Open()) {
        return CURLE_FAILED_INIT;
    }
    replaceBackslashes(request.url);
    textBufferClear(m_body);
    textBufferClear(m_headers);
    textBufferCreate(m_parameters, kParameterCapacity);
    BuildParameters(request, m_parameters);
    m_upload = std::make_unique<UploadFile>();
    return prepareTransfer(request, m_parameters, *m_upload);
}

int CVcurlService::prepareTransfer(CVcurlRequest& request, const CVtextBuffer& parameters,
                                   UploadFile& upload) {
    forgetEarlierRequest(m_handle);
    if (!request.referer.empty()) {
        curl_easy_setopt(m_handle, CURLOPT_REFERER, request.referer.c_str());
    }
    if (m_cookieText && !request.cookie.empty()) {
        curl_easy_setopt(m_handle, CURLOPT_COOKIE, request.cookie.c_str());
    }
    setProxy(m_handle, request.proxy, request.proxyUser, request.proxyPassword);
    const std::string uploadPath =
        request.method == CVcurlPut
            ? tempPath(kUploadPrefix + std::to_string(static_cast<unsigned>(getpid())) + "." +
                       std::to_string(static_cast<unsigned long>(pthread_self())) + "." +
                       std::to_string(static_cast<unsigned long>(time(nullptr))))
            : std::string();
    const int result = setMethod(m_handle, request, parameters, upload, uploadPath);
    if (result != CURLE_OK) {
        return result;
    }
    curl_easy_setopt(m_handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(m_handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(m_handle, CURLOPT_AUTOREFERER, 1L);
    curl_easy_setopt(m_handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(m_handle, CURLOPT_USERAGENT, kUserAgent);
    setSafetyOptions(request.url, m_settings.caFile);
    curl_easy_setopt(m_handle, CURLOPT_HEADERFUNCTION, &appendToBuffer);
    curl_easy_setopt(m_handle, CURLOPT_HEADERDATA, &m_headers);
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &appendToBuffer);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &m_body);
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headerList);
    return CURLE_OK;
}

// What any transfer of this service gets, downloads included: TLS verification, bounded
// redirects, time-outs, the shared TLS sessions and the stop hook.
void CVcurlService::setSafetyOptions(const std::string& url, const std::string& caFile) {
    const long verify = m_settings.verifyPeer ? 1L : 0L;
    curl_easy_setopt(m_handle, CURLOPT_SSL_VERIFYPEER, verify);
    curl_easy_setopt(m_handle, CURLOPT_SSL_VERIFYHOST, verify * 2);
    // Nothing to load when nothing is verified; a given CA file is the only one trusted. A share
    // parses the CAs once for all handles, where libcurl would parse them for each.
    m_trustedFile.clear();
    m_trustedPath.clear();
    if (m_settings.verifyPeer) {
        m_trustedFile = caFile.empty() ? m_defaultCaFile : caFile;
        m_trustedPath = caFile.empty() ? m_defaultCaPath : std::string();
    }
    const bool shareCas = m_settings.verifyPeer && m_settings.share != nullptr &&
                          m_settings.share->canShareCas() && caFile == m_settings.caFile;
    curl_easy_setopt(m_handle, CURLOPT_CAINFO, shareCas ? nullptr : orNull(m_trustedFile));
    curl_easy_setopt(m_handle, CURLOPT_CAPATH, shareCas ? nullptr : orNull(m_trustedPath));
    curl_easy_setopt(m_handle, CURLOPT_SSL_CTX_FUNCTION, shareCas ? &onSslContext : nullptr);
    curl_easy_setopt(m_handle, CURLOPT_SSL_CTX_DATA, this);

    curl_easy_setopt(m_handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(m_handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    // Never from https down to plain http, where anyone on the path could read the body.
    curl_easy_setopt(m_handle, CURLOPT_REDIR_PROTOCOLS_STR, isHttps(url) ? "https" : "http,https");

    curl_easy_setopt(m_handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(m_handle, CURLOPT_TIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(m_handle, CURLOPT_SHARE,
                     m_settings.share != nullptr ? m_settings.share->handle() : nullptr);

    m_stopSeen = false;
    const bool watched = static_cast<bool>(m_settings.stopRequested);
    curl_easy_setopt(m_handle, CURLOPT_NOPROGRESS, watched ? 0L : 1L);
    curl_easy_setopt(m_handle, CURLOPT_XFERINFOFUNCTION, watched ? &onProgress : nullptr);
    curl_easy_setopt(m_handle, CURLOPT_XFERINFODATA, this);
}

CURLcode CVcurlService::onSslContext(CURL*, void* sslContext, void* self) {
    auto* service = static_cast<CVcurlService*>(self);
    return service->m_settings.share->trustCas(sslContext, service->m_trustedFile,
                                               service->m_trustedPath)
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

int CVcurlService::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CVcurlService*>(self)->stopDue() ? 1 : 0;
}

// A hook that throws counts as a stop request: the caller can no longer say otherwise.
bool CVcurlService::stopDue() {
    bool requested = true;
    try {
        requested = m_settings.stopRequested();
    } catch (...) {
    }
    if (!requested) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!m_stopSeen) {
        m_stopSeen = true;
        m_stopSince = now;
    }
    return now - m_stopSince >= m_settings.stopGrace;
}

std::string CVcurlService::tempPath(const std::string& name) const {
    return m_settings.tempDir + "/" + name;
}

void CVcurlService::BuildParameters(const CVcurlRequest& request, CVtextBuffer& buffer) {
    for (size_t i = 0; i < request.parameters.size(); ++i) {
        const std::string& parameter = request.parameters[i];
        if (i > 0) {
            textBufferAppendText(buffer, "&");
        }
        const size_t equals = parameter.find('=');
        if (equals == std::string::npos) {
            appendPiece(buffer, parameter.data(), parameter.size());
            continue;
        }
        if (equals > 0) {
            appendPiece(buffer, parameter.data(), equals);
            textBufferAppendText(buffer, "=");
        }
        appendPiece(buffer, parameter.data() + equals + 1, parameter.size() - equals - 1);
    }
    const std::string& extra = request.extraParameters;
    if (!extra.empty()) {
        if (!request.parameters.empty()) {
            textBufferAppendText(buffer, "&");
        }
        textBufferAppend(buffer, extra.data(), extra.size());
    }
}

// Encodes through a small scratch area in slices, so that no piece is ever cut.
void CVcurlService::appendPiece(CVtextBuffer& buffer, const char* piece, size_t size) const {
    if (!m_encode) {
        textBufferAppend(buffer, piece, size);
        return;
    }
    char scratch[kScratchCapacity];
    const size_t slice = (kScratchCapacity - 4) / 3;  // input bytes that always fit encoded
    for (size_t done = 0; done < size; done += slice) {
        const size_t count = std::min(slice, size - done);
        textBufferAppend(buffer, scratch, encodeInto(piece + done, count, scratch, sizeof scratch));
    }
}

void CVcurlService::BuildParameterString(const std::vector<std::string>& parameters,
                                         const std::string& extra, std::string& output) {
    std::ostringstream text;
    for (size_t i = 0; i < parameters.size(); ++i) {
        const std::string& parameter = parameters[i];
        if (i > 0) {
            text << '&';
        }
        const size_t equals = parameter.find('=');
        if (equals == std::string::npos) {
            text << encodePiece(parameter);
        } else {
            text << encodePiece(parameter.substr(0, equals)) << '='
                 << encodePiece(parameter.substr(equals + 1));
        }
    }
    if (!extra.empty()) {
        if (!parameters.empty()) {
            text << '&';
        }
        text << encodePiece(extra);
    }
    output = text.str();
}

std::string CVcurlService::encodePiece(const std::string& piece) const {
    return m_encode ? UrlEncode(piece) : piece;
}

size_t CVcurlService::UrlEncode(const char* input, char* output, size_t capacity) {
    return input == nullptr ? 0 : encodeInto(input, strlen(input), output, capacity);
}

std::string CVcurlService::UrlEncode(const std::string& input) {
    std::string output;
    output.reserve(input.size() * 3);
    size_t written = 0;
    encodeBytes(input.data(), input.size(), SIZE_MAX, written, [&output](char c) { output += c; });
    return output;
}

const char* CVcurlService::GetErrorText(int code) {
    return curl_easy_strerror(static_cast<CURLcode>(code));
}

long CVcurlService::GetResponseCode() const {
    long code = 0;
    if (m_handle == nullptr ||
        curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        return 0;
    }
    return code;
}

void CVcurlService::ReleaseRequest(CVcurlRequest& request) {
    request = CVcurlRequest();
}

bool CVcurlService::AddHeader(const char* header) {
    if (m_open == 0 || header == nullptr) {
        return false;
    }
    curl_slist* list = curl_slist_append(m_headerList, header);
    if (list == nullptr) {
        return false;
    }
    m_headerList = list;
    return true;
}

bool CVcurlService::ClearHeaders() {
    if (m_open == 0 || m_headerList == nullptr) {
        return false;
    }
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    return true;
}

bool CVcurlService::UseCookieJar() {
    if (m_open == 0) {
        return false;
    }
    useJar();
    return true;
}

bool CVcurlService::ResetCookies() {
    if (m_open == 0) {
        return false;
    }
    Close();  // writes the jar, which is then dropped
    CVioFile::remove(tempPath(kCookieJar));
    if (!Open()) {
        return false;
    }
    useJar();
    return true;
}

void CVcurlService::useJar() {
    const std::string jar = tempPath(kCookieJar);
    curl_easy_setopt(m_handle, CURLOPT_COOKIEFILE, jar.c_str());
    curl_easy_setopt(m_handle, CURLOPT_COOKIEJAR, jar.c_str());
    m_cookieText = false;
}

int CVcurlService::DownloadToFile(const std::string& url, const std::string& path,
                                  const std::string& proxy, const std::string& proxyUser,
                                  const std::string& proxyPassword, const std::string& caFile) {
    try {
        if (url.empty()) {
            return CURLE_URL_MALFORMAT;
        }
        if (!Open()) {
            return CURLE_FAILED_INIT;
        }
        CVioStream file(fopen(path.c_str(), "wbe"));
        if (!file) {
            return CURLE_WRITE_ERROR;
        }
        int result = download(url, file.get(), proxy, proxyUser, proxyPassword, caFile);
        if (result == CURLE_OK && fflush(file.get()) != 0) {
            result = CURLE_WRITE_ERROR;
        }
        if (result != CURLE_OK) {
            CVioFile::remove(path);
        }
        return result;
    } catch (const std::bad_alloc&) {
        return CURLE_OUT_OF_MEMORY;
    }
}

int CVcurlService::download(const std::string& url, FILE* file, const std::string& proxy,
                            const std::string& proxyUser, const std::string& proxyPassword,
                            const std::string& caFile) {
    std::string target = url;
    replaceBackslashes(target);
    textBufferClear(m_headers);
    forgetEarlierRequest(m_handle);
    curl_easy_setopt(m_handle, CURLOPT_URL, target.c_str());
    setProxy(m_handle, proxy, proxyUser, proxyPassword);
    curl_easy_setopt(m_handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(m_handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(m_handle, CURLOPT_USERAGENT, kDownloadUserAgent);
    curl_easy_setopt(m_handle, CURLOPT_AUTOREFERER, 1L);
    setSafetyOptions(target, caFile.empty() ? m_settings.caFile : caFile);
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headerList);
    curl_easy_setopt(m_handle, CURLOPT_HEADERFUNCTION, &appendToBuffer);
    curl_easy_setopt(m_handle, CURLOPT_HEADERDATA, &m_headers);
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, &writeToFile);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, file);
    return curl_easy_perform(m_handle);
}
