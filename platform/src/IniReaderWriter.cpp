#include "IniReaderWriter.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "CVconLockGuard.h"
#include "CVioException.h"
#include "CVioFile.h"
#include "CVsysUtility.h"

namespace {

// One physical line of the file: at most 511 characters plus the terminator.
constexpr size_t kLineBuffer = 512;
constexpr int kLockAttempts = 10;
constexpr int kMaxBackoffMs = 100;

bool sameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

int kindOf(const std::string& text) {
    if (!text.empty() && text[0] == '[') {
        return IniReaderWriter::SECTION;
    }
    if (!text.empty() && text[0] == '#') {
        return IniReaderWriter::COMMENT;
    }
    return IniReaderWriter::ENTRY;
}

}  // namespace

IniReaderWriter::IniReaderWriter(const std::string& path, bool loadNow, bool lockEnabled,
                                 bool retry)
    : m_path(path), m_lockEnabled(lockEnabled), m_retry(retry) {
    srand(static_cast<unsigned>(time(nullptr)));
    if (loadNow) {
        load();
    }
}

IniReaderWriter::~IniReaderWriter() {
    freeLines();
}

bool IniReaderWriter::load() {
    CVioFile file(m_path);
    try {
        file.open("r");
    } catch (const CVioException&) {
        return false;
    }
    {
        std::optional<CVconLockGuard<CVioFile>> held;
        if (m_lockEnabled) {
            if (!lockWithBackoff(file, 'r')) {
                return false;
            }
            held.emplace(file, std::adopt_lock);
        }
        freeLines();
        parse(file);
    }
    m_loaded = true;
    file.close();
    return true;
}

bool IniReaderWriter::saveTo(const std::string& path) {
    CVioFile file(path.empty() ? m_path : path);
    // Appending mode creates the file without emptying it, so readers never see it cut short
    // before the exclusive lock is ours; it is truncated under the lock instead.
    try {
        file.open("a");
    } catch (const CVioException&) {
        return false;
    }
    {
        std::optional<CVconLockGuard<CVioFile>> held;
        if (m_lockEnabled) {
            if (!lockWithBackoff(file, 'w')) {
                return false;
            }
            held.emplace(file, std::adopt_lock);
        }
        file.truncate(0);
        writeLines(file);
        file.flush();
    }
    file.close();
    return true;
}

bool IniReaderWriter::lockWithBackoff(CVioFile& file, char mode) const {
    const int attempts = m_retry ? kLockAttempts : 1;
    for (int attempt = 1;; ++attempt) {
        try {
            file.lock(mode, false);
            return true;
        } catch (const CVioException&) {
            if (attempt >= attempts) {
                return false;
            }
        }
        CVsysUtility::sleepMilliseconds(std::abs(rand()) % kMaxBackoffMs + 1);
    }
}

void IniReaderWriter::parse(CVioFile& file) {
    m_faultyLine = 0;
    std::string raw;
    Line* tail = nullptr;
    for (int number = 1; file.readWholeLine(raw, kLineBuffer) > 0; ++number) {
        // NUL bytes and cut lines are kept out of the model's meaning but remembered, so that
        // no caller mistakes what is left for the file's content.
        const bool cut = raw.size() >= kLineBuffer;
        if (cut) {
            raw.resize(kLineBuffer - 1);
        }
        const size_t nul = raw.find('\0');
        if ((cut || nul != std::string::npos) && m_faultyLine == 0) {
            m_faultyLine = number;
        }
        char buffer[kLineBuffer];
        raw.copy(buffer, raw.size());
        buffer[std::min(raw.size(), nul)] = '\0';
        char* text = CVsysUtility::trim(buffer);
        if (*text == '\0') {
            continue;
        }
        if (text[0] == '[' && text[std::strlen(text) - 1] != ']' && m_faultyLine == 0) {
            m_faultyLine = number;
        }
        char* equals = strchr(text, '=');
        if (text[0] == '#' || text[0] == '[' || equals == nullptr) {
            tail = insertAfter(tail, text, "");
            continue;
        }
        *equals = '\0';
        char* value = CVsysUtility::trim(equals + 1);
        if (*text != '\0' && *value != '\0') {
            tail = insertAfter(tail, text, value);
        }
    }
}

void IniReaderWriter::writeLines(CVioFile& file) const {
    char buffer[kLineBuffer];
    for (const Line* line = m_first; line != nullptr; line = line->next) {
        int length;
        if (line->kind == SECTION) {
            length = snprintf(buffer, sizeof buffer, "%s%s\n", "\n", line->text.c_str());
        } else if (line->kind == ENTRY) {
            length =
                snprintf(buffer, sizeof buffer, "%s=%s\n", line->text.c_str(), line->value.c_str());
        } else {
            length = snprintf(buffer, sizeof buffer, "%s%s\n", "", line->text.c_str());
        }
        if (length < 0) {
            continue;
        }
        if (static_cast<size_t>(length) >= sizeof buffer) {
            // Cut the line but keep its end, so that the next line does not run into it.
            length = sizeof buffer - 1;
            buffer[length - 1] = '\n';
        }
        file.write(buffer, static_cast<size_t>(length));
    }
}

void IniReaderWriter::freeLines() {
    Line* line = m_first;
    while (line != nullptr) {
        Line* next = line->next;
        delete line;
        line = next;
    }
    m_first = nullptr;
    m_firstSection = nullptr;
}

bool IniReaderWriter::hasSection(const std::string& section) const {
    return findSection(section.c_str()) != nullptr;
}

IniReaderWriter::Line* IniReaderWriter::findSection(const char* section) const {
    for (Line* header = m_firstSection; header != nullptr; header = header->nextSection) {
        if (strcasecmp(header->text.c_str(), section) == 0) {
            return header;
        }
    }
    return nullptr;
}

IniReaderWriter::Line* IniReaderWriter::firstLineOf(const char* section, bool& found) const {
    if (section == nullptr) {
        found = true;
        return m_first;
    }
    Line* header = findSection(section);
    found = header != nullptr;
    return header != nullptr ? header->next : nullptr;
}

IniReaderWriter::Line* IniReaderWriter::findKey(Line* line, const std::string& key) const {
    for (; line != nullptr && line->kind != SECTION; line = line->next) {
        if (line->kind == ENTRY && sameName(line->text, key)) {
            return line;
        }
    }
    return nullptr;
}

std::string IniReaderWriter::getValue(const char* section, const std::string& key) const {
    bool found;
    const Line* line = findKey(firstLineOf(section, found), key);
    return line != nullptr ? line->value : std::string();
}

bool IniReaderWriter::getEntry(const char* section, int index, std::string& key, std::string& value,
                               int kind) const {
    bool found;
    const Line* line = firstLineOf(section, found);
    if (!found || index < 0) {
        return false;
    }
    for (; line != nullptr && line->kind != SECTION && index > 0; line = line->next) {
        --index;
    }
    if (line == nullptr || line->kind == SECTION) {
        return false;
    }
    key.clear();
    value.clear();
    if (line->kind == kind) {
        key = line->text;
        value = line->value;
    }
    return true;
}

IniReaderWriter::Line* IniReaderWriter::getSection(const std::string& section) {
    Line* header = findSection(section.c_str());
    if (header != nullptr) {
        return header;
    }
    Line* last = m_first;
    while (last != nullptr && last->next != nullptr) {
        last = last->next;
    }
    return insertAfter(last, section, "");
}

std::string& IniReaderWriter::valueOf(Line* section, const std::string& key) {
    // A null section stands for the lines before the first header.
    Line* line = findKey(section != nullptr ? section->next : m_first, key);
    if (line == nullptr) {
        line = insertAfter(lastLineOf(section), key, "");
    }
    return line->value;
}

IniReaderWriter::Line* IniReaderWriter::lastLineOf(Line* section) const {
    Line* last = section;
    Line* line = section != nullptr ? section->next : m_first;
    for (; line != nullptr && line->kind != SECTION; line = line->next) {
        last = line;
    }
    return last;
}

IniReaderWriter::Line* IniReaderWriter::insertAfter(Line* after, const std::string& text,
                                                    const std::string& value) {
    auto owned = std::make_unique<Line>();
    Line* line = owned.get();
    line->kind = kindOf(text);
    line->text = text;
    line->value = value;
    line->previous = after;
    line->next = after != nullptr ? after->next : m_first;
    owned.release();  // the chain owns it from here
    if (line->next != nullptr) {
        line->next->previous = line;
    }
    (after != nullptr ? after->next : m_first) = line;
    line->ownerSection = after != nullptr ? after->ownerSection : nullptr;
    if (line->kind == SECTION) {
        linkSection(line);
    }
    return line;
}

void IniReaderWriter::linkSection(Line* header) {
    Line* before = header->ownerSection;  // still the owner of the line it follows
    header->ownerSection = header;
    header->previousSection = before;
    header->nextSection = before != nullptr ? before->nextSection : m_firstSection;
    if (header->nextSection != nullptr) {
        header->nextSection->previousSection = header;
    }
    (before != nullptr ? before->nextSection : m_firstSection) = header;
    // Lines that followed the insertion point up to the next header now belong to it.
    for (Line* line = header->next; line != nullptr && line->kind != SECTION; line = line->next) {
        line->ownerSection = header;
    }
}
