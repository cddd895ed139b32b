#include "CliOutput.h"

#include <cstdio>

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

Field Field::Bool(std::string name, bool value) {
  Field f;
  f.kind = Boolean;
  f.name = std::move(name);
  f.integer = value ? 1 : 0;
  return f;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
static size_t Utf8Sequence(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values above U+10FFFF are not UTF-8.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = Utf8Sequence(text, i);
    if (len == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (len > 1) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

std::string JsonObject(const ResultLine& line) {
  std::string out = "{\"command\":" + JsonString(line.command) +
                    ",\"ok\":" + (line.ok ? "true" : "false");
  if (!line.message.empty()) out += ",\"message\":" + JsonString(line.message);
  for (const Field& f : line.fields) {
    out += "," + JsonString(f.name) + ":";
    switch (f.kind) {
      case Field::String: out += JsonString(f.text); break;
      case Field::Integer: out += std::to_string(f.integer); break;
      case Field::Boolean: out += f.integer ? "true" : "false"; break;
      case Field::Real: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%.2f", f.real);
        out += buf;
        break;
      }
    }
  }
  return out + "}";
}

ResultWriter::ResultWriter(std::ostream& out, std::ostream& err, bool json)
    : m_out(out), m_err(err), m_json(json) {}

void ResultWriter::Result(const ResultLine& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearTransientLocked();
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
  ClearTransientLocked();
  m_err << "brevant-cli: " << text << '\n';
  m_err.flush();
}

void ResultWriter::Trace(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearTransientLocked();
  m_err << text;
  m_err.flush();
}

// "\r" returns to the start of the line, ESC [ K erases from there to its end.
void ResultWriter::Transient(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (text.empty()) {
    ClearTransientLocked();
    return;
  }
  m_err << '\r' << text << "\x1b[K";
  m_err.flush();
  m_bTransientShown = true;
}

void ResultWriter::ClearTransientLocked() {
  if (!m_bTransientShown) return;
  m_err << "\r\x1b[K";
  m_err.flush();
  m_bTransientShown = false;
}

}  // namespace cli
