#pragma once
// A results store of many units for the yield report: each unit tested one to three times
// with plan "line" (a retest after each failure, the last always counted), a sharpness
// measurement per test with limits and a marginal band, and one interrupted test that the
// report must leave out. Deterministic for a seed.
#include <cstdio>
#include <random>
#include <string>

#include "station/StationDb.h"

namespace testsupport {

inline bool WriteYieldSample(const std::string& target, int units, unsigned seed, std::string& error,
                             int unitsPerRun = 100) {
  std::mt19937 random(seed);
  std::normal_distribution<double> sharpness(60, 9);
  int hour = 0;
  for (int first = 0; first < units; first += unitsPerRun) {
    for (int attempt = 1; attempt <= 3; ++attempt) {
      station::StationRun run;
      run.planPath = "/plans/line.toml";
      run.planName = "line";
      run.planHash = "ab";
      run.station = "rack";
      char when[32];
      std::snprintf(when, sizeof when, "2026-12-%02dT%02d:00:00Z", 1 + hour / 24 % 28, hour % 24);
      ++hour;
      run.startedAt = when;
      for (int u = first; u < std::min(units, first + unitsPerRun); ++u) {
        // A subset of the units comes back for a retest, some twice.
        const double value = sharpness(random);
        const bool retest = attempt > 1;
        if (retest && (u * 7 + attempt) % 3 != 0) continue;  // a subset comes back
        station::CameraRecord c;
        c.port = "COM" + std::to_string(u % 8 + 1);
        c.unit = "SN" + std::to_string(u);
        c.unitSource = station::UnitSource::Counter;
        c.attempt = attempt;
        c.startedAt = when;
        station::Measurement m;
        m.name = "sharpness";
        m.value = value;
        m.low = 40;
        m.marginalLow = 50;
        m.step = 1;
        m.stepName = "capture";
        m.outcome = value < 40 ? station::Outcome::Fail : value < 50 ? station::Outcome::Marginal : station::Outcome::Pass;
        c.measurements.push_back(m);
        station::StepRecord find{"find", true, false, 0, "", {}, 0.1};
        station::StepRecord capture{"capture", m.outcome != station::Outcome::Fail, false, 0, "", {}, 0.5};
        capture.index = 1;
        if (!capture.passed) capture.status = 5, capture.message = "sharpness too low";
        // Every 17th unit fails at find instead, with no measurement.
        if (u % 17 == 0 && attempt == 1) {
          find.passed = false;
          find.status = 1;
          find.message = "no camera answered";
          capture.skipped = true;
          capture.passed = false;
          c.measurements.clear();
        }
        c.steps = {find, capture};
        c.passed = find.passed && capture.passed;
        c.marginal = c.passed && m.outcome == station::Outcome::Marginal;
        c.interrupted = u == 3 && attempt == 1;
        run.cameras.push_back(c);
      }
      if (!run.cameras.empty() && !station::WriteStationDb(target, run, error)) return false;
    }
  }
  return true;
}

}  // namespace testsupport
