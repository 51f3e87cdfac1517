#include "CVIniReaderWriterEx.h"

CVIniReaderWriterEx::CVIniReaderWriterEx(const std::string& path, bool openNow, bool retry)
    : IniReaderWriter(path, false, true, retry), m_file(std::make_unique<CVioFile>(path)) {
    if (openNow) {
        m_file->open("r+");
    }
}

CVIniReaderWriterEx::~CVIniReaderWriterEx() {
    close();
}

void CVIniReaderWriterEx::open(bool create) {
    m_file->open(create ? "w+" : "r+");
}

bool CVIniReaderWriterEx::lock(bool shared) {
    if (m_locked) {
        return true;
    }
    // A closed file cannot carry a lock; claiming one would unbalance unlock().
    if (!m_file->isOpen()) {
        return false;
    }
    m_file->lock(shared ? 'r' : 'w', m_retry);
    m_locked = true;
    return true;
}

bool CVIniReaderWriterEx::unlock() {
    if (m_locked) {
        m_file->unlock();
        m_locked = false;
    }
    return true;
}

void CVIniReaderWriterEx::close() {
    unlock();
    m_file->close();
}

bool CVIniReaderWriterEx::load() {
    if (!m_file->isOpen()) {
        return false;
    }
    m_file->rewind();
    freeLines();
    parse(*m_file);
    m_loaded = true;
    return true;
}

bool CVIniReaderWriterEx::save() {
    m_file->truncate(0);
    writeLines(*m_file);
    m_file->flush();
    return true;
}

bool CVIniReaderWriterEx::saveAs(const std::string& path) {
    return path == m_path ? save() : saveTo(path);
}
