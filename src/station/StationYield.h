#pragma once
// The yield report of the results store: per plan, the units tested, first-pass and final
// yield, retests, what failed them (by step and by measurement, most first) and each
// measurement's spread against its limits. Computed from the store's rows (StationDb reads
// them), written as text, JSON or one self-contained HTML page.
#include <optional>
#include <string>
#include <vector>

namespace station {

struct YieldQuery {
  std::string plan;   // "" every plan
  std::string since;  // "" all time; else an ISO 8601 date or time (UTC), inclusive
};

// A unit's test as the store holds it. Interrupted tests are not read: they judged nothing.
struct YieldTest {
  long long id = 0;
  std::string plan, unit, startedAt;  // an empty unit is a unit of its own
  int attempt = 1;
  bool passed = false, marginal = false;
  std::string failedStep;  // the step that failed the unit ("" when it passed)
};

// A measurement of a test's last try of its step.
struct YieldMeasurement {
  long long test = 0;  // YieldTest::id
  std::string plan, name, unit, outcome;
  std::optional<double> value, low, high, marginalLow, marginalHigh;
};

struct YieldRows {
  std::vector<YieldTest> tests;  // oldest first
  std::vector<YieldMeasurement> measurements;
};

struct Count {
  std::string name;
  long long count = 0;
};

struct MeasurementStats {
  std::string name, unit;
  long long n = 0;            // measured values
  long long notMeasured = 0;  // tests where the figure could not be measured
  std::optional<double> mean, sd;  // sd: the sample's (n - 1); none below two values
  std::optional<double> low, high, marginalLow, marginalHigh;  // the latest test's limits
  std::optional<double> cpk;  // against the limits there are; none without one or sd 0
  long long outsideMarginal = 0;  // within the limits, outside the marginal band
  long long failed = 0;
  std::vector<double> values;  // for the histogram
};

struct HourYield {
  std::string hour;  // "2026-12-09T06"
  long long tests = 0, passed = 0;
};

struct PlanYield {
  std::string plan;
  long long units = 0, tests = 0, retests = 0;
  long long firstPassed = 0, finalPassed = 0, marginal = 0;
  double firstPassYield = 0, finalYield = 0;  // 0..1
  std::vector<Count> failuresByStep, failuresByMeasurement;  // most first
  std::vector<MeasurementStats> measurements;                 // by name
  std::vector<HourYield> hours;                               // in order
};

// Whether text is a date or time --since takes: YYYY-MM-DD, optionally followed by
// THH, THH:MM or THH:MM:SS and a Z.
bool ValidSinceDate(const std::string& text);

std::vector<PlanYield> ComputeYield(const YieldRows& rows);

std::string YieldText(const std::vector<PlanYield>& plans);
std::string YieldJson(const std::vector<PlanYield>& plans);
// One page with its plots inline (SVG): nothing is fetched when it is opened.
std::string YieldHtml(const std::vector<PlanYield>& plans, const std::string& title);

}  // namespace station
