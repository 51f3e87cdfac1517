// The Debian package: its man pages, the unit's security review, lintian, and a real install
// on this machine that runs, sends, reports and purges without a trace (as root only).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "../corfi/DaemonHarness.h"
#include "CVioDescriptor.h"

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
    "/lib/systemd/system/corfi.service",
    "/usr/share/doc/corfi",
    "/usr/share/man/man8/corfi.8.gz",
    "/usr/share/man/man1/corfi-send.1.gz",
};

std::string debFile() {
    for (const auto& entry : fs::directory_iterator(CORFI_PACKAGE_DIR)) {
        if (entry.path().extension() == ".deb") {
            return entry.path();
        }
    }
    return "";
}

bool onPath(const char* program) {
    return fs::exists(std::string("/usr/bin/") + program) ||
           fs::exists(std::string("/usr/sbin/") + program);
}

TEST(PackageFiles, ManPagesFormatWithoutWarnings) {
    for (const char* page : {"corfi.8", "corfi-send.1", "corfi-status.1", "corfi-logq.1"}) {
        const auto run = runProgram({"/usr/bin/man", "--warnings", "-E", "UTF-8", "-l",
                                     std::string(CORFI_MAN_DIR) + "/" + page},
                                    concat(kEnvironment, {"MANWIDTH=80"}));
        EXPECT_EQ(0, run.status) << page;
        EXPECT_EQ("", run.err) << page;
        EXPECT_NE(npos, run.out.find("NAME")) << page;
    }
}

TEST(PackageFiles, UnitScoresAtMostThreeInTheSecurityReview) {
    const auto run = runProgram({"/usr/bin/systemd-analyze", "security", "--offline=true",
                                 "--threshold=30", CORFI_UNIT_FILE},
                                kEnvironment);
    std::smatch score;
    ASSERT_TRUE(std::regex_search(run.out, score,
                                  std::regex("exposure level for corfi.service: "
                                             "([0-9.]+)")))
        << run.out << run.err;
    std::cout << "systemd-analyze security: " << score[1] << "\n";
    EXPECT_LE(std::stod(score[1]), 3.0);
    EXPECT_EQ(0, run.status) << run.err;
}

TEST(Package, LintianFindsNoErrors) {
    const std::string deb = debFile();
    ASSERT_NE("", deb) << "no package in " << CORFI_PACKAGE_DIR;
    const auto run = runProgram({"/usr/bin/lintian", "--fail-on", "error", deb}, kEnvironment);
    std::cout << run.out;
    EXPECT_EQ(0, run.status) << run.out << run.err;
    EXPECT_EQ(npos, run.out.find("E: ")) << run.out;
}

// Installs for real: only as root, and only on a machine that has no corfi of its own, which
// the purge would otherwise take away.
class PackageInstallTest : public corfitest::DaemonTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "installing the package needs root";
        }
        if (!onPath("dpkg")) {
            GTEST_SKIP() << "dpkg is missing";
        }
        DaemonTest::SetUp();
        // One package test at a time on this machine, whichever work tree runs it.
        m_machineLock = CVioDescriptor(
            open("/run/lock/corfi-package-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(m_machineLock.valid());
        ASSERT_TRUE(pollUntil([&] { return flock(m_machineLock.get(), LOCK_EX | LOCK_NB) == 0; },
                              std::chrono::minutes(10)));
        ASSERT_NE(0, dpkg({"dpkg-query", "-W", "corfi"}).status)
            << "corfi is installed on this machine; the test would purge it";
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

    // dpkg and friends, waiting while another program holds the package database.
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

    // `command` as a user with no name but a member of group corfi.
    testsupport::ProgramResult asMember(const Args& command) {
        const std::string group = std::to_string(getgrnam("corfi")->gr_gid);
        return runProgram(
            concat({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--groups=" + group},
                   command),
            kEnvironment);
    }

    bool m_installed = false;

private:
    CVioDescriptor m_machineLock;
};

void expectEntry(const char* path, mode_t type, const char* owner, const char* group, mode_t mode) {
    struct stat info;
    ASSERT_EQ(0, lstat(path, &info)) << path;
    EXPECT_EQ(type, info.st_mode & S_IFMT) << path;
    EXPECT_EQ(mode, info.st_mode & 07777) << path;
    const struct passwd* user = getpwuid(info.st_uid);
    const struct group* grp = getgrgid(info.st_gid);
    EXPECT_STREQ(owner, user ? user->pw_name : "?") << path;
    EXPECT_STREQ(group, grp ? grp->gr_name : "?") << path;
}

TEST_F(PackageInstallTest, InstallsRunsAsAServiceWouldAndPurgesWithoutATrace) {
    const std::string deb = debFile();
    ASSERT_NE("", deb) << "no package in " << CORFI_PACKAGE_DIR;
    m_installed = true;
    const auto install = dpkg({"dpkg", "-i", deb});
    ASSERT_EQ(0, install.status) << install.out << install.err;

    // The service user, its directories and the settings it may update.
    const struct passwd* user = getpwnam("corfi");
    ASSERT_NE(nullptr, user);
    EXPECT_LT(user->pw_uid, 1000u);
    EXPECT_STREQ("/var/lib/corfi", user->pw_dir);
    EXPECT_STREQ("/usr/sbin/nologin", user->pw_shell);
    ASSERT_NE(nullptr, getgrnam("corfi"));
    EXPECT_EQ(getgrnam("corfi")->gr_gid, user->pw_gid);
    expectEntry("/var/spool/corfi", S_IFDIR, "corfi", "corfi", 02770);
    expectEntry("/var/spool/corfi-bulk", S_IFDIR, "corfi", "corfi", 02770);
    expectEntry("/var/lib/corfi", S_IFDIR, "root", "root", 0755);
    expectEntry("/var/lib/corfi/temp", S_IFDIR, "corfi", "corfi", 0750);
    expectEntry("/var/lib/corfi/config", S_IFLNK, "root", "root", 0777);
    EXPECT_EQ("/etc/corfi", fs::read_symlink("/var/lib/corfi/config"));
    expectEntry("/var/log/corfi", S_IFDIR, "corfi", "adm", 02750);
    expectEntry("/etc/corfi/corfi_config", S_IFREG, "root", "root", 0644);
    expectEntry("/etc/corfi/cvlogs.ini", S_IFREG, "root", "corfi", 0660);
    expectEntry("/usr/sbin/corfi", S_IFREG, "root", "root", 0755);
    const std::string conffiles = dpkg({"dpkg-query", "-W", "-f=${Conffiles}", "corfi"}).out;
    for (const char* file : {"corfi_config ", "dir ", "cvlogs.ini "}) {
        EXPECT_NE(npos, conffiles.find(std::string("/etc/corfi/") + file)) << conffiles;
    }
    const auto verify = runProgram(
        {"/usr/bin/systemd-analyze", "verify", "/lib/systemd/system/corfi.service"}, kEnvironment);
    EXPECT_EQ(0, verify.status) << verify.out << verify.err;
    EXPECT_EQ("", verify.err);

    // The installed daemon, as the unit runs it, against the stand-in server; only the URL of
    // the example configuration changes, and -rest 1 shortens the wait.
    ASSERT_NO_FATAL_FAILURE(startStub());
    const std::string config = readFile("/etc/corfi/corfi_config");
    testsupport::writeFile(
        "/etc/corfi/corfi_config",
        std::regex_replace(config, std::regex("corvanexs_url: .*"),
                           "corvanexs_url: http://127.0.0.1:" + std::to_string(port) + "/send"));
    const int out = open(tmp.file("daemon.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    daemon.start(
        {"/usr/bin/setpriv", "--reuid=corfi", "--regid=corfi", "--init-groups", "/usr/sbin/corfi",
         "-config_dir", "/var/lib/corfi/config", "-foreground", "-rest", "1"},
        kEnvironment, out, out);
    close(out);
    const std::string monitor = "/var/lib/corfi/temp/.ACFI";
    ASSERT_TRUE(pollUntil([&] {
        const std::string record = readFile(monitor);
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
    EXPECT_TRUE(pollUntil(
        [&] { return readFile(log).find("COMPLETED RCPT(jdoe), MSG(installed)") != npos; }));

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
    EXPECT_NE(0, dpkg({"dpkg-query", "-W", "corfi"}).status);
    EXPECT_EQ(nullptr, getpwnam("corfi"));
    EXPECT_EQ(nullptr, getgrnam("corfi"));
    for (const char* path : kFootprint) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }
    EXPECT_EQ("", dpkg({"dpkg-statoverride", "--list", "/etc/corfi/*"}).out);
}

}  // namespace
