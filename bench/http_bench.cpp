// Delivery's cost per message against the stand-in server on loopback: a bare libcurl POST on a
// fresh handle, the same POST through a fresh CVcurlService as delivery makes it, and the stand-
// in's own capacity over one kept-alive connection, which must stay well above the other two.
// Then the service over HTTPS, verified against the test CA, with the TLS sessions shared as the
// daemon shares them and without, and bare libcurl with shared sessions, the floor of a new
// connection per message. Prints the ratios of the median rates at the end. The runs are
// interleaved at random unless the command line says otherwise, so that no benchmark gains or
// loses by its place (the loopback's sockets in TIME_WAIT pile up over a run).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CVcurlService.h"
#include "CVcurlShare.h"

namespace {

const char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)";
const char kBody[] = "cmd=Cli&rcv_name=Jane&priority=3&modid=cli&message=Hello%20world";
const char kPlain[] = "BM_PlainCurlPost";
const char kService[] = "BM_CurlServicePost";
const char kReuse[] = "BM_CurlServiceHttpsReuse";
const char kNoReuse[] = "BM_CurlServiceHttpsNoReuse";
const char kPlainReuse[] = "BM_PlainCurlHttpsReuse";

using bench::Stub;

Stub stub;
Stub httpsStub;

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// The options the service sets for a POST, so that (1) and (2) differ only by the wrapper (and
// its stop hook, which delivery always sets).
void setPostOptions(CURL* curl, const std::string& url, std::string& headers, std::string& answer) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_AUTOREFERER, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(kBody)));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
}

// (1) The floor: what one POST on a new handle costs without any wrapper. With a share, over
// HTTPS: the floor of session reuse on a new connection per message.
void plainPosts(benchmark::State& state, const std::string& url, CURLSH* share) {
    for (auto _ : state) {
        std::string headers, answer;
        CURL* curl = curl_easy_init();
        setPostOptions(curl, url, headers, answer);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
        curl_easy_setopt(curl, CURLOPT_CAINFO, bench::testCa("ca.pem").c_str());
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
        const CURLcode rc = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (rc != CURLE_OK || answer.compare(0, 4, "200 ") != 0) {
            state.SkipWithError(curl_easy_strerror(rc));
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PlainCurlPost(benchmark::State& state) {
    plainPosts(state, stub.url(), nullptr);
}
BENCHMARK(BM_PlainCurlPost)->UseRealTime();

void BM_PlainCurlHttpsReuse(benchmark::State& state) {
    CURLSH* share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    plainPosts(state, httpsStub.url(), share);
    curl_share_cleanup(share);
}
BENCHMARK(BM_PlainCurlHttpsReuse)->UseRealTime();

// Delivery's sequence for one message file, with its stop hook.
bool deliver(const std::string& url, CVcurlSettings settings, std::string& error) {
    CVcurlRequest request;
    request.url = url;
    request.method = CVcurlPost;
    request.parameters = {"cmd=Cli", "rcv_name=Jane", "priority=3", "modid=cli",
                          "message=Hello world"};
    settings.stopRequested = [] { return false; };
    CVcurlService service(true, std::move(settings));
    service.Open();
    const int rc = service.SendRequest(request);
    service.Close();
    const char* body = service.GetResponseBody();
    CVcurlService::ReleaseRequest(request);
    if (rc != 0 || body == nullptr || std::strncmp(body, "200 ", 4) != 0) {
        error = CVcurlService::GetErrorText(rc);
        return false;
    }
    return true;
}

// (2) Delivery over HTTP.
void BM_CurlServicePost(benchmark::State& state) {
    std::string error;
    for (auto _ : state) {
        if (!deliver(stub.url(), CVcurlSettings(), error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CurlServicePost)->UseRealTime();

// (4) and (5) Delivery over HTTPS, verified against the test CA as a ca-bundle.crt, with the
// daemon's share (each handle resumes the session before it) and with one that shares the CAs
// only.
void httpsPosts(benchmark::State& state, CVcurlShare* share) {
    CVcurlSettings settings;
    settings.caFile = bench::testCa("ca.pem");
    settings.share = share;
    std::string error;
    for (auto _ : state) {
        if (!deliver(httpsStub.url(), settings, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CurlServiceHttpsReuse(benchmark::State& state) {
    CVcurlShare share;
    httpsPosts(state, &share);
}
BENCHMARK(BM_CurlServiceHttpsReuse)->UseRealTime();

void BM_CurlServiceHttpsNoReuse(benchmark::State& state) {
    CVcurlShare share(false);
    httpsPosts(state, &share);
}
BENCHMARK(BM_CurlServiceHttpsNoReuse)->UseRealTime();

// (3) The stand-in's capacity: one handle, HTTP/1.1, the connection kept alive.
void BM_StubKeepAlive(benchmark::State& state) {
    std::string headers, answer;
    CURL* curl = curl_easy_init();
    setPostOptions(curl, stub.url(), headers, answer);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    for (auto _ : state) {
        headers.clear();
        answer.clear();
        const CURLcode rc = curl_easy_perform(curl);
        if (rc != CURLE_OK || answer.compare(0, 4, "200 ") != 0) {
            state.SkipWithError(curl_easy_strerror(rc));
            break;
        }
    }
    curl_easy_cleanup(curl);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StubKeepAlive)->UseRealTime();

void printRatio(const char* what, double numerator, double denominator, double target) {
    if (numerator > 0 && denominator > 0) {
        const double ratio = numerator / denominator;
        std::printf("%s: %.0f / %.0f requests/s = %.3f (%s %.2f)\n", what, numerator, denominator,
                    ratio, ratio >= target ? "meets" : "MISSES", target);
    }
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_ALL);
    if (!stub.start() || !httpsStub.start(bench::httpsStubOptions(), "https")) {
        std::fprintf(stderr, "cannot start %s\n", CORVANEXS_STUB_PATH);
        return 1;
    }
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    bool given = false;
    for (int i = 1; i < argc; ++i) {
        given |= std::strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0;
    }
    if (!given) {
        args.insert(args.begin() + 1, interleave.data());
    }
    const int status = bench::runBenchmarks(
        static_cast<int>(args.size()), args.data(), [](bench::ResultReporter& reporter) {
            const auto median = [&](const char* name) {
                return reporter.value(name, "items_per_second", "median");
            };
            const double service = median(kService);
            const double reuse = median(kReuse);
            printRatio("CVcurlService / plain libcurl", service, median(kPlain), 0.85);
            printRatio("HTTPS with session reuse / without", reuse, median(kNoReuse), 1.5);
            printRatio("HTTPS with session reuse / HTTP", reuse, service, 0.5);
            // What libcurl itself reaches with a new connection per message: the bound on the
            // line above.
            printRatio("Plain libcurl, HTTPS with session reuse / HTTP", median(kPlainReuse),
                       median(kPlain), 0.5);
        });
    curl_global_cleanup();
    return status;
}
