#include "core/TextCodec.h"

#include <iconv.h>

#include <vector>

std::optional<std::string> Utf8ToGb18030(const std::string& utf8) {
  iconv_t cd = iconv_open("GB18030", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::vector<char> in(utf8.begin(), utf8.end());
  // GB18030 needs at most 4 bytes per character, and UTF-8 at least 1.
  std::vector<char> out(in.size() * 4 + 4);
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  bool ok = rc != static_cast<size_t>(-1) && inLeft == 0;
  // Flush any shift state (GB18030 has none, but the call is the documented way to finish).
  if (ok) ok = iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return std::string(out.data(), static_cast<size_t>(outPtr - out.data()));
}

