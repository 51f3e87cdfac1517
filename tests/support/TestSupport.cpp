#include "TestSupport.h"

#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    m_path = std::string(base && *base ? base : "/tmp") + "/corfi-test-XXXXXX";
    if (mkdtemp(m_path.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + m_path);
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only directories behind; give the owner write access back first.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(m_path, ignored);
}

Tmpfs::Tmpfs(const std::string& path, const std::string& options) : m_path(path) {
    std::filesystem::create_directories(path);
    m_mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

Tmpfs::~Tmpfs() {
    if (m_mounted) {
        umount2(m_path.c_str(), MNT_DETACH);
    }
}

bool Tmpfs::remount(const std::string& options) {
    return mount("tmpfs", m_path.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
}

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> concat(std::vector<std::string> first,
                                const std::vector<std::string>& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

long long steadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace testsupport
