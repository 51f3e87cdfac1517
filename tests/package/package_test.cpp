// The Debian package: its man pages, the unit's security review, lintian, and a real install
// on this machine that runs, sends, reports and purges without a trace (as root only).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <regex>

#include "CVioDescriptor.h"
#include "DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::concat;
using testsupport::pollUntil;
using testsupport::readFile;
using testsupport::runProgram;
using Args = std::vector<std::string>;
constexpr auto npos = std::string::npos;

const Args kEnvironment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C.UTF-8"};
// Everything the package or its maintainer scripts put on the machine.
const char* const kFootprint[] = {
    "/etc/corfi",
    "/var/lib/corfi",
    "/var/spool/corfi",
    "/var/spool/corfi-bulk",
    "/var/log/corfi",
    "/usr/sbin/corfi",
    "/usr/bin/corfi-send",
    "/usr/bin/corfi-status",
    "/usr/bin/corfi-logq",
    "/usr/share/doc/corfi",
    "/lib/systemd/system/corfi.service",
    "/usr/share/man/man8/corfi.8.gz",
};

std::string debFile() {
    for (const auto& entry : fs::directory_iterator(CORFI_PACKAGE_DIR)) {
        if (entry.path().extension() == ".deb") {
            return entry.path();
        }
    }
    return "";
}

TEST(PackageFiles, ManPagesFormatWithoutWarnings) {
    for (const char* page : {"corfi.8", "corfi-send.1", "corfi-status.1", "corfi-logq.1"}) {
        const auto run = runProgram({"/usr/bin/man", "--warnings", "-E", "UTF-8", "-l",
                                     std::string(CORFI_MAN_DIR) + "/" + page},
                                    concat(kEnvironment, {"MANWIDTH=80"}));
        EXPECT_EQ(0, run.status) << page;
        EXPECT_EQ("", run.err) << page;
    }
}

TEST(PackageFiles, UnitScoresAtMostThreeInTheSecurityReview) {
    const auto run = runProgram({"/usr/bin/systemd-analyze", "security", "--offline=true",
                                 "--threshold=30", CORFI_UNIT_FILE},
                                kEnvironment);
    std::smatch score;
    ASSERT_TRUE(std::regex_search(run.out, score, std::regex("corfi.service: ([0-9.]+)")))
        << run.out << run.err;
    std::cout << "systemd-analyze security: " << score[1] << "\n";
    EXPECT_LE(std::stod(score[1]), 3.0);
    EXPECT_EQ(0, run.status) << run.err;
}

TEST(Package, LintianFindsNoErrors) {
    const auto run =
        runProgram({"/usr/bin/lintian", "--fail-on", "error", debFile()}, kEnvironment);
    std::cout << run.out;
    EXPECT_EQ(0, run.status) << run.out << run.err;
}

// Installs for real: only as root, and only on a machine without a corfi of its own, which the
// purge would take away.
class PackageInstallTest : public corfitest::DaemonTest {
protected:
    void SetUp() override {
        if (geteuid() != 0 || !fs::exists("/usr/bin/dpkg")) {
            GTEST_SKIP() << "installing the package needs root and dpkg";
        }
        DaemonTest::SetUp();
        // One package test at a time on this machine, whichever work tree runs it.
        fs::create_directories("/run/lock");
        m_machineLock = CVioDescriptor(
            open("/run/lock/corfi-package-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(pollUntil([&] { return flock(m_machineLock.get(), LOCK_EX | LOCK_NB) == 0; },
                              std::chrono::minutes(10)));
        ASSERT_NE(0, dpkg({"dpkg-query", "-W", "corfi"}).status) << "corfi is installed here";
        ASSERT_EQ(nullptr, getpwnam("corfi"))
            << "a user corfi exists that the package did not make";
        ASSERT_EQ(nullptr, getgrnam("corfi")) << "a group corfi exists";
        for (const char* path : kFootprint) {
            ASSERT_FALSE(fs::exists(fs::symlink_status(path))) << path << " exists already";
        }
    }

    void TearDown() override {
        daemon.stop(SIGKILL);
        if (m_installed && dpkg({"dpkg-query", "-W", "corfi"}).status == 0) {
            dpkg({"dpkg", "--purge", "corfi"});
        }
        DaemonTest::TearDown();
    }

    // A dpkg tool, waiting while another program holds the package database.
    testsupport::ProgramResult dpkg(const Args& args) {
        testsupport::ProgramResult run{};
        pollUntil(
            [&] {
                run = runProgram(concat({"/usr/bin/" + args[0]}, {args.begin() + 1, args.end()}),
                                 kEnvironment);
                return run.status == 0 || run.err.find("lock") == npos;
            },
            std::chrono::minutes(5), std::chrono::milliseconds(500));
        return run;
    }

    // `command` as a user without a name but in group corfi.
    testsupport::ProgramResult asMember(const Args& command) {
        const std::string group = "--groups=" + std::to_string(getgrnam("corfi")->gr_gid);
        return runProgram(
            concat({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", group}, command),
            kEnvironment);
    }

    bool m_installed = false;

private:
    CVioDescriptor m_machineLock;
};

void expectEntry(const char* path, mode_t mode, const char* owner, const char* group) {
    struct stat info;
    ASSERT_EQ(0, lstat(path, &info)) << path;
    EXPECT_EQ(mode, info.st_mode & (S_IFMT | 07777)) << path;
    const struct passwd* user = getpwuid(info.st_uid);
    const struct group* grp = getgrgid(info.st_gid);
    EXPECT_STREQ(owner, user ? user->pw_name : "?") << path;
    EXPECT_STREQ(group, grp ? grp->gr_name : "?") << path;
}

TEST_F(PackageInstallTest, InstallsRunsAsTheUnitWouldAndPurgesWithoutATrace) {
    m_installed = true;
    const auto install = dpkg({"dpkg", "-i", debFile()});
    ASSERT_EQ(0, install.status) << install.out << install.err;

    // The service user, its directories and the settings it may update.
    const struct passwd* user = getpwnam("corfi");
    ASSERT_NE(nullptr, user);
    EXPECT_LT(user->pw_uid, 1000u);
    EXPECT_STREQ("/usr/sbin/nologin", user->pw_shell);
    EXPECT_EQ(getgrnam("corfi")->gr_gid, user->pw_gid);
    expectEntry("/var/spool/corfi", S_IFDIR | 02770, "corfi", "corfi");
    expectEntry("/var/spool/corfi-bulk", S_IFDIR | 02770, "corfi", "corfi");
    expectEntry("/var/lib/corfi/temp", S_IFDIR | 0750, "corfi", "corfi");
    expectEntry("/var/lib/corfi/config", S_IFLNK | 0777, "root", "root");
    EXPECT_EQ("/etc/corfi", fs::read_symlink("/var/lib/corfi/config"));
    expectEntry("/var/log/corfi", S_IFDIR | 02750, "corfi", "adm");
    expectEntry("/etc/corfi/cvlogs.ini", S_IFREG | 0660, "root", "corfi");
    const auto verify = runProgram(
        {"/usr/bin/systemd-analyze", "verify", "/lib/systemd/system/corfi.service"}, kEnvironment);
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_EQ("", verify.err);

    // The installed daemon as the unit runs it, against the stand-in server: only the URL of the
    // example configuration changes, and -rest 1 shortens the wait.
    ASSERT_NO_FATAL_FAILURE(startStub());
    const std::string url = "corvanexs_url: http://127.0.0.1:" + std::to_string(port) + "/send";
    testsupport::writeFile("/etc/corfi/corfi_config",
                           std::regex_replace(readFile("/etc/corfi/corfi_config"),
                                              std::regex("corvanexs_url: .*"), url));
    const int out = open(tmp.file("daemon.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    daemon.start(
        {"/usr/bin/setpriv", "--reuid=corfi", "--regid=corfi", "--init-groups", "/usr/sbin/corfi",
         "-config_dir", "/var/lib/corfi/config", "-foreground", "-rest", "1"},
        kEnvironment, out, out);
    close(out);
    ASSERT_TRUE(pollUntil([&] {
        const std::string record = readFile("/var/lib/corfi/temp/.ACFI");
        return (record.size() == 2416 && std::atoi(record.c_str() + 76) == daemon.pid()) ||
               daemon.poll();
    })) << readFile(tmp.file("daemon.out"));
    ASSERT_TRUE(daemon.running()) << readFile(tmp.file("daemon.out"));

    const auto sent = asMember({"/usr/bin/corfi-send", "-r", "jdoe", "-j", "pkg-1", "installed"});
    ASSERT_EQ(0, sent.status) << sent.err;
    EXPECT_EQ(0u, sent.out.rfind("/var/spool/corfi/corfi", 0)) << sent.out;
    ASSERT_TRUE(pollUntil([&] { return !record().empty(); })) << readFile(tmp.file("daemon.out"));
    EXPECT_EQ(Args{"cmd=Cli&rcv_name=jdoe&priority=3&modid=cli&jobid=pkg%2d1&message=installed"},
              record());
    const std::string log = "/var/log/corfi/File_System_Interface.txt";
    EXPECT_TRUE(pollUntil([&] { return readFile(log).find("COMPLETED RCPT(jdoe)") != npos; }));

    const std::string pid = std::to_string(daemon.pid());
    auto status = asMember({"/usr/bin/corfi-status"});
    EXPECT_EQ(0, status.status) << status.out << status.err;
    EXPECT_EQ(0u, status.out.rfind("CORFI OK - pid " + pid + " alive", 0)) << status.out;
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.waitForExit());
    EXPECT_EQ(0, daemon.status());
    EXPECT_NE(npos, readFile(log).find("File interface exits"));
    status = asMember({"/usr/bin/corfi-status"});
    EXPECT_EQ(2, status.status) << status.out << status.err;
    EXPECT_EQ(0u, status.out.rfind("CORFI CRITICAL - pid " + pid + " gone", 0)) << status.out;

    const auto purge = dpkg({"dpkg", "--purge", "corfi"});
    EXPECT_EQ(0, purge.status) << purge.out << purge.err;
    EXPECT_EQ("", purge.err);
    EXPECT_EQ(nullptr, getpwnam("corfi"));
    EXPECT_EQ(nullptr, getgrnam("corfi"));
    for (const char* path : kFootprint) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }
    EXPECT_EQ("", dpkg({"dpkg-statoverride", "--list", "/etc/corfi/*"}).out);
}

}  // namespace
