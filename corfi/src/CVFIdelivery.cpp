#include "CVFIdelivery.h"

#include <cstring>
#include <string>

#include "CVcurlService.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"

namespace {

std::string parameter(const char* name, const std::string& value) {
    return std::string(name) + "=" + value;
}

std::string targetParameter(const CVFImessage& record) {
    switch (record.kind) {
        case CVFI_KIND_GROUP:
            return parameter("grp_name", record.group);
        case CVFI_KIND_QUICK:
            return parameter("carrier_name", record.carrier);
        case CVFI_KIND_NAME:
            return parameter("name", record.receiver);
        default:
            return parameter("rcv_name", record.receiver);
    }
}

bool accepted(const char* body) {
    return body == nullptr || std::strncmp(body, "200 ", 4) == 0;
}

// Posts the request; true when the server took the message.
bool post(CVcurlRequest& request, const char* url) {
    CVcurlService service(true);
    service.Open();
    const int result = service.SendRequest(request);
    service.Close();
    if (result != 0) {
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                       "Failed to send message to HTTP(s) server [%s] : %s",
                       CVsysUtility::hideUrlCredentials(url).c_str(),
                       CVcurlService::GetErrorText(result));
        return false;
    }
    const char* body = service.GetResponseBody();
    CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
        ->LogInfo(nullptr, "HTTP(s) server returns [%s]\n", body != nullptr ? body : "");
    return accepted(body);
}

void logInfo(int line, const char* format, const std::string& a, const std::string& b) {
    CVsysEventLogInterface::GetInstance(line, __FILE__)
        ->LogInfo(nullptr, format, a.c_str(), b.c_str());
}

void logQuick(int line, const char* format, const CVFImessage& record) {
    CVsysEventLogInterface::GetInstance(line, __FILE__)
        ->LogInfo(nullptr, format, record.pin.c_str(), record.carrier.c_str(),
                  record.message.c_str());
}

}  // namespace

void CVFIbuildRequest(const CVFImessage& record, const char* url, CVcurlRequest& request) {
    request = CVcurlRequest();
    request.url = url != nullptr ? url : "";
    request.method = CVcurlPost;
    std::vector<std::string>& parameters = request.parameters;
    parameters.push_back("cmd=Cli");
    parameters.push_back(targetParameter(record));
    parameters.push_back("priority=3");
    parameters.push_back("modid=cli");
    if (!record.jobId.empty()) {
        parameters.push_back(parameter("jobid", record.jobId));
    }
    if (record.kind == CVFI_KIND_QUICK) {
        parameters.push_back(parameter("pin", record.pin));
    }
    parameters.push_back(parameter("message", record.message));
}

int CVFIdeliverMessage(const CVFImessage& record, const char* url, time_t now) {
    if (!record.valid) {
        return CVFI_NOT_DELIVERED;
    }
    if (record.scheduledTime != 0 && now <= record.scheduledTime) {
        return CVFI_NOT_DUE;
    }
    CVcurlRequest request;
    CVFIbuildRequest(record, url, request);
    const bool delivered = post(request, url != nullptr ? url : "");
    CVcurlService::ReleaseRequest(request);
    return delivered ? CVFI_DELIVERED : CVFI_NOT_DELIVERED;
}

void CVFIlogCompleted(const CVFImessage& record) {
    if (!record.receiver.empty()) {
        logInfo(__LINE__, "COMPLETED RCPT(%s), MSG(%s)\n", record.receiver, record.message);
    } else if (!record.group.empty()) {
        logInfo(__LINE__, "COMPLETED GROUP(%s), MSG(%s)\n", record.group, record.message);
    } else if (!record.pin.empty() && !record.carrier.empty()) {
        logQuick(__LINE__, "COMPLETED QUICK(%s), CAR(%s), MSG(%s)\n", record);
    }
}

void CVFIlogFailed(const CVFImessage& record) {
    const bool hasText = !record.message.empty();
    if (hasText && !record.receiver.empty()) {
        logInfo(__LINE__, "FAILED RCPT(%s), MSG(%s)\n", record.receiver, record.message);
    } else if (hasText && !record.group.empty()) {
        logInfo(__LINE__, "FAILED GROUP(%s), MSG(%s)\n", record.group, record.message);
    } else if (hasText && !record.pin.empty() && !record.carrier.empty()) {
        logQuick(__LINE__, "FAILED QUICK(%s), CAR(%s), MSG(%s)\n", record);
    } else {
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->LogInfo(nullptr, "FAILED Parsing error\n");
    }
}
