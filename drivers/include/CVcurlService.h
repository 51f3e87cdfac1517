// One HTTP or HTTPS request at a time through one libcurl easy handle, with the response
// headers and body captured as text (the first 65,536 bytes of each; the rest is read and
// dropped).
//
// Every failure is reported as a libcurl result code (CURLcode as int, 0 is success); nothing
// here throws. The program calls curl_global_init once before it starts any thread. A service
// belongs to one thread at a time; nothing in it is guarded by a lock.
//
// TLS is verified unless the settings say otherwise. Redirects: at most 5, to http or https
// only, and from an https url to https only. A connection must be made within 30 seconds and
// the whole transfer done within 300.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CVcurlRequest.h"
#include "CVcurlSettings.h"
#include "CVtextBuffer.h"

class CVcurlService {
public:
    // The body buffer starts with 4,096 bytes when `allocateBody` is set, else with none (it
    // then gets storage from the first response); the header buffer starts with 4,096. Both
    // grow to what an answer needs, at most 65,536 bytes.
    explicit CVcurlService(bool allocateBody = true, CVcurlSettings settings = CVcurlSettings());
    virtual ~CVcurlService();  // closes as Close() does
    CVcurlService(const CVcurlService&) = delete;
    CVcurlService& operator=(const CVcurlService&) = delete;

    // Creates the easy handle; true when open already. False only when libcurl fails.
    virtual bool Open();
    // Drops the handle and the extra headers; encoding and cookie text are switched back on.
    virtual void Close();
    // Sends `request` (opening the service when needed) and waits for the whole answer, at
    // most 300 seconds. Backslashes in request.url become '/'; a GET stores the composed url
    // there. Returns 3 for an empty url, 2 when no handle can be made, 23 when the upload
    // file cannot be created, 1 for an unknown method, else curl_easy_perform's result (42
    // when the settings' stop hook ended the transfer).
    virtual int SendRequest(CVcurlRequest& request);
    // The same request in steps, for a driver that runs several transfers at once: prepares the
    // transfer on EasyHandle() (opening the service when needed) and returns CURLE_OK or the
    // code SendRequest would give up with. The driver performs the handle; EndRequest then
    // releases what the transfer needed. `request` must outlive the transfer.
    int BeginRequest(CVcurlRequest& request);
    void EndRequest();
    CURL* EasyHandle() const { return m_handle; }

    // Appends the parameters joined with '&' and then the extra text (unencoded). A parameter
    // with an empty name ("=v") contributes its value alone. Every piece is encoded whole.
    virtual void BuildParameters(const CVcurlRequest& request, CVtextBuffer& buffer);
    // The string form: no bound, "=v" keeps its '=', and the extra text is encoded too.
    virtual void BuildParameterString(const std::vector<std::string>& parameters,
                                      const std::string& extra, std::string& output);

    // Null only while the body buffer has no storage.
    const char* GetResponseBody() const { return m_body.data; }
    const char* GetResponseHeaders() const { return m_headers.data; }
    static const char* GetErrorText(int code);
    // HTTP status of the last transfer; 0 when there was none or the service is closed.
    long GetResponseCode() const;
    // Empties every field of the record.
    static void ReleaseRequest(CVcurlRequest& request);

    bool IsOpen() const { return m_open != 0; }
    // Percent-encoding of parameters (on by default and after every Close).
    void SetEncodeParameters(bool encode) { m_encode = encode; }

    // Extra request header lines ("Name: value"), sent with every request until cleared or
    // closed. Both return false when the service is not open.
    bool AddHeader(const char* header);
    bool ClearHeaders();
    // Keeps cookies in "cookie.jar" of the temporary directory (read on each request, written
    // on Close); the request's cookie text is ignored meanwhile. False when not open.
    bool UseCookieJar();
    // Reopens the service with the jar deleted and then in use again. False when not open.
    bool ResetCookies();
    // GETs `url` into the file at `path`, deleted again unless the result is 0. A `caFile`
    // replaces the settings' CA file. Returns 3 for an empty url, 2 when no handle can be
    // made, 23 when the file cannot be created.
    int DownloadToFile(const std::string& url, const std::string& path,
                       const std::string& proxy = std::string(),
                       const std::string& proxyUser = std::string(),
                       const std::string& proxyPassword = std::string(),
                       const std::string& caFile = std::string());

    // Letters, digits and "/_." stay; every other byte becomes '%' and two lower-case hex
    // digits. The buffer form writes a zero-terminated text and stops once the text has
    // reached capacity - 4 characters; below a capacity of 5 it writes nothing. Returns the
    // text's length.
    static size_t UrlEncode(const char* input, char* output, size_t capacity);
    static std::string UrlEncode(const std::string& input);

private:
    class UploadFile;  // the temporary file a PUT uploads from

    int begin(CVcurlRequest& request);
    void appendPiece(CVtextBuffer& buffer, const char* piece, size_t size) const;
    std::string encodePiece(const std::string& piece) const;
    // Every option of one transfer of `request` on the handle; CURLE_OK or the code to give up
    // with. `parameters` and `upload` must outlive the transfer.
    int prepareTransfer(CVcurlRequest& request, const CVtextBuffer& parameters, UploadFile& upload);
    void setSafetyOptions(const std::string& url, const std::string& caFile);
    static CURLcode onSslContext(CURL* handle, void* sslContext, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    bool stopDue();
    std::string tempPath(const std::string& name) const;
    void useJar();
    int download(const std::string& url, FILE* file, const std::string& proxy,
                 const std::string& proxyUser, const std::string& proxyPassword,
                 const std::string& caFile);

    const CVcurlSettings m_settings;
    std::string m_defaultCaFile;  // libcurl's own, read from the handle when it is made
    std::string m_defaultCaPath;
    std::string m_trustedFile;  // the CAs of the transfer under way, when it verifies
    std::string m_trustedPath;
    bool m_stopSeen = false;  // the stop hook has asked for a stop during this transfer
    std::chrono::steady_clock::time_point m_stopSince;
    CURL* m_handle = nullptr;  // only while open
    curl_slist* m_headerList = nullptr;
    bool m_encode = true;
    CVtextBuffer m_headers;
    CVtextBuffer m_body;
    CVtextBuffer m_parameters;             // the posted text, while a transfer needs it
    std::unique_ptr<UploadFile> m_upload;  // the file a PUT sends, while a transfer needs it
    int m_open = 0;
    bool m_cookieText = true;  // no cookie jar in use: the request's cookie text is sent
};
