#include "CVFIdelivery.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "CVFIdaemon.h"
#include "CVFIresources.h"
#include "CVcurlService.h"
#include "CVcurlShare.h"
#include "CVfileDescriptor.h"
#include "CVioPath.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

namespace fs = std::filesystem;

// Shared by every delivery; changed only by start and stop, on the main thread.
struct DeliverySetup {
    CVcurlSettings settings;
    std::unique_ptr<CVcurlShare> share;
};

DeliverySetup& deliverySetup() {
    static DeliverySetup setup;
    return setup;
}

std::string absolutePath(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

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

// Errors of the daemon's own settings: no later attempt can do better.
bool isConfigurationError(int code) {
    return code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL ||
           code == CURLE_TOO_MANY_REDIRECTS;
}

bool accepted(const char* body) {
    return body == nullptr || std::strncmp(body, "200 ", 4) == 0;
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

void CVFIstartDelivery() {
    DeliverySetup& setup = deliverySetup();
    setup.settings.verifyPeer = g_corfiValues.tlsVerify != 0;
    const std::string bundle = CVioPath::joinSlashed(g_corfiPaths.configDir, "ca-bundle.crt");
    std::error_code error;
    setup.settings.caFile = fs::is_regular_file(bundle, error) ? absolutePath(bundle) : "";
    setup.settings.tempDir = absolutePath(g_corfiPaths.tempDir);
    setup.share = std::make_unique<CVcurlShare>(std::getenv("CORFI_BENCH_NO_TLS_REUSE") == nullptr);
    setup.settings.share = setup.share.get();
}

void CVFIstopDelivery() {
    DeliverySetup& setup = deliverySetup();
    setup.settings = CVcurlSettings();
    setup.share.reset();
}

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

CVcurlSettings CVFIdeliverySettings() {
    CVcurlSettings settings = deliverySetup().settings;
    settings.stopRequested = [] { return CVFIstopRequested(); };
    return settings;
}

bool CVFIisDue(const CVFImessage& record, time_t now) {
    return record.scheduledTime == 0 || now > record.scheduledTime;
}

CVFIresult CVFIjudgeTransfer(const CVcurlService& service, int code, const char* url) {
    CVFIresult result;
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        result.outcome = CVFI_INTERRUPTED;
        return result;
    }
    CVsysEventLogInterface* log = CVsysEventLogInterface::GetInstance(__LINE__, __FILE__);
    if (code != 0) {
        result.reason =
            formatString("Failed to send message to HTTP(s) server [%s] : %s",
                         CVsysUtility::hideUrlCredentials(url != nullptr ? url : "").c_str(),
                         CVcurlService::GetErrorText(code));
        log->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr, "%s", result.reason.c_str());
        result.transient = !isConfigurationError(code);
        return result;
    }
    const char* body = service.GetResponseBody();
    result.reason = formatString("HTTP(s) server returns [%s]\n", body != nullptr ? body : "");
    log->LogInfo(nullptr, "%s", result.reason.c_str());
    result.reason.pop_back();
    if (accepted(body)) {
        result.outcome = CVFI_DELIVERED;
        result.reason.clear();
        return result;
    }
    const long status = service.GetResponseCode();
    result.transient = status == 429 || (status >= 500 && status <= 599);
    return result;
}

CVFIoutcome CVFIdeliverMessage(const CVFImessage& record, const char* url, time_t now,
                               CVFIresult* result) {
    CVFIresult judged;
    if (!record.valid) {
        judged.reason = record.lastError;
    } else if (!CVFIisDue(record, now)) {
        judged.outcome = CVFI_NOT_DUE;
    } else {
        CVcurlRequest request;
        CVFIbuildRequest(record, url, request);
        CVcurlService service(true, CVFIdeliverySettings());
        service.Open();
        const int code = service.SendRequest(request);
        judged = CVFIjudgeTransfer(service, code, url);
        service.Close();
        CVcurlService::ReleaseRequest(request);
    }
    if (result != nullptr) {
        *result = judged;
    }
    return judged.outcome;
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

void CVFIlogInterrupted(const char* name) {
    CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
        ->LogInfo(nullptr, "Delivery of [%s] interrupted by stop; kept for the next start\n", name);
}
