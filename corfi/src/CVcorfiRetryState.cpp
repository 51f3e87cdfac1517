#include "CVcorfiRetryState.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// Names are written with every byte that could break a line or a field as %XX.
std::string encodeName(const std::string& name) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == '%' || byte == 0x7f) {
            text += '%';
            text += kHex[byte >> 4];
            text += kHex[byte & 15];
        } else {
            text += c;
        }
    }
    return text;
}

bool decodeName(const std::string& text, std::string& name) {
    name.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            name += text[i];
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= text.size() || std::sscanf(text.c_str() + i + 1, "%2x", &value) != 1) {
            return false;
        }
        name += static_cast<char>(value);
        i += 2;
    }
    return !name.empty() && name.find('/') == std::string::npos;
}

bool sameFile(const CVcorfiRetryState::Entry& entry, const struct stat& file) {
    return entry.device == file.st_dev && entry.inode == file.st_ino;
}

}  // namespace

CVcorfiRetryState::CVcorfiRetryState(const std::string& directory)
    : m_path(directory + "/" + FILE_NAME) {
    load();
}

// One line per file: attempts, first failure, next attempt, device, inode, encoded name.
void CVcorfiRetryState::load() {
    std::ifstream in(m_path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Entry entry;
        unsigned long long device = 0, inode = 0;
        long long first = 0, next = 0;
        std::string encoded, name;
        if (fields >> entry.attempts >> first >> next >> device >> inode >> encoded &&
            entry.attempts > 0 && decodeName(encoded, name)) {
            entry.firstFailure = static_cast<time_t>(first);
            entry.nextAttempt = static_cast<time_t>(next);
            entry.device = static_cast<dev_t>(device);
            entry.inode = static_cast<ino_t>(inode);
            m_entries[name] = entry;
        }
    }
}

void CVcorfiRetryState::save() {
    std::ostringstream text;
    for (const auto& [name, entry] : m_entries) {
        text << entry.attempts << ' ' << static_cast<long long>(entry.firstFailure) << ' '
             << static_cast<long long>(entry.nextAttempt) << ' '
             << static_cast<unsigned long long>(entry.device) << ' '
             << static_cast<unsigned long long>(entry.inode) << ' ' << encodeName(name) << '\n';
    }
    const std::string body = text.str();
    const std::string temporary = m_path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written =
        fd >= 0 && write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    if (fd >= 0) {
        written = fsync(fd) == 0 && written;
        written = close(fd) == 0 && written;
    }
    m_saved = written && std::rename(temporary.c_str(), m_path.c_str()) == 0;
    if (!m_saved) {
        unlink(temporary.c_str());
    }
}

bool CVcorfiRetryState::due(const std::string& name, const struct stat& file, time_t now,
                            time_t* nextAttempt) {
    const auto it = m_entries.find(name);
    if (it == m_entries.end()) {
        return true;
    }
    if (!sameFile(it->second, file)) {
        forget(name);
        return true;
    }
    if (now >= it->second.nextAttempt) {
        return true;
    }
    *nextAttempt = it->second.nextAttempt;
    return false;
}

CVcorfiRetryState::Decision CVcorfiRetryState::failed(const std::string& name,
                                                      const struct stat& file, time_t now,
                                                      int period) {
    Entry entry;
    const auto it = m_entries.find(name);
    if (it != m_entries.end() && sameFile(it->second, file)) {
        entry = it->second;
    } else {
        entry.device = file.st_dev;
        entry.inode = file.st_ino;
        entry.firstFailure = now;
    }
    entry.attempts += 1;
    Decision decision;
    decision.attempt = entry.attempts;
    decision.delay = FIRST_DELAY;
    for (int i = 1; i < entry.attempts && decision.delay < MAX_DELAY; ++i) {
        decision.delay = std::min(decision.delay * 2, MAX_DELAY);
    }
    entry.nextAttempt = now + decision.delay;
    decision.retry = entry.nextAttempt <= entry.firstFailure + period;
    if (!decision.retry) {
        forget(name);
        return decision;
    }
    m_entries[name] = entry;
    save();
    return decision;
}

void CVcorfiRetryState::forget(const std::string& name) {
    if (m_entries.erase(name) != 0) {
        save();
    }
}

void CVcorfiRetryState::keepOnly(const std::set<std::string>& present) {
    bool changed = false;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (present.count(it->first) == 0) {
            it = m_entries.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed) {
        save();
    }
}
