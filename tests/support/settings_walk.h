#pragma once
// The values every front end's check of a numeric setting is walked through: below the
// minimum, the minimum, the maximum, above the maximum and, for a stepped field, off the step.
#include <vector>

#include "core/SettingsTable.h"

inline std::vector<long long> BoundaryProbes(const SettingRow& row) {
  std::vector<long long> probes = {row.min - 1, row.min, row.max, row.max + 1};
  if (row.step > 1) probes.push_back(row.min + 1);
  return probes;
}
