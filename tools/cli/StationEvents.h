#pragma once
// `station --events FILE|-`: what happens on each camera as one JSON object a line, for a
// program that drives the station (the window's tiles): a camera's start, each step's start
// and end, transfer progress, a picture kept, a prompt for the operator, and the camera's
// whole record at its end (the same object the JSON lines report holds). Answers to prompts
// come back on stdin, one a line. Called from every camera's thread; lines never interleave.
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "station/StationPlan.h"
#include "station/StationRecord.h"

namespace cli {

class CStationEvents {
 public:
  explicit CStationEvents(std::ostream& out) : m_out(out) {}

  void CameraStarted(const station::CameraRecord& camera, const std::vector<std::string>& steps);
  void StepStarted(const std::string& port, size_t index, const std::string& name);
  // meter: the transfer meter's text (" 42%  51.2 kB of 121.9 kB ..."), "" when it ends.
  void Progress(const std::string& port, const std::string& meter);
  void StepEnded(const std::string& port, size_t index, const station::StepRecord& step);
  void Picture(const std::string& port, const std::string& path);
  void Prompt(const std::string& port, size_t index, const station::StationStep& step,
              unsigned timeoutMs);
  void CameraEnded(const station::StationRun& run, const station::CameraRecord& camera);

 private:
  void Write(const std::string& line);

  std::ostream& m_out;
  std::mutex m_mutex;
};

enum class OperatorAnswer { None, Pass, Fail };

// One line of the answers stream: {"port": PORT, "answer": "pass"|"fail"}, or a bare
// "pass" / "fail". An answer for another port, or anything else, is None.
OperatorAnswer ParseOperatorAnswer(const std::string& line, const std::string& port);

// The line a station started with --wait-for-start waits for: {"start": true}, with an
// optional "unit" in --unit's form (PORT=SERIAL,...) put in unitList. Anything else is not
// one (false).
bool ParseStartLine(const std::string& line, std::string& unitList);

}  // namespace cli
