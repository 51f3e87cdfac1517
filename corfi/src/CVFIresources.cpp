#include "CVFIresources.h"

CVFIresourceValues g_corfiValues;

CVresource g_corfiResources[CVFI_RESOURCE_COUNT] = {
    {"config_dir", CV_RES_TEXT, g_corfiValues.configDir, sizeof g_corfiValues.configDir, nullptr,
     CV_RES_REQUIRED, "Location of the configuration directory", false},
    {"spool_dir", CV_RES_TEXT, g_corfiValues.spoolDir, sizeof g_corfiValues.spoolDir, nullptr,
     CV_RES_REQUIRED, "Location of the email spool directory", false},
    {"log_dir", CV_RES_TEXT, g_corfiValues.logDir, sizeof g_corfiValues.logDir,
     "/usr/local/corvane/logs", CV_RES_REQUIRED, "Directory of the log file, eg, /temp", false},
    {"log_file", CV_RES_TEXT, g_corfiValues.logFile, sizeof g_corfiValues.logFile, "corfilog.txt",
     CV_RES_REQUIRED, "Name of the log file, eg, corfilog.txt", false},
    {"logfile_size", CV_RES_INT, &g_corfiValues.logfileSize, 0, "602000", CV_RES_REQUIRED,
     "Max logfile size", false},
    {"logfile_history", CV_RES_INT, &g_corfiValues.logfileHistory, 0, "20", CV_RES_REQUIRED,
     "Number of logfile archives to keep", false},
    {"corvanexs_url", CV_RES_TEXT, g_corfiValues.corvanexsUrl, sizeof g_corfiValues.corvanexsUrl,
     "http://127.0.0.1:8000/", CV_RES_REQUIRED, "CorvaneXS URL, eg, http://127.0.0.1:8000/", false},
    {"rest", CV_RES_INT, &g_corfiValues.rest, 0, "60", CV_RES_REQUIRED,
     "Time to rest between message monitorings", false},
    {"debug", CV_RES_INT, &g_corfiValues.debug, 0, "0", CV_RES_HIDDEN, "Debug level", false},
    {"service version", CV_RES_TEXT, g_corfiValues.serviceVersion,
     sizeof g_corfiValues.serviceVersion, "4.7.639", CV_RES_OPTIONAL, "The version for this daemon",
     false},
    {"bulk_enable", CV_RES_BOOL, &g_corfiValues.bulkEnable, 0, "FALSE", CV_RES_REQUIRED,
     "Enable Bulk Message file Pooling", false},
    {"bulk_dir", CV_RES_TEXT, g_corfiValues.bulkDir, sizeof g_corfiValues.bulkDir, nullptr,
     CV_RES_OPTIONAL, "Bulk Message File Spool Directory", false},
    {"bulk_file_pattern", CV_RES_TEXT, g_corfiValues.bulkFilePattern,
     sizeof g_corfiValues.bulkFilePattern, "*", CV_RES_OPTIONAL, "Bulk Message File Name pattern",
     false},
    {"bulk_recipient_pattern", CV_RES_TEXT, g_corfiValues.bulkRecipientPattern,
     sizeof g_corfiValues.bulkRecipientPattern, nullptr, CV_RES_OPTIONAL,
     "Regular Expression to extract Recipient ID", false},
    {"bulk_message_pattern", CV_RES_TEXT, g_corfiValues.bulkMessagePattern,
     sizeof g_corfiValues.bulkMessagePattern, nullptr, CV_RES_OPTIONAL,
     "Regular Expression to extract Message", false},
    {"bulk_check_period", CV_RES_INT, &g_corfiValues.bulkCheckPeriod, 0, "60", CV_RES_OPTIONAL,
     "Interval for Spooling Bulk Directory", false},
    {"tls_verify", CV_RES_BOOL, &g_corfiValues.tlsVerify, 0, "TRUE", CV_RES_OPTIONAL,
     "Verify the HTTPS server's certificate and host name", false},
    {"spool_watch", CV_RES_BOOL, &g_corfiValues.spoolWatch, 0, "FALSE", CV_RES_OPTIONAL,
     "Send new message files at once instead of after the rest", false},
    {"max_parallel", CV_RES_INT, &g_corfiValues.maxParallel, 0, "1", CV_RES_OPTIONAL,
     "Messages posted at once (1 to 64)", false},
    {"foreground", CV_RES_BOOL, &g_corfiValues.foreground, 0, "FALSE", CV_RES_OPTIONAL,
     "Stay in the foreground instead of detaching", false},
    {"retry_period", CV_RES_INT, &g_corfiValues.retryPeriod, 0, "0", CV_RES_OPTIONAL,
     "Seconds a message is retried while the server is away (0: never)", false},
    {"failed_dir", CV_RES_TEXT, g_corfiValues.failedDir, sizeof g_corfiValues.failedDir, nullptr,
     CV_RES_OPTIONAL, "Directory that keeps the message files that failed", false},
};

void CVFIresetResources() {
    g_corfiValues = CVFIresourceValues{};
    for (CVresource& entry : g_corfiResources) {
        entry.set = false;
    }
}
