#include "StubOptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace stub {

namespace {

long long parseNumber(const std::string& option, const std::string& text, long long low,
                      long long high) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < low || value > high) {
        throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

int parseInt(const std::string& option, const std::string& text, long low, long high) {
    return static_cast<int>(parseNumber(option, text, low, high));
}

class ArgumentReader {
public:
    explicit ArgumentReader(const std::vector<std::string>& args) : m_args(args) {}

    bool more() const { return m_next < m_args.size(); }
    const std::string& take() { return m_args[m_next++]; }
    const std::string& valueOf(const std::string& option) {
        if (!more()) {
            throw UsageError(option + " needs a value");
        }
        return take();
    }

private:
    const std::vector<std::string>& m_args;
    size_t m_next = 0;
};

void checkCombination(const StubOptions& options) {
    if (options.certPath.empty() != options.keyPath.empty()) {
        throw UsageError("--cert and --key go together");
    }
    if (!options.redirectTo.empty() && options.statusGiven &&
        (options.status < 300 || options.status > 399)) {
        throw UsageError("--redirect-to needs a --status from 300 to 399");
    }
}

}  // namespace

StubOptions parseStubOptions(const std::vector<std::string>& args) {
    StubOptions options;
    ArgumentReader reader(args);
    while (reader.more()) {
        const std::string option = reader.take();
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--port") {
            options.port = parseInt(option, reader.valueOf(option), 0, 65535);
        } else if (option == "--record") {
            options.recordPath = reader.valueOf(option);
        } else if (option == "--answer") {
            options.answer = reader.valueOf(option);
        } else if (option == "--status") {
            options.status = parseInt(option, reader.valueOf(option), 100, 599);
            options.statusGiven = true;
        } else if (option == "--redirect-to") {
            options.redirectTo = reader.valueOf(option);
        } else if (option == "--answer-bytes") {
            options.answerBytes = parseNumber(option, reader.valueOf(option), 4, LLONG_MAX);
        } else if (option == "--hang") {
            options.hang = true;
        } else if (option == "--delay-ms") {
            options.delayMs = parseInt(option, reader.valueOf(option), 0, INT_MAX);
        } else if (option == "--drop") {
            options.drop = true;
        } else if (option == "--refuse-ms") {
            options.refuseMs = parseInt(option, reader.valueOf(option), 0, INT_MAX);
        } else if (option == "--unavailable-ms") {
            options.unavailableMs = parseInt(option, reader.valueOf(option), 0, INT_MAX);
        } else if (option == "--drop-every") {
            options.dropEvery = parseInt(option, reader.valueOf(option), 1, INT_MAX);
        } else if (option == "--fail-every") {
            options.failEvery = parseInt(option, reader.valueOf(option), 1, INT_MAX);
        } else if (option == "--cert") {
            options.certPath = reader.valueOf(option);
        } else if (option == "--key") {
            options.keyPath = reader.valueOf(option);
        } else {
            throw UsageError("unknown argument '" + option + "'");
        }
    }
    checkCombination(options);
    if (!options.redirectTo.empty() && !options.statusGiven) {
        options.status = 307;
    }
    return options;
}

const char* stubUsageText() {
    return R"USAGE(Usage: corvanexs-stub [OPTION]...
A stand-in for the CorvaneXS messaging web server, for tests, demos and benchmarks.
It listens on 127.0.0.1 only, speaks HTTP/1.0 and HTTP/1.1 (HTTPS with --cert and
--key), and accepts GET, POST, PUT, DELETE, PATCH and OPTIONS on any path.

Its first line of standard output is the port it listens on, so that a script can
start it with --port 0 and read the port. It then serves until SIGTERM or SIGINT and
exits with status 0.

Options:
  --port N         listen on port N; 0 (the default) takes any free port
  --record FILE    append one JSON line per request to FILE, flushed per request:
                     {"time":"2025-01-31T12:00:00.123Z","method":"POST","path":"/send",
                      "params":[["cmd","Cli"],["message","Hello world"]],
                      "body":"cmd=Cli&message=Hello%20world"}
                   time is UTC with milliseconds; path is the decoded path without the
                   query; params are the decoded form parameters in the order sent,
                   taken from the body of a POST or PUT whose Content-Type is
                   application/x-www-form-urlencoded and from the query string
                   otherwise ("+" is a space; a parameter without "=" has the value "");
                   body is the raw request body. In JSON strings every byte from 0x7f
                   up is written as \u00XX, so each code point below 256 stands for one
                   byte of the request. Dropped and failed requests are recorded too.
  --answer TEXT    body of a normal answer (default "200 OK"; text/plain)
  --status N       HTTP status of a normal answer (default 200)
  --delay-ms N     wait N milliseconds before answering (or dropping)
  --fail-every N   answer every Nth request (counting all requests from 1) with
                   status 500 and the body "500 Internal error"
  --drop           shut every connection down without an answer once the request has
                   been read and recorded: libcurl then fails with 52, "Server returned
                   nothing (no headers, no data)", over HTTP and HTTPS alike; takes
                   precedence over --fail-every
  --drop-every N   drop every Nth request (counting from 1) as --drop does; takes
                   precedence over --fail-every
  --refuse-ms N    for the first N milliseconds the port is bound but not listened on,
                   so connections are refused (the port is printed at once all the same)
  --unavailable-ms N
                   for the first N milliseconds after the start answer every request
                   with status 503 and the body "503 Service unavailable"
  --hang           never answer once the request has been read and recorded; the
                   connection stays open until the server stops
  --redirect-to URL
                   answer every request with a redirect to URL (its Location header,
                   which may be relative: "/send" makes a loop) and the status of
                   --status, which must then be 3xx (default 307)
  --answer-bytes N answer with a body of N bytes (at least 4) beginning "200 " instead
                   of --answer, streamed without holding it in memory
  --cert FILE      serve HTTPS with this PEM certificate ...
  --key FILE       ... and this PEM private key (both or neither)
  --help           show this text

Exit status: 0 after SIGTERM or SIGINT, 1 when the server cannot start (port taken,
record file or certificate unusable), 2 for a bad command line.
)USAGE";
}

}  // namespace stub
