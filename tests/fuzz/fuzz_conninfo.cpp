// The masking of a results-store target before it is shown: any text a user might pass as
// --db. A password libpq would read from it must not be readable in what is shown, nor in
// a message that quotes it.
#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "StationDb.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The password libpq reads from text, "" when none or when text does not parse.
std::string PasswordOf(const std::string& text) {
  std::string password;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), nullptr);
  if (!options) return password;
  for (PQconninfoOption* o = options; o->keyword; ++o)
    if (std::string(o->keyword) == "password" && o->val) password = o->val;
  PQconninfoFree(options);
  return password;
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
  const std::string shown = cli::RedactedTarget(target);
  const std::string password = PasswordOf(target);
  if (password.empty()) return 0;
  // Whatever libpq takes a password from is treated as a connection string, never as the
  // name of an SQLite file shown as it is.
  Check(cli::IsConnectionString(target));
  const std::string seen = PasswordOf(shown);
  Check(seen.empty() || seen == "***");
  // Written out once (so it is the password's own place), it is gone from what is shown.
  if (password.size() >= 4 && Occurrences(target, password) == 1)
    Check(shown.find(password) == std::string::npos);
  if (password.size() >= 3)
    Check(cli::RedactedMessage("server said: " + password + ".", target).find(password) == std::string::npos);
  return 0;
}
