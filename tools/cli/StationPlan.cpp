#include "StationPlan.h"

#include <cctype>
#include <cstdio>
#include <set>
#include <vector>

// Header-only: the plan is read in this one file, and no separate library has to be found
// for every architecture the command line is built for.
#define TOML_HEADER_ONLY 1
// Inline arrays and tables in one another: a plan needs none, 16 is plenty.
#define TOML_MAX_NESTED_VALUES 16
#include <toml++/toml.h>

#include "CliValues.h"
#include "core/InputFile.h"
#include "core/SettingsTable.h"

namespace cli {

namespace {

// Thrown inside the reader only; turned into "PLAN:LINE: reason" at its boundary.
struct PlanError {
  int line;
  std::string text;
};

[[noreturn]] void Fail(const toml::node& where, const std::string& text) {
  throw PlanError{static_cast<int>(where.source().begin.line), text};
}

struct KindInfo {
  const char* name;
  StationStep::Kind kind;
  std::set<std::string> keys;  // besides "kind" and "timeout_ms"
};

const std::vector<KindInfo>& Kinds() {
  static const std::vector<KindInfo> kinds = {
      {"find", StationStep::Kind::Find, {}},
      {"version", StationStep::Kind::Version, {"expect"}},
      {"profile", StationStep::Kind::Profile, {"file"}},
      {"serial", StationStep::Kind::Serial, {"line", "format", "start", "x", "y"}},
      {"capture", StationStep::Kind::Capture, {"checks", "transmit"}},
      {"read-stored", StationStep::Kind::ReadStored, {"index"}},
      {"reset", StationStep::Kind::Reset, {}},
  };
  return kinds;
}

std::string String(const toml::node& node, const std::string& key) {
  if (!node.is_string()) Fail(node, key + " must be a string");
  return *node.value<std::string>();
}

long long Integer(const toml::node& node, const std::string& key, long long min, long long max) {
  if (!node.is_integer()) Fail(node, key + " must be an integer");
  const long long value = node.as_integer()->get();
  if (value < min || value > max)
    Fail(node, key + " must be " + std::to_string(min) + ".." + std::to_string(max) + " (got " +
                   std::to_string(value) + ")");
  return value;
}

bool Boolean(const toml::node& node, const std::string& key) {
  if (!node.is_boolean()) Fail(node, key + " must be true or false");
  return node.as_boolean()->get();
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// What the TOML library would have to hold, bounded before it is parsed: it keeps every
// value as a node of its own and destroys nested tables recursively, so a megabyte of
// "a.a.a..." would exhaust the stack and one of "[1,1,1,..." takes forty times its size.
// A scan outside strings and comments counts the items (each "=", ",", "[", "{") and the
// parts of each dotted key.
//
// It also keeps non-ASCII characters from the places where this version of the library
// classifies one by an unreachable branch (undefined behaviour): anywhere outside strings
// and comments (never valid TOML there) and right after a line-ending backslash in a
// multi-line string. To agree with the library on what is a string, it follows where a
// value may start: a bare value (number, date, boolean) is read up to a terminator,
// quotes and all, as the library reads it. Returns the line of the first fault, 0: none.
int PlanShapeFault(const std::string& text, std::string& why) {
  size_t items = 0, dots = 0;
  int line = 1;
  bool valueNext = false;      // a value may start here: after "=", or in an array
  std::vector<char> brackets;  // the value arrays and inline tables open here
  auto ascii = [&](size_t at) { return static_cast<unsigned char>(text[at]) < 0x80; };
  auto fault = [&](const std::string& text) {
    why = text;
    return line;
  };
  auto terminator = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ']' || c == '}' || c == ',' || c == '#';
  };
  const std::string outside = "a non-ASCII character outside a string or comment";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      dots = 0;
      if (brackets.empty()) valueNext = false;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      continue;
    } else if (c == '#') {
      while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
    } else if (c == '"' || c == '\'') {
      // A string, one-line or multi-line; a basic one has escapes. Dots inside it are text.
      valueNext = false;
      const bool triple = text.compare(i, 3, std::string(3, c)) == 0;
      const std::string close = triple ? std::string(3, c) : std::string(1, c);
      for (i += close.size(); i < text.size(); ++i) {
        if (text[i] == '\n') {
          ++line;
          if (!triple) break;  // an unclosed string: the parser says so
        }
        if (c == '"' && text[i] == '\\') {
          size_t end = i + 1;
          while (end < text.size() && (text[end] == ' ' || text[end] == '\t' || text[end] == '\r')) ++end;
          if (!triple || end >= text.size() || text[end] != '\n') {
            ++i;  // an escape: the next character is its own
            continue;
          }
          // A line-ending backslash: the whitespace up to the next text is dropped.
          while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end]))) {
            line += text[end] == '\n';
            ++end;
          }
          if (end < text.size() && !ascii(end))
            return fault("a non-ASCII character right after a line-ending backslash; write it as \\uXXXX");
          i = end - 1;
        } else if (text.compare(i, close.size(), close) == 0) {
          i += close.size() - 1;
          break;
        }
      }
    } else if (!ascii(i)) {
      return fault(outside);
    } else if (valueNext && c != '[' && c != '{' && c != ']' && c != '}' && c != ',') {
      // A bare value, read to its terminator; a date may go on after one space.
      const size_t start = i;
      for (; i < text.size(); ++i) {
        if (text[i] == ' ' && i - start == 10 && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])))
          continue;
        if (terminator(text[i])) break;
        if (!ascii(i)) return fault(outside);
      }
      --i;
      valueNext = false;
    } else if (c == '.') {
      if (++dots >= kPlanMaxKeyParts)
        return fault("a key of more than " + std::to_string(kPlanMaxKeyParts) + " dotted parts");
    } else if (c == '=' || c == ',' || c == '[' || c == '{') {
      dots = 0;
      if (++items > kPlanMaxItems)
        return fault("more than " + std::to_string(kPlanMaxItems) + " keys and values; a plan is far smaller");
      if (c == '=') {
        valueNext = true;
      } else if (c == '{') {
        brackets.push_back(c);
        valueNext = false;  // its keys come first
      } else if (c == '[') {
        if (valueNext) brackets.push_back(c);  // else a [table] header
      } else {
        valueNext = !brackets.empty() && brackets.back() == '[';
      }
    } else if (c == ']' || c == '}') {
      if (!brackets.empty() && brackets.back() == (c == ']' ? '[' : '{')) brackets.pop_back();
      valueNext = false;
    } else if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
      dots = 0;
    }
  }
  return 0;
}

// The field of a serial format: "{}" or "{:N}" / "{:0N}" (width, zero-padded). Returns
// the text before and after it; no field: the number follows the whole text.
struct SerialFormat {
  std::string before, after;
  int width = 0;
  bool zeros = false;
};

bool ParseSerialFormat(const std::string& format, SerialFormat& out, std::string& why) {
  const size_t open = format.find('{');
  if (open == std::string::npos) {
    if (format.find('}') != std::string::npos) return why = "'}' without '{'", false;
    out.before = format;
    return true;
  }
  const size_t close = format.find('}', open);
  if (close == std::string::npos) return why = "'{' without '}'", false;
  std::string field = format.substr(open + 1, close - open - 1);
  if (!field.empty()) {
    if (field[0] != ':' || field.size() < 2) return why = "the field must be {} or {:N} or {:0N}", false;
    field.erase(0, 1);
    out.zeros = field[0] == '0';
    auto width = ParseUnsigned(field, 1, 20);
    if (!width) return why = "the field must be {} or {:N} or {:0N} with N 1..20", false;
    out.width = static_cast<int>(*width);
  }
  out.before = format.substr(0, open);
  out.after = format.substr(close + 1);
  if (out.after.find_first_of("{}") != std::string::npos) return why = "only one field", false;
  return true;
}

std::string FormatSerial(const SerialFormat& f, unsigned long number) {
  char digits[48];
  std::snprintf(digits, sizeof digits, f.zeros ? "%0*lu" : "%*lu", f.width, number);
  return f.before + digits + f.after;
}

void ReadStepKeys(const toml::table& table, const KindInfo& kind, StationStep& step,
                  const std::string& planFolder, size_t& profileBytes) {
  bool hasExpect = false, hasFile = false, hasFormat = false;
  for (auto&& [key, node] : table) {
    const std::string name(key.str());
    if (name == "kind") continue;
    if (name != "timeout_ms" && !kind.keys.count(name))
      Fail(node, "unknown key '" + name + "' for a " + kind.name + " step");
    if (name == "timeout_ms") {
      step.timeoutMs = static_cast<unsigned>(Integer(node, name, 1, 3600000));
    } else if (name == "expect") {
      step.expect = String(node, name);
      hasExpect = true;
    } else if (name == "file") {
      step.profilePath = String(node, name);
      if (!step.profilePath.empty() && step.profilePath[0] != '/')
        step.profilePath = planFolder + step.profilePath;
      std::string bytes, unreadable;
      if (!ReadInputFile(step.profilePath, kProfileMaxBytes, &bytes, &unreadable))
        Fail(node, "cannot read the profile " + step.profilePath + ": " + unreadable);
      profileBytes += bytes.size();
      if (profileBytes > kPlanMaxProfileBytes)
        Fail(node, "the profiles this plan names come to more than " +
                       std::to_string(kPlanMaxProfileBytes) + " bytes");
      step.profileHash = Fnv1a64Hex(bytes);
      // The profile is refused with the plan, before any camera is touched.
      ProfileError why;
      std::optional<Profile> profile = ParseProfile(bytes, why);
      if (!profile) Fail(node, "profile " + step.profilePath + ": " + why.Text());
      // No operator confirms a rate the adapters may not reach, as `profile apply --yes` does.
      const std::optional<unsigned>& rate = profile->settings.defaultRate;
      if (rate && *rate > kBaudWarningAbove)
        Fail(node, "profile " + step.profilePath + ": a default_rate above " +
                       std::to_string(kBaudWarningAbove) + " is not taken by a station");
      step.profile = *profile;
      step.profileText = bytes;
      hasFile = true;
    } else if (name == "line") {
      step.osdLine = static_cast<int>(Integer(node, name, 1, 4)) - 1;
    } else if (name == "format") {
      step.format = String(node, name);
      hasFormat = true;
      SerialFormat f;
      std::string why;
      if (!ParseSerialFormat(step.format, f, why)) Fail(node, "format: " + why);
    } else if (name == "start") {
      step.start = static_cast<unsigned long>(Integer(node, name, 0, 999999999999LL));
    } else if (name == "x" || name == "y") {
      const SettingRow& row = Setting("osd", name);
      const long long v = Integer(node, name, row.min, row.max);
      if (std::optional<std::string> why = RefuseValue(row, v)) Fail(node, name + " " + *why);
      (name == "x" ? step.x : step.y) = static_cast<unsigned>(v);
    } else if (name == "checks") {
      std::string why;
      if (!ParsePictureChecks(String(node, name), step.checks, why)) Fail(node, "checks: " + why);
    } else if (name == "transmit") {
      auto t = ParseTransmit(String(node, name));
      if (!t) Fail(node, "transmit must be all, 512, 2048, 4096, 8192 or 10240");
      step.transmit = *t;
    } else if (name == "index") {
      step.readIndex = static_cast<int>(Integer(node, name, 1, 255));
    }
  }
  if (kind.kind == StationStep::Kind::Version && !hasExpect)
    Fail(table, "a version step needs expect (a pattern such as \"QVX5M0 *\")");
  if (kind.kind == StationStep::Kind::Profile) {
    if (!hasFile) Fail(table, "a profile step needs file");
  }
  if (kind.kind == StationStep::Kind::Serial) {
    if (!hasFormat) Fail(table, "a serial step needs format (such as \"SN{:06}\")");
    // The largest number the run may write must still fit the OSD line.
    SerialFormat f;
    std::string why;
    ParseSerialFormat(step.format, f, why);
    auto bytes = Utf8ToGb18030(FormatSerial(f, step.start + 999));
    if (!bytes) Fail(table, "format has characters the camera cannot show");
    const SettingRow& textRow = Setting("osd", "text");
    if (RefuseTextBytes(textRow, bytes->size()))
      Fail(table, "format makes a text longer than " + std::to_string(textRow.max) + " bytes");
  }
}

StationStep ReadStep(const toml::node& node, const std::string& planFolder, size_t& profileBytes) {
  const toml::table* table = node.as_table();
  if (!table) Fail(node, "a step must be a table ([[step]])");
  const toml::node* kindNode = table->get("kind");
  if (!kindNode) Fail(node, "a step needs kind");
  const std::string kindName = String(*kindNode, "kind");
  const KindInfo* kind = nullptr;
  for (const KindInfo& k : Kinds())
    if (kindName == k.name) kind = &k;
  if (!kind)
    Fail(*kindNode, "unknown kind '" + kindName +
                        "' (find, version, profile, serial, capture, read-stored or reset)");
  StationStep step;
  step.kind = kind->kind;
  step.name = kind->name;
  step.line = static_cast<int>(node.source().begin.line);
  ReadStepKeys(*table, *kind, step, planFolder, profileBytes);
  return step;
}

void ReadPlanTable(const toml::table& root, StationPlan& plan) {
  const toml::array* steps = nullptr;
  for (auto&& [key, node] : root) {
    const std::string name(key.str());
    if (name == "stop_at_first_failure") {
      plan.stopAtFirstFailure = Boolean(node, name);
    } else if (name == "baud") {
      plan.baud = static_cast<unsigned>(Integer(node, name, 1, std::stoll(RateItems().back())));
      if (!IsListedBaud(plan.baud)) {
        std::string list;
        for (size_t i = 0; i < RateItems().size(); ++i)
          list += (i == 0 ? "" : i + 1 == RateItems().size() ? " or " : ", ") + RateItems()[i];
        Fail(node, "baud must be " + list);
      }
    } else if (name == "serial") {
      plan.serial = static_cast<uint8_t>(Integer(node, name, 0, 255));
    } else if (name == "step") {
      steps = node.as_array();
      if (!steps) Fail(node, "step must be an array of tables ([[step]])");
    } else {
      Fail(node, "unknown key '" + name + "'");
    }
  }
  if (!steps || steps->empty()) throw PlanError{1, "the plan has no steps ([[step]])"};
  if (steps->size() > kPlanMaxSteps)
    Fail((*steps)[kPlanMaxSteps], "the plan has " + std::to_string(steps->size()) +
                                      " steps, more than the " + std::to_string(kPlanMaxSteps) +
                                      " a plan may have");
  size_t profileBytes = 0;
  for (const toml::node& node : *steps) {
    StationStep step = ReadStep(node, Folder(plan.path), profileBytes);
    // The search opens the port itself at each rate, so it can only come first.
    if (step.kind == StationStep::Kind::Find && !plan.steps.empty())
      Fail(node, "find must be the first step");
    plan.steps.push_back(std::move(step));
  }
}

}  // namespace

std::string Fnv1a64Hex(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string SerialText(const StationStep& step, size_t position) {
  SerialFormat f;
  std::string why;
  ParseSerialFormat(step.format, f, why);
  return FormatSerial(f, step.start + position);
}

bool ReadStationPlan(const std::string& path, StationPlan& plan, std::string& error) {
  std::string bytes, why;
  if (!ReadInputFile(path, kPlanMaxBytes, &bytes, &why)) {
    plan = StationPlan{};
    plan.path = path;
    error = path + ": cannot read the plan: " + why;
    return false;
  }
  return ParseStationPlan(bytes, path, plan, error);
}

bool ParseStationPlan(const std::string& bytes, const std::string& path, StationPlan& plan,
                      std::string& error) {
  plan = StationPlan{};
  plan.path = path;
  plan.hash = Fnv1a64Hex(bytes);
  std::string why;
  if (bytes.size() > kPlanMaxBytes) {
    error = path + ": the plan is " + std::to_string(bytes.size()) + " bytes, more than the " +
            std::to_string(kPlanMaxBytes) + " a plan may have";
    return false;
  }
  if (const int line = PlanShapeFault(bytes, why)) {
    error = path + ":" + std::to_string(line) + ": " + why;
    return false;
  }
  try {
    toml::table root = toml::parse(bytes, path);
    ReadPlanTable(root, plan);
  } catch (const toml::parse_error& e) {
    error = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    return false;
  } catch (const PlanError& e) {
    error = path + ":" + std::to_string(e.line) + ": " + e.text;
    return false;
  }
  return true;
}

}  // namespace cli
