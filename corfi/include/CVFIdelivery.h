// Delivery of one message file to the messaging web server, and its outcome lines.
#pragma once

#include <ctime>
#include <string>

#include "CVFImessage.h"
#include "CVcurlRequest.h"
#include "CVcurlService.h"
#include "CVcurlSettings.h"

// INTERRUPTED: a stop ended the transfer; the file must stay for the next start.
enum CVFIoutcome { CVFI_NOT_DUE = 0, CVFI_DELIVERED, CVFI_NOT_DELIVERED, CVFI_INTERRUPTED };

// A delivery's outcome with what a retry or a failed directory needs to know of it.
struct CVFIresult {
    CVFIoutcome outcome = CVFI_NOT_DELIVERED;
    // Worth another attempt: a transfer error that waiting may cure (no connection, time-out,
    // TLS handshake, connection reset), or an answer with HTTP status 429 or 500 to 599.
    bool transient = false;
    std::string reason;  // the logged text that explains a failure
};

// Sets up what every delivery shares, once, after curl_global_init and while relative paths
// still resolve against the directory the daemon was started in: TLS verification unless
// tls_verify is not "TRUE", the configuration directory's ca-bundle.crt as the only trusted CA
// when it exists (else the system's CA store), the temporary directory, and one cache of TLS
// sessions and of the parsed CAs. Without it deliveries verify against the system's CA store and
// share nothing. CORFI_BENCH_NO_TLS_REUSE in the environment keeps the sessions out of the cache,
// for benchmarks.
void CVFIstartDelivery();
// Drops the session cache; call when no delivery runs any more.
void CVFIstopDelivery();

// Fills the POST request of a valid record: cmd, target, priority, modid, [jobid], [pin],
// message, in that order.
void CVFIbuildRequest(const CVFImessage& record, const char* url, CVcurlRequest& request);
// For a valid record: NOT_DUE while `now` is not later than its scheduled time; otherwise
// posts it and logs the server's answer or the transfer error. A stop request gives the
// transfer 5 more seconds before it is aborted (INTERRUPTED, nothing logged). An invalid record
// is NOT_DELIVERED without any request.
CVFIoutcome CVFIdeliverMessage(const CVFImessage& record, const char* url, time_t now,
                               CVFIresult* result = nullptr);
// True once `now` is later than the record's scheduled time, or when it has none.
bool CVFIisDue(const CVFImessage& record, time_t now);

// The pieces of a delivery, for a driver that posts several files at once: the settings of
// each file's service (TLS, shared sessions, the stop hook with its grace), and the judgement
// of a finished transfer, which logs the answer or the transfer error as a single delivery does.
CVcurlSettings CVFIdeliverySettings();
CVFIresult CVFIjudgeTransfer(const CVcurlService& service, int result, const char* url);
// "COMPLETED RCPT(%s), MSG(%s)\n" and its group and quick forms.
void CVFIlogCompleted(const CVFImessage& record);
// "FAILED RCPT(%s), MSG(%s)\n", its group and quick forms, or "FAILED Parsing error\n".
void CVFIlogFailed(const CVFImessage& record);
// "Delivery of [%s] interrupted by stop; kept for the next start\n" with the file's name.
void CVFIlogInterrupted(const char* name);
