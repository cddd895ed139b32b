#pragma once
// Which unit each camera of a run is, and how many times it has been tested: the identity
// an operator typed or scanned (a barcode scanner types like a keyboard) or gave with
// --unit, else a number from the plan's counter in the results store, which no two runs
// or stations sharing the store are ever given twice.
#include <string>
#include <vector>

#include "station/StationPlan.h"
#include "station/StationRecord.h"
#include "station/StationStore.h"

namespace station {

// The longest identity taken: a label's serial number, with room to spare.
inline constexpr size_t kUnitMaxBytes = 64;

// Why text cannot be a unit's identity ("" when it can): empty, too long, a control
// character (it goes into the reports, the store and the camera's OSD), or not UTF-8.
std::string UnitRefusal(const std::string& text);

struct UnitGiven {
  std::string port;  // as --ports lists it, or the device path
  std::string unit;
};
// "PORT=SERIAL[,PORT=SERIAL...]" (--unit). False with error naming the item.
bool ParseUnitList(const std::string& text, std::vector<UnitGiven>& units, std::string& error);

// Gives every record its unit and attempt. A record whose unit is set keeps it (source
// Given) and its attempt is one more than the runs of the plan the store holds for it; the
// others are numbered from the plan's counter (source Counter, attempt 1), written as the
// plan's serial step writes numbers (its start is where a new counter begins), else as a
// plain number. Two records of one unit are refused. False with error; the records are
// then as they were.
bool AssignUnits(const StationPlan& plan, const IResultsStore& store, const std::string& target,
                 std::vector<CameraRecord>& records, std::string& error,
                 const CStoreInterrupt* interrupt = nullptr);

}  // namespace station
