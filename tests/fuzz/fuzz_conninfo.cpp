// The masking of a results-store target before it is shown: any text a user might pass as
// --db. A password libpq would read from it must not be readable in what is shown, nor in
// a message that quotes it.
#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "station/StationDb.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// What libpq reads from text: keyword -> value; empty when text does not parse.
std::map<std::string, std::string> Parsed(const std::string& text) {
  std::map<std::string, std::string> values;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), nullptr);
  if (!options) return values;
  for (PQconninfoOption* o = options; o->keyword; ++o)
    if (o->val) values[o->keyword] = o->val;
  PQconninfoFree(options);
  return values;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string target(reinterpret_cast<const char*>(data), size);
  // A command line cannot carry a NUL byte to libpq.
  if (target.find('\0') != std::string::npos) return 0;
  const std::string shown = station::RedactedTarget(target);
  const auto parsed = Parsed(target);
  const auto found = parsed.find("password");
  if (found == parsed.end() || found->second.empty()) return 0;
  const std::string& password = found->second;
  // Whatever libpq takes a password from is treated as a connection string, never as the
  // name of an SQLite file shown as it is.
  Check(station::IsConnectionString(target));
  const auto again = Parsed(shown);
  const auto seen = again.find("password");
  Check(seen == again.end() || seen->second == "***");
  // Written out once, and not inside another value (a password given percent-encoded may
  // also be some dbname's text), it is gone from what is shown.
  bool elsewhere = false;
  for (const auto& [key, value] : parsed)
    elsewhere = elsewhere || (key != "password" && value.find(password) != std::string::npos);
  if (password.size() >= 4 && !elsewhere && Occurrences(target, password) == 1)
    Check(shown.find(password) == std::string::npos);
  if (password.size() >= 3)
    Check(station::RedactedMessage("server said: " + password + ".", target).find(password) == std::string::npos);
  return 0;
}
