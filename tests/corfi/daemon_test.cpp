// The assembled daemon, run detached in a temporary installation against the stand-in server.
#include <sys/stat.h>
#include <utime.h>

#include <ctime>

#include "DaemonHarness.h"

namespace {

using namespace corfitest;

TEST_F(DaemonTest, HelpListsTheVisibleResourcesAndHelpmeIsNoHelp) {
    EXPECT_EQ(0, launch({"-help"}));
    const std::string help = readFile(tmp.file("out"));
    EXPECT_NE(npos, help.find("config_dir          \tLocation of the configuration directory\n"));
    EXPECT_NE(npos, help.find("bulk_check_period   \tInterval for Spooling Bulk Directory\n"));
    EXPECT_NE(npos, help.find("foreground          \tStay in the foreground instead of detaching"));
    EXPECT_EQ(npos, help.find("debug"));

    // An unknown resource; then config_dir is missing.
    EXPECT_EQ(1, launch({"-helpme"}));
    EXPECT_EQ(npos, readFile(tmp.file("out")).find("config_dir  "));
    EXPECT_NE(npos, readFile(tmp.file("out")).find("Configuration file cannot be found"));
}

TEST_F(DaemonTest, RefusesToStartWithoutAUsableInstallation) {
    const struct {
        const char* spoil;  // a file to remove or a directory to make read-only
        Names last;         // last arguments
        int status;
        const char* error;
    } cases[] = {
        {"config", {}, 1, "No 'rw' permission for directory ["},
        {"config/dir", {}, 255, "Directory configuration file ["},
        {"config/corfi_config", {}, 255, "No 'r' permission for configuration file ["},
        {"spool", {}, 255, "No 'rw' permission for spool directory ["},
        {"", {"-rest"}, 255, "Invalid command line argument"},
    };
    for (const auto& c : cases) {
        base = tmp.file(std::to_string(&c - cases));
        layout();
        if (fs::is_directory(at(c.spoil))) {
            chmod(at(c.spoil).c_str(), *c.spoil ? 0500 : 0700);
        } else {
            fs::remove(at(c.spoil));
        }
        EXPECT_EQ(c.status, launch(concat({"-config_dir", at("config")}, c.last))) << c.error;
        EXPECT_NE(npos, readFile(tmp.file("out")).find(c.error)) << readFile(tmp.file("out"));
    }
}

// The rest of 60 s from the command line must not hold up a stop.
TEST_F(DaemonTest, ResourcesComeFromTheFirstSourceAndSigtermEndsTheRestAtOnce) {
    layout("logfile_size: 3333\nlogfile_history: 6\nbulk_check_period: 42\n",
           "rest: 9\nlogfile_size: 2222\nlogfile_history: 5\nspool_dir: " + at("nowhere") + "\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-rest", "60", "-spool_dir", at("nowhere")},
                                        {"MMrest=8", "MMlogfile_size=1111"}));
    for (const std::string& line :
         Names{"rest:\t60\n", "logfile_size:\t1111\n", "logfile_history:\t5\n",
               "bulk_check_period:\t42\n", "debug:\t0\n", "spool_dir:\t" + at("spool") + "\n"}) {
        EXPECT_TRUE(waitForLog("[INFO] " + line)) << line << log();
    }
    ASSERT_TRUE(waitForLog("Process File [lock] \n"));
    daemon.signal(SIGTERM);
    EXPECT_TRUE(pollUntil([this] { return daemon.poll(); }, seconds(10)));
    EXPECT_EQ(0, daemon.status());
    EXPECT_NE(npos, log().find("[INFO] File interface exits\n"));
}

// Without a spool_dir line in corfi_config, the one from dir or the command line stands; a
// root_dir file moves the installation away from the configuration directory given.
TEST_F(DaemonTest, SpoolDirFromDirOrTheCommandLineAndInstallationFromRootDir) {
    for (const std::string source : {"dir", "args", "root_dir"}) {
        SCOPED_TRACE(source);
        base = tmp.file(source);
        layout();
        const std::string configDir = source == "root_dir" ? tmp.file("config") : at("config");
        if (source == "root_dir") {
            fs::create_directory(configDir);
            writeFile(configDir + "/root_dir", "  " + base + "  \n");
        } else {
            writeFile(at("config/corfi_config"), "rest: 1\nlog_dir: " + at("logs") + "\n");
            writeFile(at("config/dir"), source == "dir" ? "spool_dir: " + at("spool") + "\n" : "");
        }
        // Its monitor file is at base/temp whatever the configuration directory.
        ASSERT_NO_FATAL_FAILURE(startDaemon(
            source == "args" ? Names{"-spool_dir", at("spool")} : Names{}, {}, configDir));
        EXPECT_TRUE(waitForLog("config_dir:\t" + at("config") + "\n"));
        EXPECT_TRUE(waitForLog("[INFO] spool_dir:\t" + at("spool") + "\n")) << log();
        daemon.stop(SIGTERM);
    }
}

TEST_F(DaemonTest, DeliversEachKindWithItsExactBodyAndLeavesOtherEntries) {
    const char* const messages[][4] = {
        // file, content, request body, outcome
        {"corfi_rcv", "RECEIVER: Jane\nMESSAGE: Hello world\n",
         "cmd=Cli&rcv_name=Jane&priority=3&modid=cli&message=Hello%20world",
         "COMPLETED RCPT(Jane), MSG(Hello world)\n"},
        {"corfi_grp", "GROUP: Ops\nJOBID: J7\nMESSAGE: Hi\n",
         "cmd=Cli&grp_name=Ops&priority=3&modid=cli&jobid=J7&message=Hi",
         "COMPLETED GROUP(Ops), MSG(Hi)\n"},
        {"CORFI.quick", "PIN: 5551234\nCARRIER: Acme\nJOBID: Q1\nMESSAGE: Call me\n",
         "cmd=Cli&carrier_name=Acme&priority=3&modid=cli&jobid=Q1&pin=5551234&message=Call%20me",
         "COMPLETED QUICK(5551234), CAR(Acme), MSG(Call me)\n"},
        {"corfi_name", "NAME: Jim\nMESSAGE: Yo\nsee\nyou\n",
         "cmd=Cli&name=Jim&priority=3&modid=cli&message=Yosee%0ayou",
         "COMPLETED RCPT(Jim), MSG(Yosee\\nyou)\n"},
        {"corfi_past", "RECEIVER: Old\nTIME_AT: 01-01-10-10-00\nMESSAGE: Late\n",
         "cmd=Cli&rcv_name=Old&priority=3&modid=cli&message=Late",
         "COMPLETED RCPT(Old), MSG(Late)\n"},
    };
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    Names bodies;
    for (const auto& m : messages) {
        drop("spool/" + std::string(m[0]), m[1]);
        bodies.push_back(m[2]);
    }
    const std::string nextYear = timeAtText(std::time(nullptr) + 366 * 86400);
    drop("spool/corfi_future", "RECEIVER: Later\nTIME_AT: " + nextYear + "\nMESSAGE: Not yet\n");
    drop("spool/notes.txt", "RECEIVER: Jane\nMESSAGE: not a message file\n");
    fs::create_directory(at("spool/corfi_dir"));
    ASSERT_NO_FATAL_FAILURE(startDaemon());

    for (const auto& m : messages) {
        EXPECT_TRUE(waitForLog(m[3])) << m[0] << "\n" << log();
    }
    ASSERT_TRUE(waitForLog("Process File [corfi_future] \n", 2));  // a second cycle saw it
    EXPECT_EQ(sorted(bodies), sorted(record()));
    EXPECT_EQ(Names({"corfi_dir", "corfi_future", "lock", "notes.txt"}), entries("spool"));
    EXPECT_EQ(npos, log().find("Process File [corfi_dir]"));
}

TEST_F(DaemonTest, SigtermDuringADeliveryEndsTheWalkAfterThatFile) {
    ASSERT_NO_FATAL_FAILURE(startStub({"--delay-ms", "1500"}));
    layout();
    dropMessages(1, 4);
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(pollUntil([&] { return !record().empty(); }));
    daemon.signal(SIGTERM);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(0, daemon.status());
    EXPECT_EQ(1u, record().size());
    EXPECT_EQ(1, countInLog("] COMPLETED RCPT("));
    EXPECT_EQ(3u, entries("spool").size()) << "two message files and the lock";
}

// A local primary address keeps the daemon cycling, which touches the monitor file; removing
// the spool directory then ends it.
TEST_F(DaemonTest, MonitorFileIsTouchedEveryCycleUntilTheSpoolDirectoryGoes) {
    layout();
    writeFile(at("config/phs"), "127.0.0.1\n");  // where the stand-in listens
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    const std::string path = at("temp/.ACFI");
    const std::string monitor = readFile(path);  // the pid at 76 is the one startDaemon() took
    EXPECT_STREQ("CVD-CORFI", monitor.c_str() + 12);
    EXPECT_EQ(std::string(CORFI_PATH) + " -config_dir " + at("config") + " ",
              std::string(monitor.c_str() + 108));
    const time_t hourAgo = std::time(nullptr) - 3600;
    const utimbuf past{hourAgo, hourAgo};
    ASSERT_EQ(0, utime(path.c_str(), &past));
    EXPECT_TRUE(pollUntil([&] {
        struct stat info;
        return stat(path.c_str(), &info) == 0 && info.st_mtime > hourAgo + 1800;
    }));

    fs::remove_all(at("spool"));
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(0, daemon.status());
    const std::string text = log();
    EXPECT_TRUE(text.find("No file can be found in directory [" + at("spool") + "]") != npos ||
                text.find("Cannot lock directory [" + at("spool") + "]") != npos)
        << text;
}

// 203.0.113.77 is a documentation address no host has.
TEST_F(DaemonTest, AForeignOrCommentedPrimaryServerEndsTheDaemon) {
    for (const char* phs : {"203.0.113.77\n", "# 127.0.0.1\n"}) {
        base = tmp.file(std::to_string(phs[0]));
        layout();
        writeFile(at("config/phs"), phs);
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        ASSERT_TRUE(waitForExit()) << phs;
        EXPECT_EQ(0, daemon.status());
        EXPECT_TRUE(waitForLog("[INFO] Not a primary server. Quit\n")) << phs;
    }
}

}  // namespace
