// The yield report over a results store of 10,000 units (SQLite): the whole report, read
// and computed, against the anchor of reading the same tables' rows with SQLite alone.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "BenchTiming.h"
#include "YieldSample.h"
#include "station/StationDb.h"
#include "station/StationYield.h"
#include "test_files.h"

namespace {

double Wall(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Every row of the tables the report reads, stepped through and its columns fetched.
void ReadRows(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  for (const char* sql : {"SELECT * FROM cameras", "SELECT * FROM steps", "SELECT * FROM measurements"}) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW)
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) sqlite3_column_text(stmt, i);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
}

}  // namespace

int main() {
  const testsupport::TempFolder scratch("brevant-bench-yield");
  const std::string path = scratch.Slash() + "results.db";
  std::string error;
  if (!testsupport::WriteYieldSample(path, 10000, 1, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  size_t units = 0;
  const auto report = [&] {
    station::YieldRows rows;
    if (!station::ReadYieldRows(path, {}, rows, error)) std::fprintf(stderr, "%s\n", error.c_str());
    const auto plans = station::ComputeYield(rows);
    units = plans.empty() ? 0 : static_cast<size_t>(plans[0].units);
    station::YieldHtml(plans, "bench");
  };
  const auto [anchor, ours] = bench::Compare(3, [&] { ReadRows(path); }, report);
  const double wall = Wall(report);
  std::printf("yield report: %zu units, SQLite\n", units);
  std::printf("%-34s %10s %10s\n", "", "cpu s", "ratio");
  std::printf("%-34s %10.3f %10s\n", "read the rows with SQLite (anchor)", anchor, "1.00x");
  std::printf("%-34s %10.3f %9.2fx   (wall %.3f s; target well under 1 s)\n", "report --html", ours,
              ours / anchor, wall);
  return units == 10000 && error.empty() ? 0 : 1;
}
