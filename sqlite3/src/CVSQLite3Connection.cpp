#include "CVSQLite3Connection.h"

#include <chrono>
#include <thread>

namespace {
constexpr int kAttempts = 50;
constexpr auto kPause = std::chrono::milliseconds(500);
}  // namespace

bool CVSQLite3Connection::retryable(int code) {
    return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
}

CVSQLite3Connection::Opened CVSQLite3Connection::open(const std::string& path) {
    Opened opened;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        sqlite3* db = nullptr;
        opened.code = sqlite3_open(path.c_str(), &db);
        if (opened.code == SQLITE_OK) {
            opened.db = db;
            opened.text.clear();
            return opened;
        }
        opened.text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(opened.code);
        sqlite3_close(db);
        if (!retryable(opened.code)) {
            break;
        }
        if (attempt < kAttempts) {
            std::this_thread::sleep_for(kPause);
        }
    }
    return opened;
}
