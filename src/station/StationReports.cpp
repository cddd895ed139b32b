#include "station/StationReports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace station {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at s[i], 0 when there is none (overlong forms,
// surrogates and values above U+10FFFF included).
size_t Utf8SequenceAt(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

std::string Number(double value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : "0";
}

std::string Seconds(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", value);
  return buf;
}

// XML 1.0 allows no control character but tab, line feed and carriage return, not even
// as a reference, so the others are written out as \xNN; attributes keep their line breaks
// and tabs as references (a parser would fold them to spaces otherwise).
std::string Xml(const std::string& raw, bool attribute) {
  const std::string text = ValidUtf8(raw);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += attribute ? "&quot;" : "\""; continue;
      case '\t': out += attribute ? "&#9;" : "\t"; continue;
      case '\n': out += attribute ? "&#10;" : "\n"; continue;
      case '\r': out += "&#13;"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else if (c == 0xEF && i + 2 < text.size() && text[i + 1] == '\xBF' &&
               (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
      out += kReplacement;  // U+FFFE and U+FFFF are not XML characters either
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Attr(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + Xml(value, true) + "\"";
}

struct Counts {
  size_t tests = 0, failures = 0, skipped = 0;
  double seconds = 0;
};

Counts CountSteps(const CameraRecord& camera) {
  Counts c;
  c.tests = camera.steps.size();
  c.seconds = camera.seconds;
  for (const StepRecord& step : camera.steps) {
    if (step.skipped) ++c.skipped;
    else if (!step.passed) ++c.failures;
  }
  return c;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

const char* UnitSourceText(UnitSource source) {
  return source == UnitSource::Given ? "given" : source == UnitSource::Counter ? "counter" : "";
}

// The unit's result as the operator reads it: a marginal unit passed.
const char* ResultText(const CameraRecord& camera) {
  return !camera.passed ? "fail" : camera.marginal ? "marginal" : "pass";
}

const char* StepResultText(const StepRecord& step) {
  return step.skipped ? "skipped" : !step.passed ? "fail" : step.marginal ? "marginal" : "pass";
}

std::string Optional(const std::optional<double>& value) { return value ? Number(*value) : ""; }

bool Belongs(const Measurement& m, const StepRecord& step) {
  return m.step == step.index && m.attempt == step.attempt;
}

// A test case's properties: the picture the step kept and each of its measurements, as
// "measurement.FIGURE.FIELD" (limits that are absent are left out).
std::string StepProperties(const CameraRecord& camera, const StepRecord& step) {
  std::string out;
  const auto property = [&](const std::string& name, const std::string& value) {
    out += "        <property" + Attr("name", name.c_str()) + Attr("value", value) + "/>\n";
  };
  if (!step.picturePath.empty()) property("picture", step.picturePath);
  for (const Measurement& m : camera.measurements) {
    if (!Belongs(m, step)) continue;
    const std::string key = "measurement." + m.name + ".";
    property(key + "value", Optional(m.value));
    if (!m.notMeasured.empty()) property(key + "not-measured", m.notMeasured);
    if (!m.unit.empty()) property(key + "unit", m.unit);
    const std::pair<const char*, std::optional<double>> limits[] = {
        {"low", m.low}, {"high", m.high}, {"marginal-low", m.marginalLow}, {"marginal-high", m.marginalHigh}};
    for (const auto& [name, value] : limits)
      if (value) property(key + name, Number(*value));
    property(key + "outcome", OutcomeName(m.outcome));
  }
  return out.empty() ? "" : "      <properties>\n" + out + "      </properties>\n";
}

void JUnitSuite(std::string& out, const CameraRecord& camera, const StationRun& run) {
  const Counts c = CountSteps(camera);
  out += "  <testsuite" + Attr("name", camera.port) + Attr("tests", std::to_string(c.tests)) +
         Attr("failures", std::to_string(c.failures)) + Attr("errors", "0") +
         Attr("skipped", std::to_string(c.skipped)) + Attr("time", Seconds(c.seconds)) +
         Attr("timestamp", camera.startedAt) + Attr("hostname", run.station) + ">\n";
  out += "    <properties>\n";
  const std::pair<const char*, std::string> properties[] = {
      {"device", camera.device},           {"adapter-serial", camera.adapterSerial},
      {"baud", std::to_string(camera.baud)}, {"version", camera.version},
      {"serial-written", camera.serialWritten}, {"profile-hash", camera.profileHash},
      {"picture", camera.picturePath},     {"plan-hash", run.planHash},
      {"plan-name", run.planName},         {"unit", camera.unit},
      {"unit-source", UnitSourceText(camera.unitSource)},
      {"attempt", std::to_string(camera.attempt)},
      {"result", ResultText(camera)},
      {"interrupted", camera.interrupted || run.interrupted ? "true" : "false"}};
  for (const auto& [name, value] : properties)
    out += "      <property" + Attr("name", name) + Attr("value", value) + "/>\n";
  out += "    </properties>\n";
  for (const StepRecord& step : camera.steps) {
    // A retried step's later tries are told apart by name: tools key test cases by it.
    const std::string name = step.attempt > 1 ? step.name + " (try " + std::to_string(step.attempt) + ")"
                                              : step.name;
    out += "    <testcase" + Attr("classname", camera.port) + Attr("name", name) +
           Attr("time", Seconds(step.seconds));
    std::string body = StepProperties(camera, step);
    if (step.skipped) {
      body += std::string("      <skipped") +
              (camera.interrupted || run.interrupted ? Attr("message", "interrupted") : "") + "/>\n";
    } else if (!step.passed) {
      body += "      <failure" + Attr("message", step.message) +
              Attr("type", "status " + std::to_string(step.status)) + ">" +
              Xml(Joined(step.log), false) + "</failure>\n";
    } else if (!step.log.empty()) {
      body += "      <system-out>" + Xml(Joined(step.log), false) + "</system-out>\n";
    }
    out += body.empty() ? "/>\n" : ">\n" + body + "    </testcase>\n";
  }
  out += "  </testsuite>\n";
}

nlohmann::ordered_json FiguresJson(const std::optional<PictureFigures>& figures) {
  if (!figures || !figures->measured) return nullptr;
  const PictureFigures& f = *figures;
  return {{"width", f.width},           {"height", f.height},
          {"meanLuma", f.meanLuma},     {"minLuma", f.minLuma},
          {"maxLuma", f.maxLuma},       {"lumaSpread", f.lumaSpread},
          {"clippedBlack", f.clippedBlack}, {"clippedWhite", f.clippedWhite},
          {"sharpness", f.sharpness},   {"uniform", f.uniform},
          {"meanRed", f.meanRed},       {"meanGreen", f.meanGreen},
          {"meanBlue", f.meanBlue}};
}

// The step that failed the unit: what a summary row names.
const StepRecord* FailedStep(const CameraRecord& camera) { return FailingStep(camera); }

// Every picture the unit's steps kept, in step order.
std::string Pictures(const CameraRecord& camera) {
  std::string out;
  for (const StepRecord& step : camera.steps)
    if (!step.picturePath.empty()) out += (out.empty() ? "" : ";") + step.picturePath;
  return out;
}

std::string CsvField(const std::string& raw) {
  const std::string text = ValidUtf8(raw);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8SequenceAt(text, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string JUnitReport(const StationRun& run) {
  Counts all;
  for (const CameraRecord& camera : run.cameras) {
    const Counts c = CountSteps(camera);
    all.tests += c.tests;
    all.failures += c.failures;
    all.skipped += c.skipped;
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<testsuites" + Attr("name", run.planPath) + Attr("tests", std::to_string(all.tests)) +
         Attr("failures", std::to_string(all.failures)) + Attr("errors", "0") +
         Attr("skipped", std::to_string(all.skipped)) + Attr("time", Seconds(run.seconds)) +
         Attr("timestamp", run.startedAt) + ">\n";
  for (const CameraRecord& camera : run.cameras) JUnitSuite(out, camera, run);
  out += "</testsuites>\n";
  return out;
}

std::string JsonLinesReport(const StationRun& run) {
  std::string out;
  for (const CameraRecord& camera : run.cameras) {
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const StepRecord& step : camera.steps)
      steps.push_back({{"name", step.name},
                       {"result", StepResultText(step)},
                       {"status", step.status},
                       {"message", step.message},
                       {"log", step.log},
                       {"seconds", step.seconds},
                       {"index", step.index},
                       {"attempt", step.attempt},
                       {"continued", step.continued},
                       {"picture", step.picturePath}});
    nlohmann::ordered_json measurements = nlohmann::ordered_json::array();
    const auto limit = [](const std::optional<double>& v) {
      return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
    };
    for (const Measurement& m : camera.measurements)
      measurements.push_back({{"name", m.name},
                              {"value", limit(m.value)},
                              {"notMeasured", m.notMeasured},
                              {"unit", m.unit},
                              {"low", limit(m.low)},
                              {"high", limit(m.high)},
                              {"marginalLow", limit(m.marginalLow)},
                              {"marginalHigh", limit(m.marginalHigh)},
                              {"outcome", OutcomeName(m.outcome)},
                              {"step", m.step},
                              {"stepName", m.stepName},
                              {"attempt", m.attempt},
                              {"limits", m.limitText}});
    const nlohmann::ordered_json line = {
        {"station", run.station},         {"plan", run.planPath},
        {"planHash", run.planHash},       {"runStartedAt", run.startedAt},
        {"interrupted", run.interrupted}, {"port", camera.port},
        {"device", camera.device},        {"adapterSerial", camera.adapterSerial},
        {"baud", camera.baud},            {"version", camera.version},
        {"serialWritten", camera.serialWritten}, {"profileHash", camera.profileHash},
        {"picture", camera.picturePath},  {"figures", FiguresJson(camera.figures)},
        {"passed", camera.passed},        {"startedAt", camera.startedAt},
        {"seconds", camera.seconds},      {"steps", steps},
        {"planName", run.planName},       {"unit", camera.unit},
        {"unitSource", UnitSourceText(camera.unitSource)},
        {"attempt", camera.attempt},      {"result", ResultText(camera)},
        {"cameraInterrupted", camera.interrupted},
        {"measurements", measurements}};
    // A camera's bytes that are not UTF-8 become U+FFFD instead of ending the report.
    out += line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  return out;
}

std::string CsvReport(const StationRun& run) {
  static const char* const kHeader[] = {
      "port", "device", "adapter_serial", "baud", "version", "serial_written", "profile_hash",
      "picture", "width", "height", "mean_luma", "sharpness", "uniform", "passed",
      "failed_step", "message", "started_at", "seconds",
      // Added after the first columns, so readers of those still find them where they were.
      "unit", "attempt", "result", "interrupted", "pictures"};
  std::string out;
  for (const char* name : kHeader) out += std::string(out.empty() ? "" : ",") + name;
  out += "\r\n";
  for (const CameraRecord& camera : run.cameras) {
    const bool measured = camera.figures && camera.figures->measured;
    const StepRecord* failed = FailedStep(camera);
    const std::string fields[] = {
        camera.port, camera.device, camera.adapterSerial, std::to_string(camera.baud),
        camera.version, camera.serialWritten, camera.profileHash, camera.picturePath,
        measured ? std::to_string(camera.figures->width) : "",
        measured ? std::to_string(camera.figures->height) : "",
        measured ? Number(camera.figures->meanLuma) : "",
        measured ? Number(camera.figures->sharpness) : "",
        measured ? (camera.figures->uniform ? "1" : "0") : "",
        camera.passed ? "1" : "0", failed ? failed->name : "", failed ? failed->message : "",
        camera.startedAt, Seconds(camera.seconds), camera.unit, std::to_string(camera.attempt),
        ResultText(camera), camera.interrupted || run.interrupted ? "1" : "0", Pictures(camera)};
    for (const std::string& field : fields) out += (&field == fields ? "" : ",") + CsvField(field);
    out += "\r\n";
  }
  return out;
}

std::string CsvMeasurementsReport(const StationRun& run) {
  static const char* const kHeader[] = {
      "port", "unit", "attempt", "step", "step_name", "try", "name", "value", "unit_of_value",
      "low", "high", "marginal_low", "marginal_high", "outcome", "not_measured", "interrupted"};
  std::string out;
  for (const char* name : kHeader) out += std::string(out.empty() ? "" : ",") + name;
  out += "\r\n";
  for (const CameraRecord& camera : run.cameras)
    for (const Measurement& m : camera.measurements) {
      const std::string fields[] = {
          camera.port, camera.unit, std::to_string(camera.attempt), std::to_string(m.step + 1),
          m.stepName, std::to_string(m.attempt), m.name, Optional(m.value), m.unit,
          Optional(m.low), Optional(m.high), Optional(m.marginalLow), Optional(m.marginalHigh),
          OutcomeName(m.outcome), m.notMeasured, camera.interrupted || run.interrupted ? "1" : "0"};
      for (const std::string& field : fields) out += (&field == fields ? "" : ",") + CsvField(field);
      out += "\r\n";
    }
  return out;
}

std::string MeasurementsCsvPath(const std::string& csvPath) {
  const size_t slash = csvPath.rfind('/');
  const size_t dot = csvPath.rfind('.');
  const bool suffix = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return suffix ? csvPath.substr(0, dot) + "-measurements" + csvPath.substr(dot)
                : csvPath + "-measurements.csv";
}

bool WriteReportFile(const std::string& path, const std::string& text, std::string& error,
                     const TemporaryFileWatch& watch) {
  const auto fail = [&](const char*) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  };
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail("create");
  if (watch) watch(temp, true);
  // Told on every way out: the file is then renamed or removed.
  struct Gone {
    const TemporaryFileWatch& watch;
    const std::string& temp;
    ~Gone() {
      if (watch) watch(temp, false);
    }
  } gone{watch, temp};
  const char* failed = nullptr;
  for (size_t done = 0; !failed && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failed = "write";
    else done += static_cast<size_t>(n);
  }
  // mkstemp makes the file private; a report is read by the line's other tools.
  if (!failed && (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0)) failed = "write";
  int reason = errno;
  if (::close(fd) != 0 && !failed) failed = "write", reason = errno;
  if (!failed && ::rename(temp.c_str(), path.c_str()) != 0) failed = "rename", reason = errno;
  if (failed) {
    ::unlink(temp.c_str());
    errno = reason;
    return fail(failed);
  }
  // The rename itself reaches the disk only with its folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace station
