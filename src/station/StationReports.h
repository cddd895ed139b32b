#pragma once
// The reports of a station run, each made whole from its record: JUnit XML for the line's
// test system, one JSON object a camera a line, and a CSV summary a camera a row with its
// measurements a row each in a second CSV file. Every
// text the camera sent is untrusted: each writer keeps its format valid whatever it holds
// (control characters, quotes, invalid UTF-8).
#include <functional>
#include <string>

#include "station/StationRecord.h"

namespace station {

std::string JUnitReport(const StationRun& run);
std::string JsonLinesReport(const StationRun& run);
std::string CsvReport(const StationRun& run);
// One row per measurement, written next to the CSV summary (MeasurementsCsvPath).
std::string CsvMeasurementsReport(const StationRun& run);
// "run.csv" -> "run-measurements.csv".
std::string MeasurementsCsvPath(const std::string& csvPath);

// Replaces the file at path with text, or leaves it as it was: written to a temporary file
// in the same folder, flushed to the disk, then renamed over it. False with error naming
// the path and the reason. watch, when given, is told of the temporary file as it is made
// (true) and once it is renamed or removed (false), so a process that must end at once can
// remove it.
using TemporaryFileWatch = std::function<void(const std::string& path, bool made)>;
bool WriteReportFile(const std::string& path, const std::string& text, std::string& error,
                     const TemporaryFileWatch& watch = {});

// text as valid UTF-8: each byte that is not part of a well-formed sequence becomes U+FFFD.
std::string ValidUtf8(const std::string& text);

}  // namespace station
