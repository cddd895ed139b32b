#include "CliValues.h"

#include "core/SettingsTable.h"

#include <cctype>
#include <cerrno>
#include <vector>

namespace cli {

const char* const kBaudWarningText =
    "RS485 serial：limt max 115200bps\n\nRS232 serial：limt max 230400bps\n\nTTL serail：limt max "
    "921600bps\n\nPlease be careful to choose baud base on your serial type.\nBecasue wrong baud "
    "may cause communication fail!\n\nIf need modify please click OK or click Cancel";

std::optional<unsigned long> ParseUnsigned(const std::string& text, unsigned long min,
                                           unsigned long max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

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

std::optional<int> ParseTransmit(const std::string& text) {
  if (text == "all") return 0;
  if (text == "8196") return 4;  // the list's own caption for the 8192-byte block
  auto value = ParseUnsigned(text, 1, 10240);
  if (!value) return std::nullopt;
  for (size_t i = 1; i < kTransmitBlocks.size(); ++i)
    if (kTransmitBlocks[i] == *value) return static_cast<int>(i);
  return std::nullopt;
}

}  // namespace cli
