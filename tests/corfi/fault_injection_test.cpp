// Real faults around the daemon's event log: writes failed by libfiu's preload, a log lock held
// by someone else and a damaged cvlogs.ini. Each test checks what the user cares about: nothing
// lost without a word and a daemon that keeps going or refuses to start with a reason.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "CVioRecordLock.h"
#include "CVsysEventLogInterface.h"
#include "DaemonHarness.h"

namespace {

using namespace corfitest;

// fiu-run with its POSIX preload and remote control through `control`. An address sanitizer's
// run time must come first: libfiu's allocation wrappers would otherwise mix two allocators.
Names fiuLauncher(const std::string& control) {
    Names launcher = {"/usr/bin/fiu-run", "-x", "-f", control};
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const size_t path = line.find('/');
        if (path != npos && line.find("/libasan.so", path) != npos) {
            return concat(launcher, {"/usr/bin/env", "LD_PRELOAD=" + line.substr(path) +
                                                         " /usr/lib/fiu/fiu_run_preload.so"
                                                         " /usr/lib/fiu/fiu_posix_preload.so"});
        }
    }
    return launcher;
}

// Every write of the daemon fails with ENOSPC while 25 messages (50 entries) are delivered; then
// writes work again. Deliveries never stop, and the log holds only whole lines.
TEST_F(DaemonTest, LogWritesFailingForAWhileLoseOnlyThoseEntries) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    logLevel("info");
    const std::string control = tmp.file("fiu");
    launcher = fiuLauncher(control);
    // No leak check for this run: libfiu keeps its remote control's allocations for good, and
    // its thread cannot be stopped for the check. Every other daemon test checks for leaks.
    ASSERT_NO_FATAL_FAILURE(startDaemon({}, {"LSAN_OPTIONS=detect_leaks=0"}));
    ASSERT_TRUE(waitForLog("[INFO] =====")) << log();
    const auto fiu = [&](const std::string& command) {
        const Names args = {"/usr/bin/fiu-ctrl",         "-f", control, "-c", command,
                            std::to_string(daemon.pid())};
        return testsupport::runProgram(args, {}).status;
    };
    const auto deliver = [&](int from, int to) {
        dropMessages(from, to);
        return pollUntil([&] { return record().size() == static_cast<size_t>(to); });
    };
    ASSERT_TRUE(deliver(0, 5));
    ASSERT_TRUE(waitForLog("COMPLETED RCPT(R4)"));
    ASSERT_EQ(0, fiu("enable name=posix/io/rw/write,failinfo=28"));
    ASSERT_TRUE(deliver(5, 30));
    ASSERT_EQ(0, fiu("disable name=posix/io/rw/write"));
    ASSERT_TRUE(deliver(30, 40));
    ASSERT_TRUE(waitForLog("COMPLETED RCPT(R39)")) << log();
    // Entries are tried in order: once one is written again, so is every later one.
    const auto written = [&](int i) {
        return countInLog("COMPLETED RCPT(R" + std::to_string(i) + ")") == 1;
    };
    for (int i = 0; i < 40; ++i) {
        const bool expected = i < 5 || i == 39 || (i > 5 && written(i - 1));
        if (expected || i == 5) {
            EXPECT_EQ(expected, written(i)) << i;
        }
    }
    EXPECT_TRUE(everyLineIsAnEntry(log()));
}

// The log's lock held by someone else while the daemon stops: the worker cannot finish, so the
// daemon leaves after its bounded wait, with the status of an orderly stop, and no sanitizer
// report (TearDown checks that).
TEST_F(DaemonTest, StopWithTheLogWorkerStuckOnAHeldLockEndsWithTheIntendedStatus) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    logLevel("info");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForLog("[INFO] =====")) << log();
    const int lock = open(at("logs/File_System_Interface.txt.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(0, CVioSetRecordLock(lock, F_WRLCK, false));
    drop("spool/corfi_a", "RECEIVER: a\nMESSAGE: m\n");
    ASSERT_TRUE(pollUntil([&] { return record().size() == 1; }));
    daemon.signal(SIGTERM);
    EXPECT_TRUE(daemon.waitForExit(seconds(60)));
    EXPECT_EQ(0, daemon.status());
    close(lock);
    EXPECT_EQ(0, countInLog("File interface exits"));
}

// What a damaged or incomplete cvlogs.ini does to a start: refused in the foreground with 255 and
// the reason on standard error, the file left as the operator wrote it; or started, with only
// the missing parts written.
TEST_F(DaemonTest, CvlogsIniIsRefusedWhenItCannotBeTrustedAndCompletedOnlyWhereMissing) {
    const std::string module =
        "[main]\nFile System Interface=File System Interface_logger\n\n"
        "[File System Interface_logger]\nwriter=file\nlevel=info\n";
    const std::string refused = "Log writer initialization failed. Check cvlogs.ini";
    const struct {
        std::string settings;  // after filePath in the module's section; null byte allowed
        bool common;           // the file has a [common] section
        std::string error;     // on standard error; empty: the daemon starts
    } cases[] = {
        {"bytesPerFiles=1099511627777\nnumFiles=2\n", true, refused},
        {"bytesPerFiles=4294967296\nnumFiles=99999999999999999999\n", true, refused},
        {"bytesPerFiles=204800\nnumFiles=2147483647\n", true, refused},
        {std::string("bytesPerFiles=204800\n\0numFiles=2\n", 33), true, "cannot be parsed"},
        {"bytesPerFiles=4294967296\nnumFiles=1000\n", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        base = tmp.file(std::to_string(&c - cases));
        layout();
        const std::string ini = at("config/cvlogs.ini");
        const std::string content =
            module + "filePath=" + at("logs/File_System_Interface.txt") + "\n" + c.settings +
            (c.common ? "\n[common]\nwriter=file\nlevel=info\nfilePath=" + at("logs/c.txt") +
                            "\nbytesPerFiles=204800\nnumFiles=2\n"
                      : "");
        writeFile(ini, content);
        if (!c.error.empty()) {
            EXPECT_EQ(255, launch({"-config_dir", at("config")}));
            const std::string out = readFile(tmp.file("out"));
            EXPECT_NE(npos, out.find(c.error)) << out;
            EXPECT_NE(npos, out.find("Logger can not be created.")) << out;
            EXPECT_EQ(content, readFile(ini));
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        EXPECT_TRUE(waitForLog("[INFO] RESOURCES\n"));
        const std::string rewritten = readFile(ini);
        EXPECT_NE(npos, rewritten.find("bytesPerFiles=4294967296\nnumFiles=1000\n")) << rewritten;
        EXPECT_NE(npos, rewritten.find("\n[common]\nwriter=file\nlevel=info\n")) << rewritten;
        daemon.stop(SIGTERM);
    }
    // Without any cvlogs.ini the defaults are written and the daemon starts.
    base = tmp.file("missing");
    layout();
    fs::remove(at("config/cvlogs.ini"));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_TRUE(waitForLog("[INFO] RESOURCES\n"));  // in log_dir, where the defaults put it
    EXPECT_NE(npos, readFile(at("config/cvlogs.ini")).find("[File System Interface_logger]"));
}

// Anyone holding the log's lock makes each entry wait for it; meanwhile the queue must not grow
// without bound. Once the lock is free, what the queue held is written, then how much was not.
TEST(LogLockHolder, QueueStaysBoundedWhileTheLockIsHeldForSeventySeconds) {
    testsupport::TempDir tmp;
    fs::create_directories(tmp.file("config"));
    const std::string path = tmp.file("flood.txt");
    writeFile(
        tmp.file("config/cvlogs.ini"),
        "[main]\nFlood=Flood_logger\n\n[Flood_logger]\nwriter=file\nlevel=info\nfilePath=" + path +
            "\nbytesPerFiles=1099511627776\nnumFiles=1\nperProcessFile=0\n\n[common]\nwriter=file\n"
            "level=info\nfilePath=" +
            tmp.file("common.txt") + "\nbytesPerFiles=204800\nnumFiles=1\n");
    CVsysEventLogInterface* log = CVsysEventLogInterface::CreateInstance(
        "Flood", CVsysEventLogInterface::MULTI_THREADED, tmp.file("config"), "");
    ASSERT_NE(nullptr, log);
    const int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(0, CVioSetRecordLock(lock, F_WRLCK, false));
    const auto heldUntil = std::chrono::steady_clock::now() + seconds(70);
    ASSERT_TRUE(log->Start());
    constexpr int kEntries = 200000;
    for (int i = 0; i < kEntries; ++i) {
        log->info("COMPLETED RCPT(" + std::to_string(i) + "), MSG(Server room above 30 C)");
    }
    std::this_thread::sleep_until(heldUntil);  // the holder's time, not a wait for the log
    const long peak = peakResidentKilobytes();
    close(lock);
    ASSERT_TRUE(pollUntil([&] { return readFile(path).find(" log entries dropped\n") != npos; },
                          seconds(120), std::chrono::milliseconds(500)));
    ASSERT_TRUE(log->Stop());
    EXPECT_LT(peak, 100 * 1024);
    const std::string text = readFile(path);
    EXPECT_TRUE(everyLineIsAnEntry(text));
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    const size_t last = text.rfind('\n', text.size() - 2) + 1;
    const std::string warning = text.substr(text.find("[WARN] ", last) + 7);
    ASSERT_EQ(text.find("[WARN] "), text.find("[WARN] ", last)) << "one warning, the last line";
    const size_t dropped = std::stoul(warning);
    EXPECT_EQ(std::to_string(dropped) + " log entries dropped\n", warning);
    EXPECT_GT(dropped, 0u);
    // The first entry gave up after its minute of waiting; every other one is written or counted.
    EXPECT_EQ(static_cast<size_t>(kEntries) - 1, lines - 1 + dropped);
    CVsysEventLogInterface::DestroyAll();
}

}  // namespace
