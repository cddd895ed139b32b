#include "core/ModelIdentification.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>

namespace {

struct ModelRow {
  int row;
  const char* pattern;
  int modelCode;
  int variant;  // 0 = keep the previous variant
  int sizes;
};

// Tried in order after the QVX0806 and QVX1M3 checks; a plain name must come before its
// "E" variant because the literal characters decide (QVX2M2 does not match QVX2M2E).
constexpr ModelRow kFamilyRows[] = {
    {3, "QVX2M0 %d.%d", 2, 0, 7},        {4, "QVX1M0 %d.%d", 3, 0, 5},
    {5, "QVX2M2 %d.%d", 5, 0, 7},        {6, "QVX2M2E %d.%d", 5, 6, 7},
    {7, "QVX3M0 %d.%d", 4, 0, 9},        {8, "QVX3M0E %d.%d", 4, 7, 9},
    {9, "QVX5M0 %d.%d", 8, 0, 11},       {10, "QVX5M0E %d.%d", 8, 9, 11},
    {11, "QVX09-200 %d.%d", 10, 0, 7},   {12, "QVX09E-200 %d.%d", 10, 11, 7},
    {13, "QVX09-130 %d.%d", 12, 0, 6},   {14, "QVX09E-130 %d.%d", 12, 13, 6},
    {15, "QVX09-30 %d.%d", 14, 0, 3},    {16, "QVX8M0 %d.%d", 15, 0, 14},
};

constexpr const char* kFamilyNames[] = {"QVX2M0", "QVX1M0", "QVX2M2", "QVX3M0",
                                        "QVX5M0", "QVX09",  "QVX8M0"};

constexpr int kFullRates = 8;
constexpr int kShortRates = 5;
constexpr int kFullSizes = 14;
constexpr int kShortSizes = 3;

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::vector<std::string> Head(const std::vector<std::string>& items, int count) {
  return {items.begin(), items.begin() + count};
}

// The largest picture among "WIDTHxHEIGHT" items (the list is not in order of area).
uint32_t LargestPictureLength(const std::vector<std::string>& sizes) {
  uint32_t largest = 0;
  for (const std::string& size : sizes) {
    unsigned w = 0, h = 0;
    if (std::sscanf(size.c_str(), "%u%*[xX]%u", &w, &h) == 2)
      largest = std::max(largest, PlausiblePictureLength(w, h));
  }
  return largest ? largest : kFamilyPictureLimit;
}

void Fill(Identification& id, int rates, int sizes, const std::vector<std::string>& light) {
  id.listsRefilled = true;
  id.defaultRates = Head(RateItems(), rates);
  id.imageSizes = Head(ImageSizeItems(), sizes);
  id.fillLights = light;
  id.pictureLimit = LargestPictureLength(id.imageSizes);
}

void Set(Identification& id, bool enable, std::initializer_list<int> ids) {
  for (int c : ids) id.enables.push_back({c, enable});
}

}  // namespace

const std::vector<std::string>& FillLightTwoStep() {
  static const std::vector<std::string> items = {"0-close", "1-open"};
  return items;
}

const std::vector<std::string>& FillLightLevels() {
  static const std::vector<std::string> items = [] {
    std::vector<std::string> v{"0-close"};
    for (int i = 1; i <= 100; ++i) v.push_back(std::to_string(i) + "%");
    return v;
  }();
  return items;
}

int ScanVersion(const std::string& text, const char* pattern, int& major, int& minor) {
  int* targets[2] = {&major, &minor};
  int converted = 0;
  size_t pos = 0;
  const size_t n = text.size();
  // Running out of text before the first conversion is an input failure (-1), not a
  // mismatch (0): the caller treats the two differently.
  auto inputEnd = [&] { return converted == 0 ? -1 : converted; };
  for (const char* p = pattern; *p; ++p) {
    if (IsSpace(*p)) {
      while (pos < n && IsSpace(text[pos])) ++pos;
      continue;
    }
    if (p[0] == '%' && p[1] == 'd') {
      ++p;
      while (pos < n && IsSpace(text[pos])) ++pos;
      if (pos >= n) return inputEnd();
      bool negative = false;
      if (text[pos] == '+' || text[pos] == '-') negative = text[pos++] == '-';
      if (pos >= n || !IsDigit(text[pos])) return converted;
      long long value = 0;
      while (pos < n && IsDigit(text[pos])) {
        // Saturate below 10^7: a version number this large is nonsense, and major * 100 +
        // minor must still fit an int.
        if (value < 1000000) value = value * 10 + (text[pos] - '0');
        ++pos;
      }
      if (converted < 2) *targets[converted] = static_cast<int>(negative ? -value : value);
      ++converted;
      continue;
    }
    if (pos >= n) return inputEnd();
    if (text[pos] != *p) return converted;
    ++pos;
  }
  return converted;
}

bool IsLevelLightModel(int code) {
  switch (code) {
    case 4: case 5: case 8: case 10: case 12: case 14: case 15:
      return true;
    default:
      return false;
  }
}

Identification ParseVersionText(const std::string& text, const ModelInfo& previous) {
  Identification id;
  id.info = previous;
  if (text.empty()) return id;

  if (text.find("QVX0806") != std::string::npos) {
    Fill(id, kShortRates, kShortSizes, FillLightTwoStep());
    id.info.modelCode = 0;
    id.row = 1;
    Set(id, false, {IDC_MORE, IDC_OSD, IDC_FILL_LIGHT, IDC_FILL_LIGHT_SET});
    Set(id, true, {IDC_HIDDEN_EDIT, IDC_COMPRESSION_SET});
    Set(id, false, {IDC_BURST5});
    return id;
  }

  int major = 0, minor = 0;
  if (ScanVersion(text, "QVX1M3 %d.%d", major, minor) != 0) {
    id.info.versionMajor = major;
    id.info.versionMinor = minor;
    id.info.modelCode = 1;
    id.info.firmwareVersion = major * 100 + minor;
    id.row = 2;
    Set(id, true, {IDC_OSD, IDC_FILL_LIGHT, IDC_FILL_LIGHT_SET});
    Set(id, false, {IDC_HIDDEN_EDIT, IDC_COMPRESSION_SET});
    int rates = kFullRates;
    if (major == 1 && minor >= 0 && minor <= 2) {
      rates = 7;  // these firmwares cannot run at 921600
      Set(id, false, {IDC_OSD});
    }
    Fill(id, rates, 9, FillLightTwoStep());
    return id;
  }

  bool family = false;
  for (const char* name : kFamilyNames) family = family || text.find(name) != std::string::npos;
  if (!family) return id;

  int sizes = kFullSizes;
  major = minor = 0;
  for (const ModelRow& row : kFamilyRows) {
    int a = 0, b = 0;
    if (ScanVersion(text, row.pattern, a, b) == 0) continue;
    major = a;
    minor = b;
    id.info.modelCode = row.modelCode;
    if (row.variant != 0) id.info.modelVariant = row.variant;
    sizes = row.sizes;
    id.row = row.row;
    break;
  }
  id.info.versionMajor = major;
  id.info.versionMinor = minor;

  const bool levels = IsLevelLightModel(id.info.modelCode);
  if (levels) {
    id.resetFillLightIndex = true;
    id.sendReadSettings = true;
  }
  id.resetImageType = true;
  id.info.firmwareVersion = major * 100 + minor;
  Set(id, true, {IDC_OSD, IDC_FILL_LIGHT});
  Set(id, false, {IDC_HIDDEN_EDIT, IDC_COMPRESSION_SET});
  Fill(id, kFullRates, sizes, levels ? FillLightLevels() : FillLightTwoStep());
  return id;
}

bool ChooseIntelligentDetection(const ModelInfo& info) {
  const int variant = info.modelVariant;
  return ((variant == 6 || variant == 7) && info.firmwareVersion >= 102) ||
         info.modelCode == 8 || info.modelCode == 15 || variant == 11 || variant == 13;
}

bool OsdUsesLargeFonts(int modelCode) { return IsLevelLightModel(modelCode); }

bool PowerOnCaptureAllowed(const ModelInfo& info) {
  // Both numbers must reach 2, each on its own: 2.2 and 3.5 qualify, 3.0 does not.
  if (info.modelCode == 1 || info.modelCode == 2)
    return info.versionMajor >= 2 && info.versionMinor >= 2;
  return IsLevelLightModel(info.modelCode);
}
