#include "station/StationUnits.h"

#include <set>

#include "station/StationReports.h"

namespace station {

std::string UnitRefusal(const std::string& text) {
  if (text.empty()) return "a unit needs an identity";
  if (text.size() > kUnitMaxBytes)
    return "a unit's identity is at most " + std::to_string(kUnitMaxBytes) + " bytes";
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return "a unit's identity has no control characters";
  if (ValidUtf8(text) != text) return "a unit's identity must be UTF-8 text";
  return "";
}

bool ParseUnitList(const std::string& text, std::vector<UnitGiven>& units, std::string& error) {
  units.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    // The last '=': a port may be written COMn=DEVICE, a serial number rarely holds one.
    const size_t equals = item.rfind('=');
    if (equals == std::string::npos || equals == 0) {
      error = "--unit: '" + ValidUtf8(item) + "' is not PORT=SERIAL";
      return false;
    }
    UnitGiven given{item.substr(0, equals), item.substr(equals + 1)};
    if (const std::string why = UnitRefusal(given.unit); !why.empty()) {
      error = "--unit: '" + ValidUtf8(item) + "': " + why;
      return false;
    }
    units.push_back(std::move(given));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool AssignUnits(const StationPlan& plan, const IResultsStore& store, const std::string& target,
                 std::vector<CameraRecord>& records, std::string& error,
                 const CStoreInterrupt* interrupt) {
  std::vector<CameraRecord> out = records;
  std::set<std::string> seen;
  unsigned count = 0;
  for (CameraRecord& record : out) {
    if (record.unit.empty()) {
      ++count;
      continue;
    }
    if (const std::string why = UnitRefusal(record.unit); !why.empty()) {
      error = record.port + ": " + why;
      return false;
    }
    if (!seen.insert(record.unit).second) {
      error = "unit " + record.unit + " is on two ports at once";
      return false;
    }
    int prior = 0;
    if (!store.PriorAttempts(target, plan.name, record.unit, prior, error, interrupt)) return false;
    record.unitSource = UnitSource::Given;
    record.attempt = prior + 1;
  }
  if (count > 0) {
    const StationStep* serial = nullptr;
    for (const StationStep& step : plan.steps)
      if (!serial && step.kind == StationStep::Kind::Serial) serial = &step;
    std::vector<CameraRecord*> waiting;
    for (CameraRecord& record : out)
      if (record.unit.empty()) waiting.push_back(&record);
    // A number whose text the store already holds as a unit (a store from before the
    // counter, a label typed by hand) is passed over: it would be a second unit of the
    // same name. Bounded, so a store full of such names fails instead of looping.
    for (int round = 0; !waiting.empty(); ++round) {
      if (round == 100) {
        error = "the plan's counter keeps giving numbers the store already holds as units";
        return false;
      }
      unsigned long long first = 0;
      if (!store.AllocateUnits(target, plan.name, serial ? serial->start : 1,
                               static_cast<unsigned>(waiting.size()), first, error, interrupt))
        return false;
      std::vector<CameraRecord*> still;
      for (CameraRecord* record : waiting) {
        const std::string text = serial ? SerialNumberText(*serial, first++) : std::to_string(first++);
        int prior = 0;
        if (!store.PriorAttempts(target, plan.name, text, prior, error, interrupt)) return false;
        if (prior > 0 || !seen.insert(text).second) {
          still.push_back(record);
          continue;
        }
        record->unit = text;
        record->unitSource = UnitSource::Counter;
        record->attempt = 1;
      }
      waiting = std::move(still);
    }
  }
  records = std::move(out);
  return true;
}

}  // namespace station
