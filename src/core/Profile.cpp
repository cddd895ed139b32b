#include "core/Profile.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "core/ControlStates.h"
#include "core/ModelIdentification.h"
#include "core/SettingsRules.h"
#include "core/SettingsTable.h"
#include "core/TextCodec.h"
#include "protocol/CameraProtocol.h"
#include "protocol/CommandCodes.h"
#include "protocol/ProtocolTables.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kDetectionKinds[] = {"motion", "person", "vehicle"};

// ---------------------------------------------------------------------------------------
// Where each key stands in the text. nlohmann reports a byte position only for syntax
// errors, so a second, SAX pass over the (valid) text notes where every key begins: the
// input is read through an iterator that tells how far the parser has got.

struct TipIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;
  const char* p;
  const char** tip;
  reference operator*() const { return *p; }
  TipIterator& operator++() {
    *tip = ++p;
    return *this;
  }
  TipIterator operator++(int) {
    TipIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const TipIterator& o) const { return p == o.p; }
  bool operator!=(const TipIterator& o) const { return p != o.p; }
};

class CKeyLocator : public nlohmann::json_sax<Json> {
 public:
  CKeyLocator(const char* begin, const char** tip) : m_begin(begin), m_tip(tip) {}
  std::map<std::string, size_t> positions;  // "image_day.hue" -> offset of its opening quote
  std::optional<std::pair<std::string, size_t>> duplicate;

  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(-1); }
  bool start_array(std::size_t) override { return Open(0); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& name) override {
    // The parser has just read the key's closing quote; its opening one is the first quote
    // before it that no backslash escapes.
    size_t end = static_cast<size_t>(*m_tip - m_begin) - 1;
    size_t at = end;
    while (at > 0) {
      --at;
      if (m_begin[at] != '"') continue;
      size_t slashes = 0;
      while (at > slashes && m_begin[at - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 0) break;
    }
    m_key = Prefix() + name;
    if (!positions.emplace(m_key, at).second && !duplicate) duplicate = {m_key, at};
    return true;
  }
  // The parser's refusal, kept with its place: a syntax error and a number beyond a double
  // (out_of_range) both come this way, and only here with the byte they stopped at.
  struct Failure {
    size_t offset = 0;  // of the offending character, or the start of the offending number
    std::string text;
  };
  std::optional<Failure> failure;
  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& e) override {
    Failure f;
    std::string what = e.what();
    if (e.id >= 100 && e.id < 200) {
      // position counts the characters read, the offending one included.
      f.offset = position > 0 ? position - 1 : 0;
      const size_t colon = what.find(": ", what.find("parse error"));
      f.text = colon == std::string::npos ? what : what.substr(colon + 2);
    } else {
      f.offset = position >= token.size() ? position - token.size() : 0;
      const size_t bracket = what.find("] ");
      f.text = bracket == std::string::npos ? what : what.substr(bracket + 2);
    }
    failure = f;
    return false;
  }

 private:
  std::string Prefix() const { return m_paths.empty() || m_paths.back().empty() ? "" : m_paths.back() + "."; }
  std::string ValuePath() {
    if (m_arrays.empty()) return "";
    if (m_arrays.back() < 0) return m_key;  // inside an object: the last key names it
    return Prefix() + std::to_string(m_arrays.back()++);
  }
  bool Value() {
    ValuePath();
    return true;
  }
  bool Open(long firstIndex) {
    std::string path = ValuePath();
    m_paths.push_back(path);
    m_arrays.push_back(firstIndex);
    return true;
  }
  bool Close() {
    m_paths.pop_back();
    m_arrays.pop_back();
    return true;
  }

  const char* m_begin;
  const char** m_tip;
  std::string m_key;
  std::vector<std::string> m_paths;
  std::vector<long> m_arrays;  // -1: an object; else the next element's index
};

// The shape of the text, bounded before it is parsed: a scan of the brackets and commas
// outside strings gives the offset of the first bracket that opens a level deeper than
// the document goes, or of the first value beyond kProfileMaxItems. No parser (nor the key
// locator, which keeps a path per level) ever sees such a document.
struct ShapeFault {
  size_t offset;
  std::string text;
};
std::optional<ShapeFault> CheckShape(const std::string& text) {
  int depth = 0;
  size_t items = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[' || c == ',') {
      if (c != ',' && ++depth > kProfileMaxDepth)
        return ShapeFault{i, "nested deeper than a profile goes (" + std::to_string(kProfileMaxDepth) +
                                 " levels of {} and [])"};
      if (++items > kProfileMaxItems)
        return ShapeFault{i, "more than " + std::to_string(kProfileMaxItems) +
                                 " keys and values, far more than a profile has"};
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return std::nullopt;
}

// Line and column (from 1) of a byte offset; a column counts characters, not bytes.
void LineColumn(const std::string& text, size_t offset, int& line, int& column) {
  line = 1;
  column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Reading: each section checks its own keys and ranges and names the key it refuses.

struct Refusal {
  std::string key;  // where it stands ("" for the document itself)
  std::string text;
};

class CReader {
 public:
  explicit CReader(const Json& doc) : m_doc(doc) {}

  Profile Read() {
    Expect(m_doc, "", {"format", "model", "image_size", "compression", "image_type",
                       "default_rate", "power_save", "fill_light", "osd", "image_day",
                       "image_night", "crop", "detection", "motion_capture",
                       "power_on_capture"});
    Profile p;
    if (!m_doc.contains("format")) Fail("", "the profile has no \"format\"");
    p.format = static_cast<int>(Int(m_doc, "", "format", 1, 1000000));
    if (p.format > kProfileFormat)
      Fail("format", "format " + std::to_string(p.format) + " is newer than this program reads (" +
                         std::to_string(kProfileFormat) + ")");
    if (m_doc.contains("model")) p.model = Str(m_doc, "", "model");
    ProfileSettings& s = p.settings;
    if (m_doc.contains("image_size")) s.imageSize = ImageSize();
    if (m_doc.contains("compression")) s.compression = Compression();
    if (m_doc.contains("image_type")) s.imageType = Choice(m_doc, "", Setting("", "image_type"));
    if (m_doc.contains("default_rate")) s.defaultRate = Rate();
    if (m_doc.contains("power_save")) s.powerSave = Bool(m_doc, "", "power_save");
    if (m_doc.contains("fill_light"))
      s.fillLight = static_cast<unsigned>(Field(m_doc, "", "", "fill_light"));
    if (m_doc.contains("osd")) Osd(s);
    if (m_doc.contains("image_day")) s.imageDay = Image("image_day", 0);
    if (m_doc.contains("image_night")) s.imageNight = Image("image_night", 1);
    if (m_doc.contains("crop")) s.crop = Crop();
    if (m_doc.contains("detection")) s.detection = Detection();
    if (m_doc.contains("motion_capture")) s.motionCapture = MotionCapture();
    if (m_doc.contains("power_on_capture")) s.powerOnCapture = PowerOnCapture();
    return p;
  }

 private:
  [[noreturn]] static void Fail(const std::string& key, const std::string& text) {
    throw Refusal{key, text};
  }
  static std::string Path(const std::string& prefix, const std::string& key) {
    return prefix.empty() ? key : prefix + "." + key;
  }
  static void Expect(const Json& object, const std::string& prefix,
                     std::initializer_list<const char*> keys) {
    if (!object.is_object())
      Fail(prefix, (prefix.empty() ? std::string("a profile") : "\"" + prefix + "\"") +
                       " must be a JSON object");
    for (const auto& item : object.items()) {
      if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return item.key() == k; }))
        Fail(Path(prefix, item.key()), "unknown key \"" + Path(prefix, item.key()) + "\"");
    }
  }
  // A section's object: every key present (each record is written whole).
  static const Json& Section(const Json& parent, const std::string& key,
                             std::initializer_list<const char*> keys) {
    const Json& object = parent.at(key);
    Expect(object, key, keys);
    for (const char* k : keys)
      if (!object.contains(k)) Fail(key, "\"" + key + "\" has no \"" + k + "\"");
    return object;
  }
  static long long Int(const Json& object, const std::string& prefix, const std::string& key,
                       long long min, long long max) {
    const Json& v = object.at(key);
    const std::string path = Path(prefix, key);
    if (!v.is_number_integer())
      Fail(path, "\"" + path + "\" must be a whole number " + std::to_string(min) + ".." +
                     std::to_string(max));
    const long long n = v.is_number_unsigned() && v.get<unsigned long long>() > 1ULL << 62
                            ? max + 1
                            : v.get<long long>();
    if (n < min || n > max)
      Fail(path, "\"" + path + "\" is " + v.dump() + ", must be " + std::to_string(min) + ".." +
                     std::to_string(max));
    return n;
  }
  // A field of the settings table: its range and alignment, in the table's words.
  static long long Field(const Json& object, const std::string& prefix, const SettingRow& row) {
    const long long n = Int(object, prefix, row.field, row.min, row.max);
    if (std::optional<std::string> why = RefuseValue(row, n)) {
      const std::string path = Path(prefix, row.field);
      Fail(path, "\"" + path + "\" " + *why);
    }
    return n;
  }
  static long long Field(const Json& object, const std::string& prefix, const char* section,
                         const char* field) {
    return Field(object, prefix, Setting(section, field));
  }
  static std::string Str(const Json& object, const std::string& prefix, const std::string& key) {
    const Json& v = object.at(key);
    if (!v.is_string()) Fail(Path(prefix, key), "\"" + Path(prefix, key) + "\" must be a string");
    return v.get<std::string>();
  }
  static bool Bool(const Json& object, const std::string& prefix, const std::string& key) {
    const Json& v = object.at(key);
    if (!v.is_boolean()) Fail(Path(prefix, key), "\"" + Path(prefix, key) + "\" must be true or false");
    return v.get<bool>();
  }
  static int Choice(const Json& object, const std::string& prefix, const SettingRow& row) {
    const std::string& key = row.field;
    const std::string value = object.at(key).is_string() ? object.at(key).get<std::string>() : "";
    const int index = ChoiceIndex(row, value);
    if (index >= 0) return index;
    Fail(Path(prefix, key), "\"" + Path(prefix, key) + "\" must be one of " + ChoiceText(row, ", "));
  }
  static uint16_t Hex16(const Json& object, const std::string& prefix, const std::string& key) {
    const std::string text = Str(object, prefix, key);
    unsigned value = 0;
    int used = 0;
    if (text.size() < 1 || text.size() > 4 ||
        std::sscanf(text.c_str(), "%4x%n", &value, &used) != 1 || used != static_cast<int>(text.size()))
      Fail(Path(prefix, key), "\"" + Path(prefix, key) + "\" must be 1 to 4 hexadecimal digits");
    return static_cast<uint16_t>(value);
  }

  int ImageSize() const {
    const std::string text = m_doc.at("image_size").is_string() ? m_doc.at("image_size").get<std::string>() : "";
    if (const int index = ImageSizeIndex(text)) return index;
    Fail("image_size", "\"image_size\" must be one of the sizes WIDTHxHEIGHT, " + ImageSizeItems().front() +
                           ".." + ImageSizeItems().back());
  }
  uint8_t Compression() const {
    const std::string text = Str(m_doc, "", "compression");
    unsigned value = 0;
    int used = 0;
    const SettingRow& row = Setting("", "compression");
    if (std::sscanf(text.c_str(), "0x%2x%n", &value, &used) != 1 ||
        used != static_cast<int>(text.size()) || RefuseValue(row, value)) {
      char range[32];
      std::snprintf(range, sizeof range, "\"0x%02llX\"..\"0x%02llX\"", row.min, row.max);
      Fail("compression", "\"compression\" must be " + std::string(range));
    }
    return static_cast<uint8_t>(value);
  }
  unsigned Rate() const {
    const long long rate = Int(m_doc, "", "default_rate", 0, std::stoll(RateItems().back()));
    if (RatePosition(static_cast<unsigned long>(rate)) >= 0) return static_cast<unsigned>(rate);
    std::string list;
    for (const std::string& item : RateItems()) list += (list.empty() ? "" : ", ") + item;
    Fail("default_rate", "\"default_rate\" must be one of " + list);
  }
  void Osd(ProfileSettings& s) const {
    Expect(m_doc.at("osd"), "osd", {"1", "2", "3", "4"});
    for (const auto& item : m_doc.at("osd").items()) {
      const std::string key = "osd." + item.key();
      const int line = item.key()[0] - '1';
      Expect(item.value(), key, {"display", "font", "x", "y", "color", "back", "text"});
      for (const char* k : {"display", "font", "x", "y", "color", "back", "text"})
        if (!item.value().contains(k)) Fail(key, "\"" + key + "\" has no \"" + k + "\"");
      ProfileOsdLine osd;
      OsdLineSetting& r = osd.record;
      const Json& o = item.value();
      r.line = static_cast<uint8_t>(line);
      r.display = Bool(o, key, "display") ? 1 : 0;
      r.font = static_cast<uint8_t>(Field(o, key, "osd", "font"));
      r.x = static_cast<uint16_t>(Field(o, key, "osd", "x"));
      r.y = static_cast<uint16_t>(Field(o, key, "osd", "y"));
      r.fontColor = Hex16(o, key, "color");
      r.backColor = Hex16(o, key, "back");
      osd.text = Str(o, key, "text");
      const std::optional<std::string> bytes = Utf8ToGb18030(osd.text);
      if (!bytes) Fail(key + ".text", "\"" + key + ".text\" has characters the camera cannot show");
      if (std::optional<std::string> why = RefuseTextBytes(Setting("osd", "text"), bytes->size()))
        Fail(key + ".text", "\"" + key + ".text\" " + *why);
      r.length = static_cast<uint8_t>(bytes->size());
      std::copy(bytes->begin(), bytes->end(), r.text);
      s.osd[static_cast<size_t>(line)] = osd;
    }
  }
  ImageParams Image(const std::string& key, uint8_t mode) const {
    const Json& o = Section(m_doc, key, {"brightness", "contrast", "sharpness", "saturation",
                                         "hue", "awb", "exposure", "hlc"});
    ImageParams p;
    p.mode = mode;
    p.brightness = static_cast<uint8_t>(Field(o, key, "image", "brightness"));
    p.contrast = static_cast<uint8_t>(Field(o, key, "image", "contrast"));
    p.sharpness = static_cast<uint8_t>(Field(o, key, "image", "sharpness"));
    p.saturation = static_cast<uint8_t>(Field(o, key, "image", "saturation"));
    p.hue = static_cast<uint8_t>(Field(o, key, "image", "hue"));
    p.exposure = static_cast<uint8_t>(Field(o, key, "image", "exposure"));
    p.hlc = static_cast<uint8_t>(Field(o, key, "image", "hlc"));
    if (!(o.at("awb").is_string() && o.at("awb").get<std::string>() == "auto")) {
      const SettingRow& awbRow = Setting("image", "awb");
      if (!o.at("awb").is_number_integer())
        Fail(key + ".awb", "\"" + key + ".awb\" must be \"auto\" or " + RangeText(awbRow));
      const auto awb = static_cast<unsigned>(Field(o, key, awbRow));
      p.manualWhiteBalance = 1;
      p.whiteBalanceHigh = static_cast<uint8_t>(awb >> 8);
      p.whiteBalanceLow = static_cast<uint8_t>(awb & 0xFF);
    }
    return p;
  }
  CropSettings Crop() const {
    const Json& o = Section(m_doc, "crop", {"enable", "x", "y", "width", "height"});
    CropSettings c;
    c.enable = Bool(o, "crop", "enable") ? 1 : 0;
    c.x = static_cast<uint16_t>(Field(o, "crop", "crop", "x"));
    c.y = static_cast<uint16_t>(Field(o, "crop", "crop", "y"));
    c.width = static_cast<uint16_t>(Field(o, "crop", "crop", "width"));
    c.height = static_cast<uint16_t>(Field(o, "crop", "crop", "height"));
    c.operation = 1;
    return c;
  }
  DetectSettings Detection() const {
    const Json& o = Section(m_doc, "detection", {"power_on", "type", "sensitivity", "mode",
                                                 "threshold", "distance", "target", "photos",
                                                 "interval", "next"});
    const std::string k = "detection";
    DetectSettings d;
    d.powerOnDetect = Bool(o, k, "power_on") ? 1 : 0;
    d.type = static_cast<uint8_t>(Choice(o, k, Setting("detection", "type")));
    d.sensitivity = static_cast<uint8_t>(Field(o, k, "detection", "sensitivity"));
    d.mode = static_cast<uint8_t>(Field(o, k, "detection", "mode"));
    d.threshold = static_cast<uint8_t>(Field(o, k, "detection", "threshold"));
    d.distance = static_cast<uint8_t>(Field(o, k, "detection", "distance"));
    d.targetSelect = static_cast<uint8_t>(Field(o, k, "detection", "target"));
    d.photos = static_cast<uint8_t>(Field(o, k, "detection", "photos"));
    d.interval = static_cast<uint16_t>(Field(o, k, "detection", "interval"));
    d.nextDetect = static_cast<uint8_t>(Field(o, k, "detection", "next"));
    return d;
  }
  MotionCaptureSettings MotionCapture() const {
    const Json& o = Section(m_doc, "motion_capture", {"photos", "interval", "next"});
    MotionCaptureSettings m;
    m.photos = static_cast<uint8_t>(Field(o, "motion_capture", "motion_capture", "photos"));
    m.interval = static_cast<uint16_t>(Field(o, "motion_capture", "motion_capture", "interval"));
    m.nextDetect = static_cast<uint8_t>(Field(o, "motion_capture", "motion_capture", "next"));
    return m;
  }
  MultiCaptureSettings PowerOnCapture() const {
    const Json& o = Section(m_doc, "power_on_capture", {"photos", "interval"});
    MultiCaptureSettings m;
    m.photos = static_cast<uint8_t>(Field(o, "power_on_capture", "power_on_capture", "photos"));  // 0: off
    m.interval = static_cast<uint16_t>(Field(o, "power_on_capture", "power_on_capture", "interval"));
    return m;
  }

  const Json& m_doc;
};

// ---------------------------------------------------------------------------------------
// Writing

std::string Hex4(unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", value & 0xFFFF);
  return buf;
}

// The records are packed: a 16-bit field is read by value, never bound to a reference (the
// JSON library takes its values by const reference).
unsigned Widened(uint16_t value) { return value; }

Json ImageJson(const ImageParams& p) {
  Json o;
  o["brightness"] = p.brightness;
  o["contrast"] = p.contrast;
  o["sharpness"] = p.sharpness;
  o["saturation"] = p.saturation;
  o["hue"] = p.hue;
  if (p.manualWhiteBalance)
    o["awb"] = static_cast<unsigned>(p.whiteBalanceHigh) << 8 | p.whiteBalanceLow;
  else
    o["awb"] = "auto";
  o["exposure"] = p.exposure;
  o["hlc"] = p.hlc;
  return o;
}

Json SettingsJson(const ProfileSettings& s) {
  Json o = Json::object();
  if (s.imageSize) o["image_size"] = ImageSizeItems().at(static_cast<size_t>(*s.imageSize - 1));
  if (s.compression) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", *s.compression);
    o["compression"] = buf;
  }
  if (s.imageType) o["image_type"] = *s.imageType == IMAGE_TYPE_YUV ? "yuv" : "jpeg";
  if (s.defaultRate) o["default_rate"] = *s.defaultRate;
  if (s.powerSave) o["power_save"] = *s.powerSave;
  if (s.fillLight) o["fill_light"] = *s.fillLight;
  for (size_t i = 0; i < s.osd.size(); ++i) {
    if (!s.osd[i]) continue;
    const OsdLineSetting& r = s.osd[i]->record;
    Json line;
    line["display"] = r.display != 0;
    line["font"] = r.font;
    line["x"] = Widened(r.x);
    line["y"] = Widened(r.y);
    line["color"] = Hex4(r.fontColor);
    line["back"] = Hex4(r.backColor);
    line["text"] = s.osd[i]->text;
    o["osd"][std::to_string(i + 1)] = line;
  }
  if (s.imageDay) o["image_day"] = ImageJson(*s.imageDay);
  if (s.imageNight) o["image_night"] = ImageJson(*s.imageNight);
  if (s.crop) {
    const CropSettings& c = *s.crop;
    o["crop"] = {{"enable", c.enable != 0}, {"x", Widened(c.x)}, {"y", Widened(c.y)}, {"width", Widened(c.width)},
                 {"height", Widened(c.height)}};
  }
  if (s.detection) {
    const DetectSettings& d = *s.detection;
    o["detection"] = {{"power_on", d.powerOnDetect != 0},
                      {"type", d.type < 3 ? kDetectionKinds[d.type] : "unknown"},
                      {"sensitivity", d.sensitivity},
                      {"mode", d.mode},
                      {"threshold", d.threshold},
                      {"distance", d.distance},
                      {"target", d.targetSelect},
                      {"photos", d.photos},
                      {"interval", Widened(d.interval)},
                      {"next", d.nextDetect}};
  }
  if (s.motionCapture)
    o["motion_capture"] = {{"photos", s.motionCapture->photos},
                           {"interval", Widened(s.motionCapture->interval)},
                           {"next", s.motionCapture->nextDetect}};
  if (s.powerOnCapture)
    o["power_on_capture"] = {{"photos", s.powerOnCapture->photos},
                             {"interval", Widened(s.powerOnCapture->interval)}};
  return o;
}

std::string ValueText(const Json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }

}  // namespace

std::string ProfileError::Text() const {
  if (line == 0) return text;
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + text;
}

std::string ProfileDifference::Text() const {
  return key + ": expected " + expected + ", camera has " + actual;
}

std::optional<Profile> ParseProfile(const std::string& text, ProfileError& error) {
  error = {};
  auto refuse = [&](size_t offset, std::string why) -> std::optional<Profile> {
    LineColumn(text, offset, error.line, error.column);
    error.text = std::move(why);
    return std::nullopt;
  };
  if (text.size() > kProfileMaxBytes) {
    error.text = "the profile is " + std::to_string(text.size()) + " bytes, more than the " +
                 std::to_string(kProfileMaxBytes) + " a profile may have";
    return std::nullopt;
  }
  if (std::optional<ShapeFault> fault = CheckShape(text)) return refuse(fault->offset, fault->text);
  // The locating pass first: it meets every fault the parser can find, with its place.
  const char* tip = text.data();
  CKeyLocator locator(text.data(), &tip);
  Json::sax_parse(TipIterator{text.data(), &tip}, TipIterator{text.data() + text.size(), &tip},
                  &locator);
  if (locator.failure) return refuse(locator.failure->offset, locator.failure->text);
  if (locator.duplicate)
    return refuse(locator.duplicate->second, "key \"" + locator.duplicate->first + "\" appears twice");
  try {
    const Json doc = Json::parse(text);
    return CReader(doc).Read();
  } catch (const Refusal& refusal) {
    error.text = refusal.text;
    if (auto at = locator.positions.find(refusal.key); at != locator.positions.end())
      LineColumn(text, at->second, error.line, error.column);
    return std::nullopt;
  } catch (const Json::exception& e) {
    // Whatever else the library throws is a refusal of the file too, never an abort.
    const std::string what = e.what();
    const size_t bracket = what.find("] ");
    return refuse(0, bracket == std::string::npos ? what : what.substr(bracket + 2));
  }
}

std::string WriteProfile(const Profile& profile) {
  Json doc;
  doc["format"] = profile.format;
  doc["model"] = profile.model;
  const Json settings = SettingsJson(profile.settings);
  for (const auto& item : settings.items()) doc[item.key()] = item.value();
  return doc.dump(2) + "\n";
}

ProfileModel ProfileModelFor(const std::string& versionText) {
  ProfileModel m;
  m.version = versionText;
  // The controls as the window has them after "Open" and identification: the closed
  // port's states, then identification's changes, then the open idle port's rules.
  std::map<int, bool> on;
  ApplyEnableChanges(on, UpdateControlStates({}));
  const Identification id = ParseVersionText(versionText, ModelInfo{});
  ApplyEnableChanges(on, id.enables);
  ApplyEnableChanges(on, UpdateControlStates({true, CAPTURE_IDLE, id.info.modelCode,
                                              id.info.firmwareVersion, false}));
  // A setting is offered where the settings table's gate control is enabled and its model
  // rule, if it has one, holds.
  auto offered = [&](const char* section, const char* field) {
    const SettingRow& row = Setting(section, field);
    return on.count(row.gate) && on[row.gate] && (!row.modelRule || row.modelRule(id.info));
  };
  m.info = id.info;
  // Lists not refilled keep the window's start-up contents: 3 sizes, 5 rates, no fill light.
  m.imageSizes = id.listsRefilled ? static_cast<int>(id.imageSizes.size()) : 3;
  m.defaultRates = id.listsRefilled ? static_cast<int>(id.defaultRates.size()) : 5;
  if (id.listsRefilled && offered("", "fill_light"))
    m.fillLightMax = static_cast<unsigned>(id.fillLights.size()) - 1;
  m.compression = offered("", "compression");
  m.imageType = offered("", "image_type");
  m.powerSave = offered("", "power_save");
  m.osd = offered("osd", "text");
  m.imageControl = offered("image", "hue");
  m.crop = offered("crop", "width");
  m.detection = offered("detection", "type");
  m.motionCapture = offered("motion_capture", "photos");
  m.powerOnCapture = offered("power_on_capture", "photos");
  m.readSettings = id.sendReadSettings;
  m.known = id.row != 0;
  return m;
}

std::vector<std::string> UnreportedSettings(const ProfileModel& m) {
  std::vector<std::string> out;
  auto add = [&](bool has, bool reported, const char* key) {
    if (has && !reported) out.push_back(key);
  };
  add(true, m.readSettings, "image_size");
  add(m.compression, m.readSettings, "compression");
  add(true, m.readSettings, "default_rate");
  add(m.imageType, false, "image_type");
  add(m.powerSave, false, "power_save");
  add(m.fillLightMax > 0, false, "fill_light");
  add(m.osd, false, "osd");
  add(m.motionCapture, false, "motion_capture");
  add(m.powerOnCapture, false, "power_on_capture");
  return out;
}

std::optional<std::string> ProfileModelWarning(const Profile& profile, const ProfileModel& model) {
  if (profile.model.empty() || profile.model == model.version) return std::nullopt;
  return "the profile was saved from " + profile.model + ", this camera is " +
         (model.version.empty() ? std::string("unidentified") : model.version);
}

std::optional<ProfileError> CheckProfileForModel(const Profile& profile, const ProfileModel& model,
                                                 const std::string& text) {
  const ProfileSettings& s = profile.settings;
  const std::string camera = model.version.empty() ? "this camera" : model.version;
  std::string key, why;
  auto lacks = [&](bool present, bool offered, const char* name) {
    if (key.empty() && present && !offered) {
      key = name;
      why = camera + " has no \"" + key + "\" setting";
    }
  };
  lacks(s.compression.has_value(), model.compression, "compression");
  lacks(s.imageType.has_value(), model.imageType, "image_type");
  lacks(s.powerSave.has_value(), model.powerSave, "power_save");
  lacks(s.fillLight.has_value(), model.fillLightMax > 0, "fill_light");
  lacks(std::any_of(s.osd.begin(), s.osd.end(), [](const auto& l) { return l.has_value(); }),
        model.osd, "osd");
  lacks(s.imageDay.has_value(), model.imageControl, "image_day");
  lacks(s.imageNight.has_value(), model.imageControl, "image_night");
  lacks(s.crop.has_value(), model.crop, "crop");
  lacks(s.detection.has_value(), model.detection, "detection");
  lacks(s.motionCapture.has_value(), model.motionCapture, "motion_capture");
  lacks(s.powerOnCapture.has_value(), model.powerOnCapture, "power_on_capture");
  if (key.empty() && s.imageSize && *s.imageSize > model.imageSizes) {
    key = "image_size";
    why = "\"image_size\" " + ImageSizeItems()[static_cast<size_t>(*s.imageSize - 1)] +
          " is beyond " + camera + ": its largest is " +
          ImageSizeItems()[static_cast<size_t>(std::max(model.imageSizes, 1) - 1)];
  }
  if (key.empty() && s.defaultRate) {
    const auto& rates = RateItems();
    const auto last = rates.begin() + model.defaultRates;
    if (std::find(rates.begin(), last, std::to_string(*s.defaultRate)) == last) {
      key = "default_rate";
      why = "\"default_rate\" " + std::to_string(*s.defaultRate) + " is beyond " + camera +
            ": its fastest is " + rates[static_cast<size_t>(std::max(model.defaultRates, 1) - 1)];
    }
  }
  if (key.empty() && s.fillLight && *s.fillLight > model.fillLightMax) {
    key = "fill_light";
    why = "\"fill_light\" " + std::to_string(*s.fillLight) + " is beyond " + camera +
          ": it takes 0.." + std::to_string(model.fillLightMax);
  }
  // The same value on another model may mean another thing (a fill-light level on a
  // two-step light, the n-th size of a shorter list): where the ranges differ, refuse.
  if (key.empty() && !profile.model.empty() && profile.model != model.version) {
    const ProfileModel from = ProfileModelFor(profile.model);
    auto sizes = [](const ProfileModel& m) {
      return ImageSizeItems()[0] + ".." + ImageSizeItems()[static_cast<size_t>(std::max(m.imageSizes, 1) - 1)];
    };
    auto rates = [](const ProfileModel& m) {
      return RateItems()[0] + ".." + RateItems()[static_cast<size_t>(std::max(m.defaultRates, 1) - 1)];
    };
    auto lights = [](const ProfileModel& m) { return "0.." + std::to_string(m.fillLightMax); };
    auto differs = [&](bool named, const char* name, const std::string& theirs, const std::string& ours) {
      if (!key.empty() || !named || theirs == ours) return;
      key = name;
      why = "\"" + key + "\" ranges " + theirs + " on " + profile.model + " (the profile's model) but " +
            ours + " on " + camera + "; set \"model\" to this camera's to apply it here";
    };
    if (from.known) {
      differs(s.imageSize.has_value(), "image_size", sizes(from), sizes(model));
      differs(s.defaultRate.has_value(), "default_rate", rates(from), rates(model));
      differs(s.fillLight.has_value(), "fill_light", lights(from), lights(model));
    }
  }
  if (key.empty()) return std::nullopt;
  ProfileError error;
  error.text = why;
  if (!text.empty()) {
    // Point at the key; a key that is not in the text (a profile built in code) has no place.
    const char* tip = text.data();
    CKeyLocator locator(text.data(), &tip);
    Json::sax_parse(TipIterator{text.data(), &tip}, TipIterator{text.data() + text.size(), &tip},
                    &locator);
    if (auto at = locator.positions.find(key); at != locator.positions.end())
      LineColumn(text, at->second, error.line, error.column);
  }
  return error;
}

std::vector<ProfileDifference> CompareProfiles(const ProfileSettings& wanted,
                                               const ProfileSettings& reported) {
  const Json want = SettingsJson(wanted);
  const Json have = SettingsJson(reported);
  std::vector<ProfileDifference> out;
  for (const auto& item : want.items()) {
    if (!have.contains(item.key())) continue;  // not reported: nothing to compare
    const Json& mine = item.value();
    const Json& theirs = have.at(item.key());
    if (!mine.is_object()) {
      if (mine != theirs) out.push_back({item.key(), ValueText(mine), ValueText(theirs)});
      continue;
    }
    // A crop window that is switched off is not used: the camera keeps whatever window it
    // had, so only the switch is compared.
    const bool windowUnused = item.key() == "crop" && mine.value("enable", true) == false;
    for (const auto& field : mine.items()) {
      if (windowUnused && field.key() != "enable") continue;
      const Json& other = theirs.contains(field.key()) ? theirs.at(field.key()) : Json();
      if (field.value() != other)
        out.push_back({item.key() + "." + field.key(), ValueText(field.value()), ValueText(other)});
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// The job

CProfileJob::CProfileJob(Mode mode, const ProfileModel& model, const Profile& profile)
    : m_mode(mode), m_profile(profile), m_model(model) {
  m_outcome.readBack.model = model.version;
  Plan(model);
}

void CProfileJob::Plan(const ProfileModel& model) {
  const ProfileSettings& s = m_profile.settings;
  // A crop window must fit the picture: the one the profile sets first, else the camera's
  // current one, which its crop read-back reports before anything is written.
  const bool readPicture = m_mode == Mode::Apply && s.crop && s.crop->enable && !s.imageSize && model.crop;
  if (readPicture) m_steps.push_back({"crop", MakeCommand(CMD_READ_CROP), false, false, false, true});
  if (m_mode == Mode::Apply) PlanHeldWhiteBalance(model);
  if (m_mode == Mode::Apply) PlanWrites(model, false);
  PlanReads(model);
  if (m_mode == Mode::Apply) PlanWrites(model, true);
  if (m_mode == Mode::Apply && !readPicture) RefuseBeforeWriting(CameraState{model});
  if (m_steps.empty()) Finish();
}

void CProfileJob::RefuseBeforeWriting(const CameraState& state) {
  if (const std::optional<std::string> why = RefuseForCamera(m_profile.settings, state)) {
    m_outcome.failure = *why;
    NoteNotWritten(false);
    m_awaited = 0;
    m_finished = true;
  }
}

// Apply writes in two parts: everything but the default rate first (the image size before
// the crop window, whose limits follow it), then, after the read-back, power saving and the
// default rate, which are the ones that change how the camera answers.
void CProfileJob::PlanWrites(const ProfileModel& model, bool last) {
  const ProfileSettings& s = m_profile.settings;
  auto add = [&](const std::string& key, CameraCommand command, bool readable, bool chain = false) {
    m_steps.push_back({key, command, true, readable, chain});
  };
  if (last) {
    if (s.powerSave) add("power_save", MakeCommand(*s.powerSave ? CMD_POWER_SAVE_ON : CMD_POWER_SAVE_OFF), false);
    if (s.defaultRate) add("default_rate", MakeCommand(CMD_SET_BAUD, *s.defaultRate), false);
    return;
  }
  // The camera resets after a new image size: the step ends with the reset's answer.
  if (s.imageSize)
    add("image_size", MakeCommand(CMD_SET_IMAGE_SIZE, static_cast<unsigned>(*s.imageSize)),
        model.readSettings, true);
  if (s.compression) add("compression", MakeCommand(CMD_SET_COMPRESSION, *s.compression), model.readSettings);
  if (s.imageType)
    add("image_type", MakeCommand(CMD_SET_IMAGE_FORMAT, static_cast<unsigned>(*s.imageType)), false);
  if (s.fillLight)
    add("fill_light", MakeCommand(*s.fillLight == 0 ? CMD_FILL_LIGHT_OFF : CMD_SET_FILL_LIGHT, *s.fillLight),
        false);
  for (size_t i = 0; i < s.osd.size(); ++i) {
    if (!s.osd[i]) continue;
    add("osd." + std::to_string(i + 1), MakeCommand(CMD_SET_OSD, s.osd[i]->record), false);
  }
  for (const auto* image : {&s.imageDay, &s.imageNight}) {
    if (!*image) continue;
    add(image == &s.imageDay ? "image_day" : "image_night",
        MakeCommand(CMD_SET_IMAGE_PARAMS, **image), true);
  }
  if (s.crop) {
    CropSettings crop = *s.crop;
    crop.operation = 1;
    crop.status = 0xFF;
    add("crop", MakeCommand(CMD_SET_CROP, crop), true);
  }
  if (s.detection) {
    add("detection", MakeCommand(CMD_SET_DETECTION, *s.detection), true);
  }
  if (s.motionCapture) {
    add("motion_capture", MakeCommand(CMD_SET_MOTION_CAPTURE, *s.motionCapture), false);
  }
  if (s.powerOnCapture) {
    add("power_on_capture", MakeCommand(CMD_SET_POWER_CAPTURE, *s.powerOnCapture), false);
  }
}

// "auto" white balance still carries a manual value in the same record, and the camera keeps
// whatever it is sent. A profile saved in auto holds no value (older ones never did), and
// another camera's value would be wrong for this one, so the write sends back the value this
// camera holds: read first, patched into the write when the read arrives. Without a read
// (refused), the write carries the value the command line sends with auto.
void CProfileJob::PlanHeldWhiteBalance(const ProfileModel& model) {
  if (!model.imageControl) return;
  const unsigned fallback = static_cast<unsigned>(Setting("image", "awb").fallback);
  for (auto* image : {&m_profile.settings.imageDay, &m_profile.settings.imageNight}) {
    if (!*image || (*image)->manualWhiteBalance) continue;
    (*image)->whiteBalanceHigh = static_cast<uint8_t>(fallback >> 8);
    (*image)->whiteBalanceLow = static_cast<uint8_t>(fallback & 0xFF);
    Step read{image == &m_profile.settings.imageDay ? "image_day" : "image_night",
              MakeCommand(CMD_READ_IMAGE_PARAMS, (*image)->mode)};
    read.heldAwb = true;
    m_steps.push_back(read);
  }
}

void CProfileJob::KeepHeldWhiteBalance(const ImageParams& held) {
  const Step& read = m_steps[m_next];
  for (size_t i = m_next + 1; i < m_steps.size(); ++i) {
    Step& write = m_steps[i];
    if (!write.write || write.key != read.key || write.command.code != CMD_SET_IMAGE_PARAMS) continue;
    std::optional<ImageParams>& wanted = read.key == "image_day" ? m_profile.settings.imageDay
                                                                 : m_profile.settings.imageNight;
    wanted->whiteBalanceHigh = held.whiteBalanceHigh;
    wanted->whiteBalanceLow = held.whiteBalanceLow;
    write.command = MakeCommand(CMD_SET_IMAGE_PARAMS, *wanted);
  }
}

// Save reads all the model reports; Apply and Diff only what the profile names.
void CProfileJob::PlanReads(const ProfileModel& model) {
  const ProfileSettings& s = m_profile.settings;
  const bool all = m_mode == Mode::Save;
  auto read = [&](const char* key, bool wanted, bool offered, CameraCommand command) {
    if (offered && (all || wanted)) m_steps.push_back({key, command, false, false, false});
  };
  read("settings", s.imageSize || s.compression || s.defaultRate, model.readSettings,
       MakeCommand(CMD_READ_SETTINGS));
  read("image_day", s.imageDay.has_value(), model.imageControl, MakeCommand(CMD_READ_IMAGE_PARAMS, 0));
  read("image_night", s.imageNight.has_value(), model.imageControl, MakeCommand(CMD_READ_IMAGE_PARAMS, 1));
  read("crop", s.crop.has_value(), model.crop, MakeCommand(CMD_READ_CROP));
  read("detection", s.detection.has_value(), model.detection, MakeCommand(CMD_READ_DETECTION));
}

std::string CProfileJob::CurrentKey() const {
  return m_next < m_steps.size() ? m_steps[m_next].key : std::string();
}

std::optional<CameraCommand> CProfileJob::Next() {
  while (!m_finished && m_awaited == 0) {
    if (m_next >= m_steps.size()) {
      Finish();
      break;
    }
    const Step& step = m_steps[m_next];
    // A default rate the camera already holds is not written again: writing it resets the
    // camera for nothing.
    const std::optional<unsigned>& held = m_outcome.readBack.settings.defaultRate;
    if (step.key == "default_rate" && held && *held == step.command.Value()) {
      ++m_next;
      continue;
    }
    m_awaited = step.command.code;
    return step.command;
  }
  return std::nullopt;
}

void CProfileJob::NotSent() {
  if (m_awaited == 0) return;
  m_awaited = 0;
  Abandon("\"" + CurrentKey() + "\": nothing could be sent for it");
}

void CProfileJob::Abandon(const std::string& why) {
  if (m_finished) return;
  m_outcome.failure = why;
  NoteNotWritten(m_awaited != 0);
  m_awaited = 0;
  m_finished = true;
}

// The writes an apply that stopped never made; the one in flight may or may not have been.
void CProfileJob::NoteNotWritten(bool inFlight) {
  for (size_t i = m_next; i < m_steps.size(); ++i) {
    const std::string& key = m_steps[i].key;
    const auto& written = m_outcome.written;
    if (!m_steps[i].write || std::find(written.begin(), written.end(), key) != written.end()) continue;
    m_outcome.notWritten.push_back(key + (i == m_next && inFlight ? " (sent, not acknowledged)" : ""));
  }
}

void CProfileJob::Take(const CommandResult& result) {
  if (m_finished || m_awaited == 0 || result.code != m_awaited) return;
  const Step& step = m_steps[m_next];
  if (result.outcome == Outcome::Refused) {
    // The camera's status in the log's words travels with the refusal.
    const std::string why = result.log.empty() ? "" : ": " + result.log.back().text;
    m_outcome.refused.push_back(step.key + " (status " + std::to_string(result.status) + why + ")");
  } else if (!result.Ok()) {
    const char* what = result.outcome == Outcome::Cancelled    ? "was cancelled"
                       : result.outcome == Outcome::LineFailed ? "ended with the line"
                       : result.outcome == Outcome::NoValidReply ? "got a reply that was not recognised"
                                                                 : "failed";
    Abandon("\"" + step.key + "\" " + what + (result.reason.empty() ? "" : ": " + result.reason));
    return;
  } else if (result.code == step.command.code) {
    if (step.write)
      m_outcome.written.push_back(step.key);
    else if (step.heldAwb) {
      if (const ImageParams* held = result.Data<ImageParams>()) KeepHeldWhiteBalance(*held);
    } else {
      Store(result);
    }
    if (step.state) {
      const CropSettings* crop = result.Data<CropSettings>();
      ++m_next;
      RefuseBeforeWriting(CameraState{m_model, crop ? crop->imageWidth : 0, crop ? crop->imageHeight : 0});
      m_awaited = 0;
      return;
    }
  }
  if (step.chain && result.next != 0) {
    m_awaited = result.next;
    return;
  }
  m_awaited = 0;
  ++m_next;
}

void CProfileJob::Store(const CommandResult& result) {
  ProfileSettings& s = m_outcome.readBack.settings;
  if (const SettingsReadBack* r = result.Data<SettingsReadBack>()) {
    if (r->imageSizeIndex >= 0) s.imageSize = r->imageSizeIndex + 1;
    if (r->compressionIndex >= 0)
      s.compression = static_cast<uint8_t>(kCompressionFirst + static_cast<unsigned>(r->compressionIndex));
    if (r->defaultRateIndex >= 0 && r->defaultRateIndex < static_cast<int>(std::size(kBaudCodes)))
      s.defaultRate = kBaudCodes[static_cast<size_t>(r->defaultRateIndex)].baud;
  } else if (const ImageParams* p = result.Data<ImageParams>()) {
    // The set asked for decides which one it is, whatever the reply's mode byte says.
    ImageParams values = *p;
    values.mode = static_cast<uint8_t>(m_steps[m_next].command.Value());
    (values.mode ? s.imageNight : s.imageDay) = values;
  } else if (const CropSettings* c = result.Data<CropSettings>()) {
    s.crop = *c;
  } else if (const DetectSettings* d = result.Data<DetectSettings>()) {
    s.detection = *d;
  }
}

void CProfileJob::Finish() {
  m_finished = true;
  m_awaited = 0;
  m_outcome.completed = m_outcome.failure.empty();
  if (m_mode == Mode::Save) return;
  ProfileSettings wanted = m_profile.settings;
  // Read before it was written: the default rate's write is acknowledged, not read back.
  const auto& written = m_outcome.written;
  if (std::find(written.begin(), written.end(), "default_rate") != written.end())
    wanted.defaultRate.reset();
  m_outcome.differences = CompareProfiles(wanted, m_outcome.readBack.settings);
  // What the camera cannot report (or, for the default rate, not yet) is taken on trust.
  const Json want = SettingsJson(m_profile.settings);
  const Json have = SettingsJson(m_outcome.readBack.settings);
  for (const auto& item : want.items()) {
    if (!have.contains(item.key()) || (!wanted.defaultRate && item.key() == "default_rate"))
      m_outcome.unverified.push_back(item.key());
    else
      ++m_outcome.compared;
  }
}
