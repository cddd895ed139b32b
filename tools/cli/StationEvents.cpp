#include "StationEvents.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "station/StationReports.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& json) {
  // A camera's bytes that are not UTF-8 become U+FFFD instead of ending the stream.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

void CStationEvents::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // Flushed at once: the reader shows it live.
  m_out << line << '\n';
  m_out.flush();
}

void CStationEvents::CameraStarted(const station::CameraRecord& camera,
                                   const std::vector<std::string>& steps) {
  Write(Dump({{"event", "camera-started"},
              {"port", camera.port},
              {"device", camera.device},
              {"adapterSerial", camera.adapterSerial},
              {"steps", steps}}));
}

void CStationEvents::StepStarted(const std::string& port, size_t index, const std::string& name) {
  Write(Dump({{"event", "step-started"}, {"port", port}, {"index", index}, {"name", name}}));
}

void CStationEvents::Progress(const std::string& port, const std::string& meter) {
  // The meter's text starts with the per cent; a reader wants the number for a bar.
  const int percent = meter.empty() ? -1 : std::atoi(meter.c_str());
  Write(Dump({{"event", "progress"}, {"port", port}, {"percent", percent}, {"text", meter}}));
}

void CStationEvents::StepEnded(const std::string& port, size_t index,
                               const station::StepRecord& step) {
  Write(Dump({{"event", "step-ended"},
              {"port", port},
              {"index", index},
              {"name", step.name},
              {"result", step.skipped ? "skipped" : step.passed ? "pass" : "fail"},
              {"message", step.message},
              {"seconds", step.seconds}}));
}

void CStationEvents::Picture(const std::string& port, const std::string& path) {
  Write(Dump({{"event", "picture"}, {"port", port}, {"path", path}}));
}

void CStationEvents::Prompt(const std::string& port, size_t index,
                            const station::StationStep& step, unsigned timeoutMs) {
  Write(Dump({{"event", "prompt"},
              {"port", port},
              {"index", index},
              {"text", step.promptText},
              {"picture", step.promptPicture},
              {"timeoutMs", timeoutMs}}));
}

void CStationEvents::CameraEnded(const station::StationRun& run,
                                 const station::CameraRecord& camera) {
  // The record exactly as the JSON lines report keeps it, so a reader needs one parser.
  // The run's own facts only: the other cameras' records are still being written.
  station::StationRun one;
  one.planPath = run.planPath;
  one.planHash = run.planHash;
  one.station = run.station;
  one.startedAt = run.startedAt;
  one.cameras = {camera};
  std::string record = station::JsonLinesReport(one);
  if (!record.empty() && record.back() == '\n') record.pop_back();
  Write(Dump({{"event", "camera-ended"}, {"port", camera.port}, {"passed", camera.passed},
              {"record", Json::parse(record, nullptr, false)}}));
}

OperatorAnswer ParseOperatorAnswer(const std::string& line, const std::string& port) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
  std::string answer;
  if (text == "pass" || text == "fail") {
    answer = text;
  } else {
    const Json json = Json::parse(text, nullptr, false);
    if (!json.is_object()) return OperatorAnswer::None;
    const auto p = json.find("port");
    if (p != json.end() && (!p->is_string() || p->get<std::string>() != port))
      return OperatorAnswer::None;
    const auto a = json.find("answer");
    if (a == json.end() || !a->is_string()) return OperatorAnswer::None;
    answer = a->get<std::string>();
  }
  if (answer == "pass") return OperatorAnswer::Pass;
  if (answer == "fail") return OperatorAnswer::Fail;
  return OperatorAnswer::None;
}

bool ParseStartLine(const std::string& line, std::string& unitList) {
  const Json json = Json::parse(line, nullptr, false);
  if (!json.is_object()) return false;
  const auto start = json.find("start");
  if (start == json.end() || !start->is_boolean() || !start->get<bool>()) return false;
  const auto unit = json.find("unit");
  if (unit != json.end() && !unit->is_string()) return false;
  unitList = unit == json.end() ? "" : unit->get<std::string>();
  return true;
}

}  // namespace cli
