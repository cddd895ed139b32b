#pragma once
// The results store of station runs: one schema (runs, cameras, steps) in an SQLite file,
// or in PostgreSQL when the target is a connection string, so the stations of a line can
// write to one place.
#include <string>

#include "StationRecord.h"

namespace cli {

// The schema this program writes; a store of a newer one is refused, never altered.
constexpr int kStationDbSchemaVersion = 1;

// "postgresql://...", "postgres://..." or libpq's "key=value" form (host=, dbname=, ...).
bool IsConnectionString(const std::string& target);

// The target as it may be shown: a connection string's password replaced by "***".
std::string RedactedTarget(const std::string& target);

// Creates the schema where it is missing and writes the run, all of it or nothing, in one
// transaction. False with error naming the target and the reason.
bool WriteStationDb(const std::string& target, const StationRun& run, std::string& error);

}  // namespace cli
