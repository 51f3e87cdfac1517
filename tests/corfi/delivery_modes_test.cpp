// The daemon against each of the stand-in's modes that a careless HTTP client gets wrong: TLS
// verification, redirects, a server that never answers, a huge answer and a long message.
#include "DaemonHarness.h"

namespace {

using namespace corfitest;

enum class Check { OUTCOME, LOOP, DOWNGRADE, HANG, MEMORY, LONG_MESSAGE };

struct Mode {
    const char* name;
    const char* certificate;  // of the test CA, served over HTTPS; empty: plain HTTP
    bool caBundle;            // the test CA as config/ca-bundle.crt
    std::string config;       // lines of corfi_config
    Names options;            // of the stand-in
    std::string outcome;      // a log line that must come
    Check check = Check::OUTCOME;
};

const std::string kMessage = "RECEIVER: Jane\nMESSAGE: hi\n";
const std::string kCompleted = "COMPLETED RCPT(Jane), MSG(hi)\n";
const std::string kFailed = "FAILED RCPT(Jane), MSG(hi)\n";
const std::string kSendError = "[ERROR] Failed to send message to HTTP(s) server [";
const std::string kNotVerified = "] : SSL peer certificate or SSH remote key was not OK\n";
const std::string kTooManyRedirects = "] : Number of redirects hit maximum amount\n";
const std::string kLong(100000, 'm');

const Mode kModes[] = {
    {"VerifiedByTheCaBundle", "server", true, "", {}, kCompleted},
    {"NotVerifiedWithoutTheCaBundle", "server", false, "", {}, kNotVerified},
    {"TlsVerifyFalse", "server", false, "tls_verify: FALSE\n", {}, kCompleted},
    {"HostNameMismatch", "otherhost", true, "", {}, kNotVerified},
    // Turning verification off is what a host-name mismatch is worked around with.
    {"TlsVerifyFalseOnAMismatchedHost", "otherhost", false, "tls_verify: FALSE\n", {}, kCompleted},
    {"RedirectLoop", "", false, "", {"--redirect-to", "/send"}, kTooManyRedirects, Check::LOOP},
    {"HttpsToHttpRedirect", "server", true, "", {}, "] : Unsupported protocol\n", Check::DOWNGRADE},
    {"HangingServer", "", false, "", {"--hang"}, "", Check::HANG},
    {"HugeAnswer", "", false, "", {"--answer-bytes", "100000000"}, kCompleted, Check::MEMORY},
    // The event log cuts long lines; the stand-in's record shows the whole request.
    {"LongMessage", "", false, "", {}, "COMPLETED RCPT(Jane), MSG(mmmm", Check::LONG_MESSAGE},
};

void PrintTo(const Mode& mode, std::ostream* out) {
    *out << mode.name;
}

std::string testCa(const std::string& file) {
    return std::string(TEST_CA_DIR) + "/" + file;
}

class DeliveryModeTest : public DaemonTest, public ::testing::WithParamInterface<Mode> {
protected:
    void TearDown() override {
        plain.stop(SIGTERM);
        DaemonTest::TearDown();
    }
    // The stand-in and the installation for `mode`, with one message file in the spool.
    void prepare(const Mode& mode, const std::string& message) {
        Names options = mode.options;
        if (mode.check == Check::DOWNGRADE) {
            const int plainPort = startOtherStub(plain, "plain.jsonl");
            ASSERT_GT(plainPort, 0);
            options = {"--redirect-to", "http://127.0.0.1:" + std::to_string(plainPort) + "/send"};
        }
        if (*mode.certificate) {
            const std::string name = testCa(mode.certificate);
            options.insert(options.end(), {"--cert", name + ".pem", "--key", name + ".key"});
        }
        ASSERT_NO_FATAL_FAILURE(startStub(options));
        url = std::string(*mode.certificate ? "https" : "http") +
              "://127.0.0.1:" + std::to_string(port) + "/send";
        layout(mode.config + "corvanexs_url: " + url + "\n");
        if (mode.caBundle) {
            fs::copy_file(testCa("ca.pem"), at("config/ca-bundle.crt"));
        }
        drop("spool/corfi_1", message);
    }

    std::string url;
    testsupport::ChildProcess plain;  // the target of a redirect from https to http
};

TEST_P(DeliveryModeTest, EndsAsTheModeRequires) {
    const Mode& mode = GetParam();
    const bool longMessage = mode.check == Check::LONG_MESSAGE;
    ASSERT_NO_FATAL_FAILURE(
        prepare(mode, longMessage ? "RECEIVER: Jane\nMESSAGE: " + kLong + "\n" : kMessage));
    ASSERT_NO_FATAL_FAILURE(startDaemon());

    if (mode.check == Check::HANG) {
        ASSERT_TRUE(pollUntil([&] { return !record().empty(); }));
        daemon.signal(SIGTERM);
        ASSERT_TRUE(daemon.waitForExit(seconds(7 * testsupport::kSlowdown)));
        EXPECT_EQ(0, daemon.status());
        EXPECT_EQ(1, countInLog("Delivery of [corfi_1] interrupted by stop; kept for the next "
                                "start\n"));
        EXPECT_EQ(1, countInLog("File interface exits\n"));
        EXPECT_EQ(0, countInLog("COMPLETED ") + countInLog("FAILED "));
        EXPECT_EQ(Names({"corfi_1", "lock"}), entries("spool"));

        stub.stop(SIGTERM);  // the next start meets a server that answers
        ASSERT_NO_FATAL_FAILURE(startStub());
        layout();
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        EXPECT_TRUE(waitForLog(kCompleted)) << log();
        EXPECT_TRUE(pollUntil([&] { return spoolEmpty(); }));
        return;
    }

    ASSERT_TRUE(waitForLog(mode.outcome)) << log();
    EXPECT_TRUE(pollUntil([&] { return spoolEmpty(); }));
    const bool completed = mode.outcome.rfind("COMPLETED", 0) == 0;
    if (!completed) {
        EXPECT_EQ(1, countInLog(kSendError + url + mode.outcome)) << log();
        EXPECT_TRUE(waitForLog(kFailed));
    }
    switch (mode.check) {
        case Check::LOOP:
            // A later cycle has begun, so the transfer is over for good.
            ASSERT_TRUE(
                waitForLog("Process File [lock] \n", countInLog("Process File [lock] \n") + 1));
            EXPECT_EQ(6u, record().size());
            EXPECT_EQ(1, countInLog("FAILED "));
            break;
        case Check::DOWNGRADE:
            EXPECT_EQ(Names{}, record("plain.jsonl"));
            break;
        case Check::MEMORY:
            EXPECT_LT(peakResidentKilobytes(daemon.pid()), 64 * 1024);
            break;
        case Check::LONG_MESSAGE:
            EXPECT_EQ(Names{"cmd=Cli&rcv_name=Jane&priority=3&modid=cli&message=" + kLong},
                      record());
            break;
        default:
            EXPECT_EQ(completed ? 1u : 0u, record().size());
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(StandInModes, DeliveryModeTest, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
