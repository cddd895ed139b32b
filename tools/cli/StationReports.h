#pragma once
// The reports of a station run, each made whole from its record: JUnit XML for the line's
// test system, one JSON object a camera a line, and a CSV summary a camera a row. Every
// text the camera sent is untrusted: each writer keeps its format valid whatever it holds
// (control characters, quotes, invalid UTF-8).
#include <string>

#include "StationRecord.h"

namespace cli {

std::string JUnitReport(const StationRun& run);
std::string JsonLinesReport(const StationRun& run);
std::string CsvReport(const StationRun& run);

// Replaces the file at path with text, or leaves it as it was: written to a temporary file
// in the same folder, flushed to the disk, then renamed over it. False with error naming
// the path and the reason.
bool WriteReportFile(const std::string& path, const std::string& text, std::string& error);

// text as valid UTF-8: each byte that is not part of a well-formed sequence becomes U+FFFD.
std::string ValidUtf8(const std::string& text);

}  // namespace cli
