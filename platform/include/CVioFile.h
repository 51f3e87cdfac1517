// One C stream on one path, with a whole-file record lock that also excludes other threads.
//
// The record lock is an open-file-description lock: it conflicts with classic fcntl locks of
// other programs, excludes other descriptors of this process, and is not dropped when some
// other descriptor of the same file is closed. Every stream is opened close-on-exec.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "CVconLock.h"
#include "CVobject.h"

class CVioFile : public CVobject {
public:
    explicit CVioFile(const std::string& path);
    ~CVioFile() override;  // closes the stream when open

    // fopen modes ("r", "r+", "w", "w+", "a", "a+"). Raises "File Was Already Open" or
    // "File Open Failed".
    void open(const std::string& mode);
    // Opens read-only ("r") without following a symbolic link. Raises "File Open Failed" also
    // when the path names anything but a regular file.
    void openRegular();
    void close();
    bool isOpen() const { return m_stream != nullptr; }
    void flush();

    // Mode 'r' shared, 'w' exclusive, anything else releases. Blocks when `wait` is set,
    // otherwise raises "File Lock Failed" when another holder conflicts. The object's own
    // lock is held from here until unlock(), so unlock() must come from the same thread.
    void lock(char mode, bool wait);
    void unlock();

    // Reads one line (newline kept) into a zero-filled buffer; returns its length, 0 at end of
    // file or for size 0.
    size_t readLine(char* buffer, size_t size);
    // Reads at most 1,022 characters of the next line; a longer line comes in pieces.
    size_t readLine(std::string& line);
    // The same reader for the INI parser.
    size_t readIniLine(char* buffer, size_t size);
    // Reads the next line whole, NUL bytes included. `line` receives at most `maxKept` bytes
    // of it, without its line feed; the return value is the length of the whole line with its
    // line feed, 0 only at the end of the file.
    size_t readWholeLine(std::string& line, size_t maxKept);

    void write(const void* buffer, size_t length);
    void write(const std::string& text);
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void rewind();
    void truncate(off_t length);  // then rewinds
    off_t getSize() const;        // stat of the path; the file need not be open
    bool remove();

    const std::string& getPath() const { return m_path; }
    const std::string& getMode() const { return m_mode; }

    static bool exists(const std::string& path);
    static bool remove(const std::string& path);
    // Unanchored '*' wildcard match; false for a null or empty name or pattern.
    static bool matchPattern(const char* name, const char* pattern);

private:
    size_t readInto(char* buffer, size_t size, int notOpenLine, int nullBufferLine, int errorLine);
    void requireWritable(int line) const;
    void flushWritten(int line);
    void releaseRecordLock();
    // `sysMessage` is captured by the caller right after the failing call.
    [[noreturn]] void raise(int line, const char* message,
                            const std::string& sysMessage = std::string()) const;

    // Not guarded: open, close and I/O on one object belong to one thread at a time.
    FILE* m_stream = nullptr;
    std::string m_path;
    std::string m_mode;   // as given to open(); empty while closed
    CVconLock m_lock;     // held from lock() to unlock()
    int m_lockDepth = 0;  // guarded by m_lock: lock() calls not yet matched by unlock()
};
