// An INI file kept open and locked through a CVioFile, for read-decide-update cycles that
// several processes share: lock shared, load, unlock, lock exclusive, load again, change, save.
#pragma once

#include <memory>
#include <string>

#include "CVioFile.h"
#include "IniReaderWriter.h"

class CVIniReaderWriterEx : public IniReaderWriter {
public:
    // With `openNow` the file is opened "r+" at once; a missing file raises CVioException.
    CVIniReaderWriterEx(const std::string& path, bool openNow = true, bool retry = true);
    ~CVIniReaderWriterEx() override;  // unlocks and closes

    void open(bool create);  // "w+" when create, else "r+"
    bool lock(bool shared);
    bool unlock();
    void close();

    // Rewinds and parses the whole open file.
    bool load() override;
    // Truncates and rewrites the open file; the caller holds the exclusive lock.
    virtual bool save();
    virtual bool saveAs(const std::string& path);

private:
    std::unique_ptr<CVioFile> m_file;
    bool m_locked = false;
};
