#pragma once
// Value tables and strict parsers shared by the command line checks and the output.
// Every parser refuses rather than guesses: a value the camera would receive truncated or
// wrapped is a usage error, never a silent change.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/SettingsTable.h"

namespace cli {

// Strict unsigned decimal: digits only, no sign, no blanks, within [min, max].
inline std::optional<unsigned long> ParseUnsigned(const std::string& text, unsigned long min,
                                                  unsigned long max) {
  return ParseDecimal(text, min, max);
}
// 1..4 hexadecimal digits, optionally after "0x" (a 15-bit colour box holds 4 digits).
std::optional<uint16_t> ParseHex16(const std::string& text);
// "0xNN" (hex) or plain decimal, within the settings table's compression range.
std::optional<uint8_t> ParseCompression(const std::string& text);
// "WxH" in either case of x, matched against the size list; returns the size index 1..14.
std::optional<int> ParseImageSize(const std::string& text);
// Text of size index 1..14 ("" otherwise).
std::string ImageSizeText(int sizeIndex);
// A rate of the baud list (the settings table's).
bool IsListedBaud(unsigned long baud);

}  // namespace cli
