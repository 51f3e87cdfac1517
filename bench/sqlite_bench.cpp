// Logging into SQLite: (1) the bare cost of a row, prepared single-row INSERTs in autocommit on
// a log table, against (2) the multi-threaded event log with the SQLite writer, which commits
// each batch its worker drains at once, measured until Stop has drained the queue, that is until
// the last entry is a row. The target for vs_raw is 20 or more.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "CVsysEventLogMultiThreaded.h"
#include "CVsysEventLogSQLiteWriter.h"

namespace {

using bench::BenchLog;
using bench::Clock;
using bench::ScratchDir;
using bench::secondsSince;

constexpr int kEntries = 20000;
const char* const kModule = "Scheduler.Jobs";
const char* const kMessage = "COMPLETED RCPT(%d), MSG(Server room temperature above threshold)";

// Rows per second of the bare loop, or -1 when SQLite refused a step.
double rawInsertRate(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    bool ok =
        sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db,
                     "CREATE TABLE Scheduler (id INTEGER PRIMARY KEY AUTOINCREMENT, module "
                     "VARCHAR(50), timestamp INTEGER, level SMALLINT, message VARCHAR(100), line "
                     "INTEGER, srcfile VARCHAR(50));",
                     nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "INSERT INTO Scheduler (module, timestamp, level, message, line, "
                           "srcfile) VALUES (?, ?, ?, ?, ?, ?);",
                           -1, &insert, nullptr) == SQLITE_OK;
    char message[128];
    const auto start = Clock::now();
    for (int i = 0; ok && i < kEntries; ++i) {
        const int length = snprintf(message, sizeof message, kMessage, i);
        sqlite3_bind_text(insert, 1, "Jobs", -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, time(nullptr));
        sqlite3_bind_int(insert, 3, 4);
        sqlite3_bind_text(insert, 4, message, length, SQLITE_STATIC);
        sqlite3_bind_int(insert, 5, -1);
        sqlite3_bind_text(insert, 6, "", -1, SQLITE_STATIC);
        ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
    }
    const double seconds = secondsSince(start);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return ok ? kEntries / seconds : -1;
}

// Entries per second from the first call to the end of Stop, or -1 when the log failed.
double eventLogRate(const std::string& path) {
    auto writer = std::make_unique<CVsysEventLogSQLiteWriter>();
    if (!writer->setParameter("dbfilename", path) || !writer->isReady()) {
        return -1;
    }
    BenchLog log(kModule, std::move(writer));
    if (!log.Start()) {
        return -1;
    }
    const auto start = Clock::now();
    for (int i = 0; i < kEntries; ++i) {
        log.LogInfo(nullptr, kMessage, i);
    }
    if (!log.Stop()) {
        return -1;
    }
    return kEntries / secondsSince(start);
}

void BM_SQLiteEventLogVsRawInserts(benchmark::State& state) {
    double raw = 0;
    double logged = 0;
    for (auto _ : state) {
        ScratchDir dir;
        raw = rawInsertRate(dir.file("raw.db"));
        logged = eventLogRate(dir.file("log.db"));
        state.SetIterationTime(kEntries / logged);
    }
    if (raw <= 0 || logged <= 0) {
        state.SkipWithError("SQLite run failed");
        return;
    }
    state.counters["raw_rows_per_s"] = raw;
    state.counters["entries_per_s"] = logged;
    state.counters["vs_raw"] = logged / raw;
}
BENCHMARK(BM_SQLiteEventLogVsRawInserts)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
