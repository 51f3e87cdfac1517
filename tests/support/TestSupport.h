// Helpers shared by the test suites: a private temporary directory per test, polling for a
// condition instead of sleeping, and small file utilities.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

// Sanitizer builds run the daemon several times slower: the time bounds the product must meet are
// stretched by this factor there, and only there.
#ifdef CORFI_SANITIZED
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A tmpfs on `path` (made if missing) for the object's lifetime, where this process may mount.
class Tmpfs {
public:
    Tmpfs(const std::string& path, const std::string& options);
    ~Tmpfs();
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;

    bool mounted() const { return m_mounted; }
    bool remount(const std::string& options);

private:
    std::string m_path;
    bool m_mounted = false;
};

// Skips the test where mounting needs rights it lacks; as root (CI) a failed mount fails it.
#define REQUIRE_TMPFS(tmpfs)                                                \
    if (!(tmpfs).mounted()) {                                               \
        if (geteuid() != 0) {                                               \
            GTEST_SKIP() << "mounting a tmpfs needs root";                  \
        }                                                                   \
        FAIL() << "cannot mount a tmpfs as root: " << std::strerror(errno); \
    }

// Calls `condition` until it returns true or `timeout` has passed; true when it held.
bool pollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20),
               std::chrono::milliseconds interval = std::chrono::milliseconds(5));

std::string readFile(const std::string& path);
// `first` followed by `rest`: command lines and environments built from parts.
std::vector<std::string> concat(std::vector<std::string> first,
                                const std::vector<std::string>& rest);
void writeFile(const std::string& path, const std::string& content);

// What `getter` reports of the E that `operation` throws; a test failure when none is thrown.
template <class E, class F, class G>
std::decay_t<std::invoke_result_t<G, const E&>> thrown(F&& operation, G getter) {
    try {
        operation();
    } catch (const E& e) {
        return std::invoke(getter, e);
    }
    ADD_FAILURE() << "nothing was thrown";
    return {};
}

// Milliseconds since an arbitrary fixed point (steady clock).
long long steadyMillis();

// A test fixture that gives every test its own temporary directory.
class TempDirTest : public ::testing::Test {
protected:
    TempDir tmp;
};

}  // namespace testsupport
