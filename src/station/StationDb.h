#pragma once
// The results store of station runs: one schema (runs, cameras, steps) in an SQLite file,
// or in PostgreSQL when the target is a connection string, so the stations of a line can
// write to one place.
#include <string>

#include "station/StationRecord.h"
#include "station/StationStore.h"

namespace station {

// The schema this program writes; a store of a newer one is refused, never altered.
// Version 1 stores are brought to it in place, in one transaction, when first opened.
constexpr int kStationDbSchemaVersion = 2;

// "postgresql://...", "postgres://..." or libpq's "key=value" form (host=, dbname=, any
// keyword libpq knows).
bool IsConnectionString(const std::string& target);

// The target as it may be shown: a connection string's password replaced by "***", found
// where libpq finds it (and, where the string is ambiguous, everything it might be).
std::string RedactedTarget(const std::string& target);
// A message about the target (libpq's own, say) with any piece of its password hidden.
std::string RedactedMessage(const std::string& message, const std::string& target);

// Opens the store, creates the schema where it is missing and checks its version, then
// closes it: run before any camera is touched, so a store that cannot take the run is
// found first. False with error naming the target and the reason.
bool CheckStationDb(const std::string& target, std::string& error,
                    const CStoreInterrupt* interrupt = nullptr, const StoreLimits& limits = {});

// Creates the schema where it is missing and writes the run, all of it or nothing, in one
// transaction. False with error naming the target and the reason ("interrupted" when
// interrupt ended a wait; nothing of the run is then kept).
bool WriteStationDb(const std::string& target, const StationRun& run, std::string& error,
                    const CStoreInterrupt* interrupt = nullptr, const StoreLimits& limits = {});

// The unit counter: `count` consecutive numbers of the plan's counter (a new counter starts
// at `start`), taken in one transaction, so no two stations of one store get the same.
bool AllocateUnitNumbers(const std::string& target, const std::string& plan,
                         unsigned long long start, unsigned count, unsigned long long& first,
                         std::string& error, const CStoreInterrupt* interrupt = nullptr,
                         const StoreLimits& limits = {});

// How many cameras of the plan's runs the store holds for the unit.
bool CountPriorAttempts(const std::string& target, const std::string& plan, const std::string& unit,
                        int& attempts, std::string& error, const CStoreInterrupt* interrupt = nullptr,
                        const StoreLimits& limits = {});

// The store above as the station's IResultsStore.
const IResultsStore& DatabaseStore();

}  // namespace station
