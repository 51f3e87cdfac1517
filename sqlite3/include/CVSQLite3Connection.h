// Opening an SQLite connection as every user of SQLite here does: tried up to 50 times, 500 ms
// apart, while the database is busy or locked by another connection; any other failure (a file
// that cannot be opened, one that is no database) is reported at once.
#pragma once

#include <sqlite3.h>

#include <string>

class CVSQLite3Connection {
public:
    CVSQLite3Connection() = delete;

    struct Opened {
        sqlite3* db = nullptr;  // null when the open failed
        int code = SQLITE_OK;   // of the last attempt
        std::string text;       // SQLite's text for a failure
    };

    static Opened open(const std::string& path);
    // Busy and locked (extended codes included) are worth another attempt.
    static bool retryable(int code);
};
