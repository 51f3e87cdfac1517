// An INI file held in memory as its ordered list of lines, comments included.
#pragma once

#include <memory>
#include <string>

class CVioFile;

class IniReaderWriter {
public:
    enum Kind { SECTION = 1, COMMENT = 2, ENTRY = 3 };

    struct Line {
        int kind = ENTRY;
        std::string text;   // "[name]" for a header, "#..." for a comment, the key otherwise
        std::string value;  // entries only
        Line* previous = nullptr;
        Line* next = nullptr;
        Line* ownerSection = nullptr;  // a header points to itself
        Line* previousSection = nullptr;
        Line* nextSection = nullptr;
    };

    IniReaderWriter(const std::string& path, bool loadNow = false, bool lockEnabled = true,
                    bool retry = true);
    virtual ~IniReaderWriter();
    IniReaderWriter(const IniReaderWriter&) = delete;
    IniReaderWriter& operator=(const IniReaderWriter&) = delete;

    // Reads the file under a shared lock; false when it cannot be opened or locked.
    virtual bool load();
    // Writes every line to `path` (own path when empty) under an exclusive lock.
    virtual bool saveTo(const std::string& path = "");
    bool isLoaded() const { return m_loaded; }
    // The first line (from 1) that the model cannot hold as written: a NUL byte, more than 511
    // characters (the rest is cut) or a section header without its closing bracket; 0 for none.
    int faultyLine() const { return m_faultyLine; }

    // Section names carry their brackets ("[main]"); names and keys compare without case.
    bool hasSection(const std::string& section) const;
    // Null section: the lines before the first header. Empty text when missing.
    std::string getValue(const char* section, const std::string& key) const;
    // The index-th line of the section (comments count); key and value are filled only when
    // that line is of `kind`. False past the end or for a missing or empty section.
    bool getEntry(const char* section, int index, std::string& key, std::string& value,
                  int kind) const;
    // The header line of that name, appended at the end of the file when missing.
    Line* getSection(const std::string& section);
    // The value of `key` in the section, created empty after the section's last line.
    std::string& valueOf(Line* section, const std::string& key);

    const std::string& getPath() const { return m_path; }

protected:
    void parse(CVioFile& file);
    void writeLines(CVioFile& file) const;
    void freeLines();

    const std::string m_path;
    bool m_loaded = false;
    int m_faultyLine = 0;
    bool m_lockEnabled;
    bool m_retry;

private:
    Line* findSection(const char* section) const;
    // First line after the header (or of the file for a null section); `found` is false for a
    // missing section.
    Line* firstLineOf(const char* section, bool& found) const;
    // The first entry named `key` from `line` up to the next header.
    Line* findKey(Line* line, const std::string& key) const;
    void linkSection(Line* header);
    Line* lastLineOf(Line* section) const;
    Line* insertAfter(Line* after, const std::string& text, const std::string& value);
    bool lockWithBackoff(CVioFile& file, char mode) const;

    Line* m_first = nullptr;  // owns the whole chain through `next`
    Line* m_firstSection = nullptr;
};
