// Delivery of one message file to the messaging web server, and its outcome lines.
#pragma once

#include <ctime>

#include "CVFImessage.h"
#include "CVcurlRequest.h"

enum CVFIoutcome { CVFI_NOT_DUE = 0, CVFI_DELIVERED, CVFI_NOT_DELIVERED };

// Fills the POST request of a valid record: cmd, target, priority, modid, [jobid], [pin],
// message, in that order.
void CVFIbuildRequest(const CVFImessage& record, const char* url, CVcurlRequest& request);
// For a valid record: NOT_DUE while `now` is not later than its scheduled time; otherwise
// posts it and logs the server's answer or the transfer error. An invalid record is
// NOT_DELIVERED without any request.
int CVFIdeliverMessage(const CVFImessage& record, const char* url, time_t now);
// "COMPLETED RCPT(%s), MSG(%s)\n" and its group and quick forms.
void CVFIlogCompleted(const CVFImessage& record);
// "FAILED RCPT(%s), MSG(%s)\n", its group and quick forms, or "FAILED Parsing error\n".
void CVFIlogFailed(const CVFImessage& record);
