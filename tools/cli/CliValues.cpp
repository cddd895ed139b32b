#include "CliValues.h"

#include "core/SettingsTable.h"

#include <cctype>
#include <cerrno>
#include <vector>

namespace cli {

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static std::optional<unsigned long> ParseHexDigits(const std::string& digits, size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  unsigned long value = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned long>(d);
  }
  return value;
}

static bool HasHexPrefix(const std::string& text) {
  return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

std::optional<uint16_t> ParseHex16(const std::string& text) {
  auto value = ParseHexDigits(HasHexPrefix(text) ? text.substr(2) : text, 4);
  if (!value) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

std::optional<uint8_t> ParseCompression(const std::string& text) {
  std::optional<unsigned long> value =
      HasHexPrefix(text) ? ParseHexDigits(text.substr(2), 2) : ParseUnsigned(text, 0, 255);
  if (!value || RefuseValue(Setting("", "compression"), static_cast<long long>(*value))) return std::nullopt;
  return static_cast<uint8_t>(*value);
}

std::optional<int> ParseImageSize(const std::string& text) {
  if (const int index = ImageSizeIndex(text)) return index;
  return std::nullopt;
}

std::string ImageSizeText(int sizeIndex) {
  if (sizeIndex < 1 || sizeIndex > static_cast<int>(ImageSizeItems().size())) return "";
  return ImageSizeItems()[static_cast<size_t>(sizeIndex - 1)];
}

bool IsListedBaud(unsigned long baud) { return RatePosition(baud) >= 0; }

}  // namespace cli
