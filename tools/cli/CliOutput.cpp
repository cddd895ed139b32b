#include "CliOutput.h"

#include <cmath>
#include <utility>

#include <nlohmann/json.hpp>

namespace cli {

Field Field::Str(std::string name, std::string value) {
  Field f;
  f.kind = String;
  f.name = std::move(name);
  f.text = std::move(value);
  return f;
}

Field Field::Int(std::string name, long long value) {
  Field f;
  f.kind = Integer;
  f.name = std::move(name);
  f.integer = value;
  return f;
}

Field Field::Num(std::string name, double value) {
  Field f;
  f.kind = Real;
  f.name = std::move(name);
  f.real = value;
  return f;
}

Field Field::Num(std::string name, double value, int decimals) {
  Field f = Num(std::move(name), value);
  f.decimals = decimals;
  return f;
}

Field Field::Bool(std::string name, bool value) {
  Field f;
  f.kind = Boolean;
  f.name = std::move(name);
  f.integer = value ? 1 : 0;
  return f;
}

namespace {

using Json = nlohmann::ordered_json;  // keys in the order scripts and the manual show them

// Compact, with bytes that are not UTF-8 replaced, so a camera's odd version text can
// never break a reader. The replacement goes out escaped, as it always has.
std::string Dump(const Json& value) {
  std::string out = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  static const std::string kReplacement = "\xEF\xBF\xBD";
  for (size_t at = out.find(kReplacement); at != std::string::npos;
       at = out.find(kReplacement, at + 6))
    out.replace(at, kReplacement.size(), "\\ufffd");
  return out;
}

void AddLines(const std::string& text, std::vector<std::string>& lines) {
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

std::string JsonString(const std::string& text) { return Dump(Json(text)); }

std::string JsonObject(const ResultLine& line) {
  Json object = {{"command", line.command}, {"ok", line.ok}};
  if (!line.message.empty()) object["message"] = line.message;
  for (const Field& f : line.fields) {
    Json& value = object[f.name];
    switch (f.kind) {
      case Field::String: value = f.text; break;
      case Field::Integer: value = f.integer; break;
      case Field::Boolean: value = f.integer != 0; break;
      // Two decimals are all most figures carry (MTF50 in cycles per pixel needs three); a
      // value that is not finite becomes null.
      case Field::Real: {
        const double scale = std::pow(10.0, f.decimals);
        value = std::round(f.real * scale) / scale;
        break;
      }
    }
  }
  return Dump(object);
}

ResultWriter::ResultWriter(std::ostream& out, std::ostream& err, bool json)
    : m_out(out), m_err(err), m_json(json) {}

void ResultWriter::Result(const ResultLine& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bKeep) {
    AddLines(line.text.empty() ? line.message : line.text, m_kept.output);
    return;
  }
  ClearTransientLocked();
  EndTraceLineLocked();
  if (m_json) {
    m_out << JsonObject(line) << '\n';
  } else {
    const std::string& text = line.text.empty() ? line.message : line.text;
    if (text.empty()) return;
    m_out << text << '\n';
  }
  m_out.flush();
}

void ResultWriter::Error(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bKeep) {
    AddLines(text, m_kept.diagnostics);
    return;
  }
  ClearTransientLocked();
  EndTraceLineLocked();
  m_err << "brevant-cli: " << text << '\n';
  m_err.flush();
}

void ResultWriter::Trace(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearTransientLocked();
  m_err << text;
  m_err.flush();
  if (!text.empty()) m_bTraceLineOpen = text.back() != '\n';
}

void ResultWriter::EndTraceLine() {
  std::lock_guard<std::mutex> lock(m_mutex);
  EndTraceLineLocked();
}

void ResultWriter::EndTraceLineLocked() {
  if (!m_bTraceLineOpen) return;
  m_err << '\n';
  m_err.flush();
  m_bTraceLineOpen = false;
}

// "\r" returns to the start of the line, ESC [ K erases from there to its end.
void ResultWriter::Transient(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (text.empty()) {
    ClearTransientLocked();
    return;
  }
  EndTraceLineLocked();
  m_err << '\r' << text << "\x1b[K";
  m_err.flush();
  m_bTransientShown = true;
}

void ResultWriter::Keep() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bKeep = true;
}

ResultWriter::Kept ResultWriter::TakeKept() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::exchange(m_kept, Kept{});
}

void ResultWriter::ClearTransientLocked() {
  if (!m_bTransientShown) return;
  m_err << "\r\x1b[K";
  m_err.flush();
  m_bTransientShown = false;
}

}  // namespace cli
