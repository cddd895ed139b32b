#include "CliOptions.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "CliValues.h"
#include "common/Version.h"
#include "core/InputFile.h"
#include "core/SettingsTable.h"
#include "core/TextCodec.h"
#include "serial/PortMap.h"

namespace cli {

namespace {

struct OptionSpec {
  const char* name;  // long name without "--"
  char shortName;    // 0 when there is none
  bool takesValue;
};

// What the parser collected for one command before its values are checked.
struct RawCommand {
  std::string name;
  std::vector<std::string> args;
  std::map<std::string, std::string> options;  // long name -> value ("" for flags)
};

// Thrown inside the parser only; turned into a usage error at its boundary.
struct UsageError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& text) { throw UsageError{text}; }

struct CommandInfo {
  const char* name;
  std::string usage;
  std::vector<OptionSpec> options;
  size_t minArgs;
  size_t maxArgs;
  std::function<void(const RawCommand&, CommandPlan&)> check;
};

const std::vector<OptionSpec> kGlobalOptions = {
    {"port", 'p', true},    {"baud", 'b', true}, {"serial", 's', true}, {"timeout", 't', true},
    {"out", 'o', true},     {"trace", 0, false}, {"json", 0, false},    {"help", 'h', false},
    {"progress", 0, false}, {"no-progress", 0, false}, {"version", 0, false},
    {"decode", 0, false},
};

// ---- value helpers: each names the allowed range when it refuses ----

unsigned long Number(const RawCommand& raw, const std::string& what, const std::string& text,
                     unsigned long min, unsigned long max) {
  auto value = ParseUnsigned(text, min, max);
  if (!value)
    Fail(raw.name + ": " + what + " must be " + std::to_string(min) + ".." + std::to_string(max) +
         " (got '" + text + "')");
  return *value;
}

bool Has(const RawCommand& raw, const char* option) { return raw.options.count(option) != 0; }

// A field of the settings table: refused with the table's words after the command's own
// "command: what". `alignment` false leaves the step to a caller with its own message.
unsigned long Checked(const RawCommand& raw, const std::string& what, const std::string& text,
                      const SettingRow& row, bool alignment = true) {
  std::optional<unsigned long> value = ParseUnsigned(text, 0, ~0ul);
  std::optional<std::string> why = "must be " + RangeText(row);
  if (value) {
    const auto n = static_cast<long long>(*value);
    why = alignment || n < row.min || n > row.max ? RefuseValue(row, n) : std::nullopt;
  }
  if (why) Fail(raw.name + ": " + what + " " + *why + " (got '" + text + "')");
  return *value;
}

// The option a table row names ("--width" -> "width").
const char* OptionName(const SettingRow& row) { return row.option + 2; }

unsigned long OptField(const RawCommand& raw, const SettingRow& row, bool alignment = true) {
  auto it = raw.options.find(OptionName(row));
  if (it == raw.options.end()) return static_cast<unsigned long>(row.fallback);
  return Checked(raw, row.option, it->second, row, alignment);
}

unsigned long RequiredField(const RawCommand& raw, const SettingRow& row, bool alignment = true) {
  if (!Has(raw, OptionName(row))) Fail(raw.name + ": " + row.option + " is required");
  return OptField(raw, row, alignment);
}

unsigned long Opt(const RawCommand& raw, const char* option, unsigned long min, unsigned long max,
                  unsigned long fallback) {
  auto it = raw.options.find(option);
  if (it == raw.options.end()) return fallback;
  return Number(raw, std::string("--") + option, it->second, min, max);
}

bool OnOff(const RawCommand& raw, const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  Fail(raw.name + ": expected on or off (got '" + text + "')");
}

int ImageTypeValue(const RawCommand& raw, const std::string& what, const std::string& text) {
  const SettingRow& row = Setting("", "image_type");
  const int index = ChoiceIndex(row, text);
  if (index >= 0) return index;
  Fail(raw.name + ": " + what + " must be " + ChoiceText(row) + " (got '" + text + "')");
}

// Day or night set selector.
uint8_t DayNight(const RawCommand& raw, const std::string& text) {
  if (text == "day") return 0;
  if (text == "night") return 1;
  Fail(raw.name + ": expected day or night (got '" + text + "')");
}

// Options that only a `set` sub-command takes.
void NoSetOptions(const RawCommand& raw, const std::string& sub) {
  if (!raw.options.empty())
    Fail(raw.name + " " + sub + ": --" + raw.options.begin()->first + " is only for '" + raw.name +
         " set'");
}

// ---- per-command checks ----

void ReadChecks(const RawCommand& raw, CommandPlan& plan) {
  if (!Has(raw, "check")) return;
  std::string error;
  if (!ParsePictureChecks(raw.options.at("check"), plan.checks, error))
    Fail(raw.name + ": --check: " + error);
}

void CheckCapture(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Capture;
  plan.count = static_cast<unsigned>(Opt(raw, "count", 1, 1000000, 1));
  plan.delayMs = static_cast<unsigned>(Opt(raw, "delay", 0, 9999, 0));
  if (Has(raw, "transmit")) {
    auto t = ParseTransmit(raw.options.at("transmit"));
    if (!t)
      Fail("capture: --transmit must be all, 512, 2048, 4096, 8192 or 10240 (got '" +
           raw.options.at("transmit") + "')");
    plan.transmit = *t;
  }
  if (Has(raw, "type")) plan.imageType = ImageTypeValue(raw, "--type", raw.options.at("type"));
  ReadChecks(raw, plan);
}

void CheckCheck(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Check;
  plan.files = raw.args;
  ReadChecks(raw, plan);
}

void CheckReadStored(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::ReadStored;
  if (!raw.args.empty()) plan.readIndex = static_cast<int>(Number(raw, "INDEX", raw.args[0], 1, 255));
}

void CheckImageSize(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::ImageSize;
  auto k = ParseImageSize(raw.args[0]);
  if (!k) {
    std::string list;
    for (const std::string& s : ImageSizeItems()) list += (list.empty() ? "" : ", ") + s;
    Fail("image-size: WxH must be one of " + list + " (got '" + raw.args[0] + "')");
  }
  plan.sizeIndex = *k;
}

void CheckCompression(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Compression;
  auto value = ParseCompression(raw.args[0]);
  if (!value)
    Fail("compression: value must be " + RangeText(Setting("", "compression")) + " (got '" + raw.args[0] +
         "')");
  plan.compression = *value;
}

// The first `count` rates of the list.
std::string ListedRates(int count) {
  std::string list;
  for (int i = 0; i < count; ++i) list += (list.empty() ? "" : ", ") + RateItems()[static_cast<size_t>(i)];
  return list;
}

int AllRates() { return static_cast<int>(RateItems().size()); }

void CheckDefaultBaud(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::DefaultBaud;
  auto rate = ParseUnsigned(raw.args[0], 1, 4000000);
  if (!rate || !IsListedBaud(*rate))
    Fail("default-baud: N must be one of " + ListedRates(AllRates()) + " (got '" + raw.args[0] + "')");
  plan.rate = static_cast<unsigned>(*rate);
  if (plan.rate > kBaudWarningAbove && !Has(raw, "yes"))
    Fail(std::string(kBaudWarningText) + "\n\ndefault-baud: rates above " +
         std::to_string(kBaudWarningAbove) + " need --yes");
}

void CheckProfile(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Profile;
  plan.profileAction = raw.args[0];
  plan.files = {raw.args[1]};
  if (plan.profileAction == "save") {
    if (Has(raw, "yes")) Fail("profile save: --yes is for apply");
    return;
  }
  if (plan.profileAction != "apply" && plan.profileAction != "diff")
    Fail("profile: expected save, apply or diff (got '" + plan.profileAction + "')");
  std::string why;
  if (!ReadInputFile(raw.args[1], kProfileMaxBytes, &plan.profileText, &why))
    Fail("profile: cannot read '" + raw.args[1] + "': " + why);
  ProfileError error;
  std::optional<Profile> profile = ParseProfile(plan.profileText, error);
  if (!profile) Fail("profile: " + raw.args[1] + ": " + error.Text());
  plan.profile = *profile;
  const std::optional<unsigned>& rate = plan.profile.settings.defaultRate;
  if (plan.profileAction == "apply" && rate && *rate > kBaudWarningAbove && !Has(raw, "yes"))
    Fail(std::string(kBaudWarningText) + "\n\nprofile apply: a default_rate above " +
         std::to_string(kBaudWarningAbove) + " needs --yes");
}

void CheckTempBaud(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::TempBaud;
  auto rate = ParseUnsigned(raw.args[0], 1, 4000000);
  if (!rate || !IsListedBaud(*rate) || RatePosition(*rate) >= TemporaryRateCount())
    Fail("temp-baud: N must be one of " + ListedRates(TemporaryRateCount()) + " (got '" + raw.args[0] +
         "')");
  plan.rate = static_cast<unsigned>(*rate);
}

void CheckOsd(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Osd;
  plan.osdLine = static_cast<int>(Number(raw, "LINE", raw.args[0], 1, 4)) - 1;
  OsdLineSetting& rec = plan.osd;  // defaults are the dialog's first-opening values
  rec.line = static_cast<uint8_t>(plan.osdLine);
  const SettingRow& xRow = Setting("osd", "x");
  const SettingRow& yRow = Setting("osd", "y");
  rec.display = static_cast<uint8_t>(OptField(raw, Setting("osd", "display")));
  rec.font = static_cast<uint8_t>(OptField(raw, Setting("osd", "font")));
  rec.x = static_cast<uint16_t>(OptField(raw, xRow, false));
  rec.y = static_cast<uint16_t>(OptField(raw, yRow, false));
  // The camera places text on even coordinates only; the window zeroes an odd one, which
  // silently moves the line, so here it is refused instead.
  if (RefuseValue(xRow, rec.x) || RefuseValue(yRow, rec.y))
    Fail("osd: x or y must be align 2 (even values " + RangeText(xRow) + " and " + RangeText(yRow) + ")");
  for (const char* colour : {"color", "back"}) {
    if (!Has(raw, colour)) continue;
    auto value = ParseHex16(raw.options.at(colour));
    if (!value)
      Fail(std::string("osd: --") + colour + " must be 1 to 4 hexadecimal digits 0000..FFFF (got '" +
           raw.options.at(colour) + "')");
    (std::strcmp(colour, "color") == 0 ? rec.fontColor : rec.backColor) = *value;
  }
  auto bytes = Utf8ToGb18030(raw.args[1]);
  if (!bytes) Fail("osd: TEXT is not valid UTF-8 or has characters the camera cannot show");
  const SettingRow& textRow = Setting("osd", "text");
  if (RefuseTextBytes(textRow, bytes->size()))
    Fail("osd: limt char max " + std::to_string(textRow.max) + " (TEXT is " + std::to_string(bytes->size()) +
         " bytes in GB18030; a Chinese character counts 2)");
  plan.osdBytes = *bytes;
  rec.length = static_cast<uint8_t>(bytes->size());
  std::memset(rec.text, 0, sizeof rec.text);
  std::memcpy(rec.text, bytes->data(), bytes->size());
}

void CheckImageParams(const RawCommand& raw, CommandPlan& plan) {
  const std::string& sub = raw.args[0];
  if (sub == "read" || sub == "reset") {
    NoSetOptions(raw, sub);
    plan.command = sub == "read" ? Command::ImageParamsRead : Command::ImageParamsReset;
    if (raw.args.size() > 1)
      plan.selectors = {DayNight(raw, raw.args[1])};
    else
      plan.selectors = {0, 1};
    return;
  }
  if (sub != "set") Fail("image-params: expected read, reset or set (got '" + sub + "')");
  if (raw.args.size() < 2) Fail("image-params set: day or night is required");
  plan.command = Command::ImageParamsSet;
  ImageParams& p = plan.params;  // unset fields take the Image Control window's defaults
  p.mode = DayNight(raw, raw.args[1]);
  p.brightness = static_cast<uint8_t>(OptField(raw, Setting("image", "brightness")));
  p.contrast = static_cast<uint8_t>(OptField(raw, Setting("image", "contrast")));
  p.sharpness = static_cast<uint8_t>(OptField(raw, Setting("image", "sharpness")));
  p.saturation = static_cast<uint8_t>(OptField(raw, Setting("image", "saturation")));
  p.hue = static_cast<uint8_t>(OptField(raw, Setting("image", "hue")));
  p.exposure = static_cast<uint8_t>(OptField(raw, Setting("image", "exposure")));
  p.hlc = static_cast<uint8_t>(OptField(raw, Setting("image", "hlc")));
  const SettingRow& awbRow = Setting("image", "awb");
  unsigned long awb = static_cast<unsigned long>(awbRow.fallback);  // what "auto" sends
  p.manualWhiteBalance = 0;
  if (Has(raw, "awb") && raw.options.at("awb") != "auto") {
    awb = OptField(raw, awbRow);
    p.manualWhiteBalance = 1;
  }
  p.whiteBalanceHigh = static_cast<uint8_t>(awb >> 8);
  p.whiteBalanceLow = static_cast<uint8_t>(awb & 0xFF);
}

void CheckCrop(const RawCommand& raw, CommandPlan& plan) {
  const std::string& sub = raw.args[0];
  if (sub == "read") {
    NoSetOptions(raw, sub);
    plan.command = Command::CropRead;
    return;
  }
  if (sub != "set") Fail("crop: expected read or set (got '" + sub + "')");
  plan.command = Command::CropSet;
  CropSettings& c = plan.crop;
  const SettingRow& xRow = Setting("crop", "x");
  const SettingRow& yRow = Setting("crop", "y");
  c.enable = static_cast<uint8_t>(RequiredField(raw, Setting("crop", "enable")));
  c.x = static_cast<uint16_t>(RequiredField(raw, xRow, false));
  c.y = static_cast<uint16_t>(RequiredField(raw, yRow, false));
  // Whether the window fits the current picture is the camera's to judge.
  c.width = static_cast<uint16_t>(RequiredField(raw, Setting("crop", "width")));
  c.height = static_cast<uint16_t>(RequiredField(raw, Setting("crop", "height")));
  if (RefuseValue(xRow, c.x))
    Fail("crop: x must be align " + std::to_string(xRow.step) + " (" + RangeText(xRow) + " in steps of " +
         std::to_string(xRow.step) + ")");
  if (RefuseValue(yRow, c.y)) Fail("crop: y must be align 2 (even values " + RangeText(yRow) + ")");
  c.operation = 1;
  c.status = 0xFF;
}

void CheckMotionCapture(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::MotionCapture;
  plan.detect.photos = static_cast<uint8_t>(RequiredField(raw, Setting("motion_capture", "photos")));
  plan.detect.interval = static_cast<uint16_t>(RequiredField(raw, Setting("motion_capture", "interval")));
  plan.detect.nextDetect = static_cast<uint8_t>(RequiredField(raw, Setting("motion_capture", "next")));
}

void CheckDetectionSettings(const RawCommand& raw, CommandPlan& plan) {
  const std::string& sub = raw.args[0];
  if (sub == "read") {
    NoSetOptions(raw, sub);
    plan.command = Command::DetectionRead;
    return;
  }
  if (sub != "set") Fail("detection-settings: expected read or set (got '" + sub + "')");
  plan.command = Command::DetectionSet;
  DetectSettings& d = plan.detect;  // unset fields take the Intelligent Detection defaults
  d.powerOnDetect = static_cast<uint8_t>(OptField(raw, Setting("detection", "power_on")));
  d.type = 0;
  if (Has(raw, "type")) {
    const std::string& t = raw.options.at("type");
    const SettingRow& row = Setting("detection", "type");
    const int index = ChoiceIndex(row, t);
    if (index < 0) Fail("detection-settings: --type must be " + ChoiceText(row) + " (got '" + t + "')");
    d.type = static_cast<uint8_t>(index);
  }
  d.sensitivity = static_cast<uint8_t>(OptField(raw, Setting("detection", "sensitivity")));
  d.mode = static_cast<uint8_t>(OptField(raw, Setting("detection", "mode")));
  d.threshold = static_cast<uint8_t>(OptField(raw, Setting("detection", "threshold")));
  d.distance = static_cast<uint8_t>(OptField(raw, Setting("detection", "distance")));
  d.targetSelect = static_cast<uint8_t>(OptField(raw, Setting("detection", "target")));
  d.photos = static_cast<uint8_t>(OptField(raw, Setting("detection", "photos")));
  d.interval = static_cast<uint16_t>(OptField(raw, Setting("detection", "interval")));
  d.nextDetect = static_cast<uint8_t>(OptField(raw, Setting("detection", "next")));
}

void CheckBurst(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Burst;
  plan.multi.photos = static_cast<uint8_t>(RequiredField(raw, Setting("burst", "photos")));
  plan.multi.interval = static_cast<uint16_t>(RequiredField(raw, Setting("burst", "interval")));
  plan.readBurst = Has(raw, "read");
}

void CheckPowerOnCapture(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::PowerOnCapture;
  plan.multi.photos = static_cast<uint8_t>(RequiredField(raw, Setting("power_on_capture", "photos")));  // 0: off
  plan.multi.interval = static_cast<uint16_t>(RequiredField(raw, Setting("power_on_capture", "interval")));
}

void CheckMonitor(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Monitor;
  plan.fetch = Has(raw, "fetch");
  if (Has(raw, "for")) plan.forSeconds = static_cast<long>(Opt(raw, "for", 1, 864000, 0));
}

void CheckStation(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Station;
  plan.planPath = raw.args[0];
  if (!Has(raw, "ports")) Fail("station: --ports is required");
  plan.portList = raw.options.at("ports");
  for (const char* option : {"junit", "jsonl", "csv", "db"})
    if (Has(raw, option) && raw.options.at(option).empty())
      Fail(std::string("station: --") + option + " needs a value");
  auto value = [&](const char* option) { return Has(raw, option) ? raw.options.at(option) : ""; };
  plan.junitPath = value("junit");
  plan.jsonlPath = value("jsonl");
  plan.csvPath = value("csv");
  plan.dbTarget = value("db");
}

// "A, B, C or D" of a table's list, with a line break (and the help's indent) after the
// first `breakAfter` items.
std::string OrList(const std::vector<std::string>& items, size_t count, size_t breakAfter = 0) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += i + 1 == count ? " or " : i == breakAfter ? ",\n  " : ", ";
    text += items[i];
  }
  return text;
}

auto Simple(Command c) {
  return [c](const RawCommand&, CommandPlan& plan) { plan.command = c; };
}

const std::vector<CommandInfo>& Commands() {
  static const std::vector<CommandInfo> commands = {
      {"version", "version\n  Query the version text; print it with the model code, variant and firmware number.",
       {}, 0, 0, Simple(Command::Version)},
      {"ports",
       "ports\n  List the COM numbers and the devices they map to, with each device's stable path\n"
       "  (/dev/serial/by-id/... or /dev/serial0), vendor, model and serial number. Needs no --port.",
       {}, 0, 0, Simple(Command::Ports)},
      {"find",
       "find\n  Look for the camera: try each port (every mapped one, or each --port given) at each\n"
       "  rate, 38400 and 115200 first, and report the first that answers the version query with\n"
       "  its port, device, rate, version text and model. Exit status 4 when none answers.",
       {}, 0, 0, Simple(Command::Find)},
      {"settings",
       "settings\n  Read back the camera's serial number, image size, default rate, compression and\n"
       "  detection kind.",
       {}, 0, 0, Simple(Command::Settings)},
      {"capture",
       "capture [-n COUNT] [--delay MS] [--transmit all|512|2048|4096|8192|10240] [--type jpeg|yuv]\n"
       "        [--check CHECKS]\n"
       "  Take COUNT pictures (-n or --count, default 1), --delay MS apart (0..9999, default 0).\n"
       "  Each is saved in the output folder under the timestamped name jpeg_YYYYMMDD_HHMMSS.jpg\n"
       "  (yuv_... .yuv for NV12), with _2, _3 ... added when the name exists. Prints path, bytes,\n"
       "  width x height and transfer seconds per picture. --transmit chooses the block size\n"
       "  (default all at once); --type says what the camera was set to send (default jpeg).\n"
       "  --check measures each picture and prints its figures (see 'check'); a picture that\n"
       "  fails one of CHECKS ends the run with status 5.",
       {{"count", 'n', true}, {"delay", 0, true}, {"transmit", 0, true}, {"type", 0, true},
        {"check", 0, true}}, 0, 0, CheckCapture},
      {"check",
       "check FILE... [--check CHECKS]\n"
       "  Measure saved JPEG pictures: sharpness (falls as the picture blurs, comparable across\n"
       "  sizes), mean luma with its range and spread, the share clipped black or white, whether\n"
       "  the picture is uniform (a dead or covered sensor) and the mean red/green/blue. CHECKS\n"
       "  is a comma-separated list such as 'sharpness>=40,luma=40..220,clipped<=2%': FIGURE>=N,\n"
       "  FIGURE<=N, FIGURE=A..B or uniform=yes|no, with the figures sharpness, luma, min, max,\n"
       "  spread, clipped, black, white (shares in percent), red, green, blue. A picture that\n"
       "  fails a check gives status 5; so does a damaged file (truncated, corrupt data), which\n"
       "  fails 'decodes' whatever was asked. Needs no --port.",
       {{"check", 0, true}}, 1, 100000, CheckCheck},
      {"read-stored",
       "read-stored [INDEX]\n  Fetch picture INDEX (1..255, default 1) that the camera stored after a detection,\n"
       "  and save it like a capture.",
       {}, 0, 1, CheckReadStored},
      {"reset", "reset\n  Reset the camera and wait for \"Init end\".", {}, 0, 0, Simple(Command::Reset)},
      {"image-size",
       "image-size WxH\n  Set the image size: " + OrList(ImageSizeItems(), ImageSizeItems().size(), 6) +
           "\n  (x or X). The camera resets afterwards.",
       {}, 1, 1, CheckImageSize},
      {"compression", "compression 0xNN\n  Set the JPEG compression, " + RangeText(Setting("", "compression")) + ".",
       {}, 1, 1,
       CheckCompression},
      {"default-baud",
       "default-baud N [--yes]\n  Set the rate the camera starts with: " + OrList(RateItems(), RateItems().size(), 6) +
           ". Rates above 115200 need --yes: RS485 lines are limited to 115200\n"
       "  and RS232 lines to 230400. Reopen the port at the new rate afterwards.",
       {{"yes", 0, false}}, 1, 1, CheckDefaultBaud},
      {"profile",
       "profile save|apply|diff FILE [--yes]\n"
       "  save: write the settings the camera reports, with its model, to FILE (a JSON profile,\n"
       "  see PROFILES.md). apply: check the whole profile against the camera's model (nothing\n"
       "  is written when it refuses), write every setting (the default rate last), read back\n"
       "  what the camera reports and list each difference. diff: compare without writing.\n"
       "  A default_rate above 115200 needs --yes. Exit 1 on a difference or a setting the\n"
       "  camera's model cannot take, 2 for a file that is not a valid profile, 6 when the\n"
       "  camera reports none of the settings to save or compare (nothing saved or compared).",
       {{"yes", 0, false}}, 2, 2, CheckProfile},
      {"temp-baud",
       "temp-baud N\n  Switch the camera to rate N (" +
           OrList(RateItems(), static_cast<size_t>(TemporaryRateCount())) + ") until it restarts.",
       {}, 1, 1, CheckTempBaud},
      {"power-save", "power-save on|off\n  Enter or leave power saving.", {}, 1, 1,
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::PowerSave;
         plan.on = OnOff(raw, raw.args[0]);
       }},
      {"fill-light", "fill-light LEVEL\n  Set the fill light, 0 (off) ..100.", {}, 1, 1,
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::FillLight;
         plan.level = static_cast<unsigned>(Checked(raw, "LEVEL", raw.args[0], Setting("", "fill_light")));
       }},
      {"image-type", "image-type jpeg|yuv\n  Set what the camera sends: JPEG or NV12 frames.", {}, 1, 1,
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::ImageType;
         plan.imageType = ImageTypeValue(raw, "type", raw.args[0]);
       }},
      {"detection", "detection on|off\n  Switch detection on or off.", {}, 1, 1,
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::Detection;
         plan.on = OnOff(raw, raw.args[0]);
       }},
      {"osd",
       "osd LINE TEXT [--display 0|1] [--font 0..2] [--x N] [--y N] [--color HHHH] [--back HHHH]\n"
       "  Set on-screen text line LINE (1..4). TEXT is at most " + std::to_string(Setting("osd", "text").max) +
           " bytes in GB18030 (a Chinese\n"
       "  character counts 2). x 0..1918 and y 0..1078 must be even. Colours are 15-bit values\n"
       "  in hexadecimal (red bits 10-14, green 5-9, blue 0-4). Defaults: display 1, font 2,\n"
       "  x 0, y 0, colour 007C, background FFFF.",
       {{"display", 0, true}, {"font", 0, true}, {"x", 0, true}, {"y", 0, true},
        {"color", 0, true}, {"back", 0, true}},
       2, 2, CheckOsd},
      {"image-params",
       "image-params read [day|night]\n"
       "image-params reset [day|night]\n"
       "image-params set day|night [--brightness N] [--contrast N] [--sharpness N] [--saturation N]\n"
       "             [--hue N] [--awb auto|N] [--exposure N] [--hlc N]\n"
       "  Read, reset to the camera's defaults, or set the image tuning of the day or night set\n"
       "  (read and reset do both when neither is named). Values are 0..255, --hlc 0..10;\n"
       "  --awb N is a manual white balance the camera accepts in 300..600. Fields not given\n"
       "  take the defaults: 128 for the first five, awb auto, exposure 0, hlc 4.",
       {{"brightness", 0, true}, {"contrast", 0, true}, {"sharpness", 0, true},
        {"saturation", 0, true}, {"hue", 0, true}, {"awb", 0, true}, {"exposure", 0, true},
        {"hlc", 0, true}},
       1, 2, CheckImageParams},
      {"crop",
       "crop read\n"
       "crop set --enable 0|1 --x N --y N --width N --height N\n"
       "  Read or write the crop window. x must be a multiple of " + std::to_string(Setting("crop", "x").step) +
           " (" + RangeText(Setting("crop", "x")) + ") and y even\n  (" + RangeText(Setting("crop", "y")) +
           "); width " + RangeText(Setting("crop", "width")) + " and height " + RangeText(Setting("crop", "height")) +
           " must be multiples of " + std::to_string(Setting("crop", "width").step) +
           "; the camera\n  judges whether the window fits the current picture.",
       {{"enable", 0, true}, {"x", 0, true}, {"y", 0, true}, {"width", 0, true}, {"height", 0, true}},
       1, 1, CheckCrop},
      {"motion-capture",
       "motion-capture --photos N --interval MS --next S\n"
       "  Pictures per motion detection (1..5), milliseconds between them (1..65535) and\n"
       "  seconds before the next detection (0..255).",
       {{"photos", 0, true}, {"interval", 0, true}, {"next", 0, true}}, 0, 0, CheckMotionCapture},
      {"detection-settings",
       "detection-settings read\n"
       "detection-settings set [--power-on 0|1] [--type motion|person|vehicle] [--sensitivity 0..4]\n"
       "             [--mode 0|1] [--threshold 1..4] [--distance 0..4] [--target 0|1] [--photos N]\n"
       "             [--interval MS] [--next S]\n"
       "  Read or write the intelligent detection settings. Fields not given take the defaults:\n"
       "  power-on 0, type motion, sensitivity 3, mode 0, threshold 1, distance 2, target 0,\n"
       "  photos 3 (1..5), interval 100 (1..65535), next 10 (0..255).",
       {{"power-on", 0, true}, {"type", 0, true}, {"sensitivity", 0, true}, {"mode", 0, true},
        {"threshold", 0, true}, {"distance", 0, true}, {"target", 0, true}, {"photos", 0, true},
        {"interval", 0, true}, {"next", 0, true}},
       1, 1, CheckDetectionSettings},
      {"burst",
       "burst --photos N --interval MS [--read]\n"
       "  Take a burst of N (1..5) pictures MS (0..10000) apart; with --read fetch pictures 1..N\n"
       "  and save them like captures.",
       {{"photos", 0, true}, {"interval", 0, true}, {"read", 0, false}}, 0, 0, CheckBurst},
      {"power-on-capture",
       "power-on-capture --photos N --interval MS\n"
       "  Pictures the camera takes by itself at power-on (0..5, 0 = off), MS (0..10000) apart.\n"
       "  Works from the next restart.",
       {{"photos", 0, true}, {"interval", 0, true}}, 0, 0, CheckPowerOnCapture},
      {"monitor",
       "monitor [--fetch] [--for S]\n"
       "  Print unsolicited reports (motion, person/vehicle, automatic capture, power-on banner)\n"
       "  as they come, for S seconds or until interrupted. With --fetch read and save the\n"
       "  pictures the camera stored.",
       {{"fetch", 0, false}, {"for", 0, true}}, 0, 0, CheckMonitor},
      {"station",
       "station PLAN --ports LIST [--junit FILE] [--jsonl FILE] [--csv FILE] [--db TARGET]\n"
       "  Run the steps of the plan file PLAN (TOML: find, version, profile, serial, capture,\n"
       "  read-stored, reset) on every camera of LIST at once, one engine per port. LIST is\n"
       "  comma-separated: COMn, COMn=DEVICE, device or by-id paths, or a glob such as\n"
       "  '/dev/serial/by-id/*'. Each camera's pictures go to a folder of its own in the output\n"
       "  folder. Reports: --junit (JUnit XML), --jsonl (JSON lines), --csv; every run is kept\n"
       "  in the results database TARGET, an SQLite file (default station.sqlite in the\n"
       "  output folder) or a PostgreSQL connection string, checked before any port is\n"
       "  opened. Exit status 0 when every camera passed, 1 when one failed, 2 for a bad plan\n"
       "  or port list (nothing opened), 3 when the results store cannot take the run or a\n"
       "  report or the store could not be written, 130 when interrupted (the reports then\n"
       "  hold what ran); a second interrupt ends it at once. Needs no --port.",
       {{"ports", 0, true}, {"junit", 0, true}, {"jsonl", 0, true}, {"csv", 0, true},
        {"db", 0, true}},
       1, 1, CheckStation},
  };
  return commands;
}

const CommandInfo* FindCommand(const std::string& name) {
  for (const auto& info : Commands())
    if (name == info.name) return &info;
  return nullptr;
}

const OptionSpec* FindOption(const std::vector<OptionSpec>& options, const std::string& longName,
                             char shortName) {
  for (const auto& o : options)
    if ((!longName.empty() && longName == o.name) || (shortName != 0 && shortName == o.shortName))
      return &o;
  return nullptr;
}

bool LooksLikeOption(const std::string& token) {
  // "-5" is a (bad) value, not an option: the value check names the range.
  return token.size() > 1 && token[0] == '-' && !(token[1] >= '0' && token[1] <= '9');
}

void ApplyGlobal(const std::string& name, const std::string& value, GlobalOptions& g) {
  if (name == "port") {
    if (value.empty()) Fail("--port needs a device path or COMn");
    if (!ParsePortName(value).ok)
      Fail("--port COMn=DEVICE needs n in 1..15 and a device (got '" + value + "')");
    g.port = value;
    g.ports.push_back(value);
  } else if (name == "baud") {
    if (value == "auto") {
      g.autoBaud = true;
      return;
    }
    auto rate = ParseUnsigned(value, 1, 4000000);
    if (!rate || !IsListedBaud(*rate))
      Fail("--baud must be one of " + ListedRates(AllRates()) + " or auto (got '" + value + "')");
    g.autoBaud = false;
    g.baud = static_cast<unsigned>(*rate);
  } else if (name == "serial") {
    const SettingRow& row = Setting("", "serial");
    auto sn = ParseUnsigned(value, static_cast<unsigned long>(row.min), static_cast<unsigned long>(row.max));
    if (!sn) Fail("--serial must be " + RangeText(row) + " (got '" + value + "')");
    g.serial = static_cast<uint8_t>(*sn);
  } else if (name == "timeout") {
    auto ms = ParseUnsigned(value, 1, 3600000);
    if (!ms) Fail("--timeout must be 1..3600000 ms (got '" + value + "')");
    g.timeoutMs = static_cast<unsigned>(*ms);
  } else if (name == "out") {
    if (value.empty()) Fail("--out needs a folder");
    g.outDir = value;
  } else if (name == "trace") {
    g.trace = true;
  } else if (name == "decode") {
    g.trace = true;
    g.decode = true;
  } else if (name == "json") {
    g.json = true;
  } else if (name == "progress" || name == "no-progress") {
    g.progress = name == "progress" ? 1 : 0;  // the last one given wins
  }
}

// Finds the command a --help is about: the first known command name among the tokens.
std::string HelpTopic(const std::vector<std::string>& args, bool& wantsHelp, bool& wantsVersion) {
  wantsHelp = false;
  wantsVersion = false;
  std::string topic;
  for (const auto& token : args) {
    if (token == "--") break;
    if (token == "-h" || token == "--help") wantsHelp = true;
    if (token == "--version") wantsVersion = true;
    if (topic.empty() && FindCommand(token)) topic = token;
  }
  return topic;
}

void ParseTokens(const std::vector<std::string>& args, GlobalOptions& global, RawCommand& raw,
                 const CommandInfo*& info) {
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& token = args[i];
    if (!endOfOptions && token == "--") {
      endOfOptions = true;
      continue;
    }
    if (endOfOptions || !LooksLikeOption(token)) {
      if (!info) {
        info = FindCommand(token);
        if (!info) Fail("unknown command '" + token + "'");
        raw.name = token;
      } else {
        raw.args.push_back(token);
      }
      continue;
    }
    std::string longName;
    char shortName = 0;
    std::optional<std::string> inlineValue;
    if (token.rfind("--", 0) == 0) {
      longName = token.substr(2);
      size_t eq = longName.find('=');
      if (eq != std::string::npos) {
        inlineValue = longName.substr(eq + 1);
        longName.resize(eq);
      }
    } else {
      shortName = token[1];
      if (token.size() > 2) inlineValue = token.substr(2);
    }
    const OptionSpec* option = FindOption(kGlobalOptions, longName, shortName);
    bool isGlobal = option != nullptr;
    if (!option && info) option = FindOption(info->options, longName, shortName);
    if (!option) {
      Fail("unknown option '" + token + "'" +
           (info ? " for " + std::string(info->name) : std::string()));
    }
    std::string value;
    if (option->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else {
        if (i + 1 >= args.size()) Fail("option --" + std::string(option->name) + " needs a value");
        value = args[++i];
      }
    } else if (inlineValue) {
      Fail("option --" + std::string(option->name) + " takes no value");
    }
    if (isGlobal) {
      ApplyGlobal(option->name, value, global);
    } else {
      if (raw.options.count(option->name))
        Fail("option --" + std::string(option->name) + " given twice");
      raw.options[option->name] = value;
    }
  }
}

}  // namespace

bool CommandPlan::WritesPictures() const {
  return command == Command::Capture || command == Command::ReadStored ||
         (command == Command::Burst && readBurst) || (command == Command::Monitor && fetch);
}

std::string GeneralUsage() {
  return "Usage: brevant-cli [options] COMMAND [ARGS]\n"
         "Drive a serial JPEG camera module from scripts, with the same engine as the window.\n\n"
         "Options:\n"
         "  -p, --port DEV|COMn   serial device path, or a COM number mapped as in the window\n"
         "                        (required); COMn=DEV gives the number to a device first\n"
         "  -b, --baud N|auto     line speed (default 38400); auto finds the rate the camera\n"
         "                        answers at on the given port first\n"
         "  -s, --serial N        camera serial number byte 0..255 (default 0)\n"
         "  -t, --timeout MS      give up when an awaited reply has not come (default 5000);\n"
         "                        a transfer that keeps moving is not cut short, one that\n"
         "                        receives nothing for this long is abandoned (status 4)\n"
         "  -o, --out DIR         folder for temporary and saved pictures (default: current folder)\n"
         "      --trace           write the traffic trace (\"TX :\" / \"Rx :\" lines) to stderr\n"
         "      --decode          the trace frame by frame, each frame named and its fields\n"
         "                        decoded beside it (implies --trace)\n"
         "      --json            one JSON object per result on stdout instead of text\n"
         "      --progress        show a progress line per picture (bytes, per cent, rate, time\n"
         "                        left) even when stderr is not a terminal\n"
         "      --no-progress     never show it; by default it is shown when stderr is a\n"
         "                        terminal, and never with --json or --trace\n"
         "  -h, --help            this text; every command also takes --help\n"
         "      --version         the program's version\n\n"
         "Commands:\n"
         "  ports                      COM numbers, devices, stable paths, vendor, model, serial number\n"
         "  find                       which port and rate the camera answers at\n"
         "  version                    version text, model code, variant, firmware number\n"
         "  settings                   read-back of serial number, size, default rate, compression,\n"
         "                             detection kind\n"
         "  capture [-n COUNT] [--delay MS] [--transmit all|512|2048|4096|8192|10240] [--type jpeg|yuv]\n"
         "                             COUNT pictures (default 1), each saved under the timestamped\n"
         "                             name; prints path, bytes, width x height and transfer seconds;\n"
         "                             --check CHECKS measures each and checks its figures\n"
         "  check FILE... [--check CHECKS]\n"
         "                             measure saved pictures: sharpness, luma, clipping, uniform,\n"
         "                             colour balance; needs no --port\n"
         "  read-stored [INDEX]        fetch a picture the camera stored after a detection\n"
         "  reset\n"
         "  image-size WxH             one of the 14 sizes, x or X\n"
         "  compression 0xNN           " + RangeText(Setting("", "compression")) + "\n"
         "  default-baud N [--yes]     rates above 115200 need --yes (the window's warning)\n"
         "  profile save|apply|diff FILE [--yes]  the camera's settings as a JSON profile\n"
         "  temp-baud N\n"
         "  power-save on|off\n"
         "  fill-light LEVEL           0..100\n"
         "  image-type jpeg|yuv\n"
         "  detection on|off\n"
         "  osd LINE TEXT [--display 0|1] [--font 0..2] [--x N] [--y N] [--color HHHH] [--back HHHH]\n"
         "                             LINE is 1..4; defaults as the OSD dialog's\n"
         "  image-params read [day|night] | reset [day|night] | set day|night [--brightness N]\n"
         "             [--contrast N] [--sharpness N] [--saturation N] [--hue N] [--awb auto|N]\n"
         "             [--exposure N] [--hlc N]\n"
         "  crop read | crop set --enable 0|1 --x N --y N --width N --height N\n"
         "  motion-capture --photos N --interval MS --next S\n"
         "  detection-settings read | set [--power-on 0|1] [--type motion|person|vehicle]\n"
         "             [--sensitivity 0..4] [--mode 0|1] [--threshold 1..4] [--distance 0..4]\n"
         "             [--target 0|1] [--photos N] [--interval MS] [--next S]\n"
         "  burst --photos N --interval MS [--read]\n"
         "                             multiple capture; with --read fetch pictures 1..N\n"
         "  power-on-capture --photos N --interval MS\n"
         "  monitor [--fetch] [--for S]\n"
         "                             print unsolicited reports (motion, person/vehicle, auto\n"
         "                             capture, power-on banner) as they come; with --fetch read\n"
         "                             the stored pictures\n"
         "  station PLAN --ports LIST [--junit FILE] [--jsonl FILE] [--csv FILE] [--db TARGET]\n"
         "                             run a plan on many cameras at once; needs no --port\n\n"
         "'brevant-cli COMMAND --help' shows the details of one command.\n\n"
         "Exit status: 0 success, 1 the camera reported a failure (also a picture length no\n"
         "picture of the camera can have, damaged on the line), 2 usage error or bad value\n"
         "(nothing is sent), 3 the port cannot be opened or the line failed, 4 an awaited reply\n"
         "did not come within the timeout (find, --baud auto: no camera answered anywhere), 5 a\n"
         "picture failed a --check, 6 profile save or diff: the camera reports none of the\n"
         "settings asked for.\n";
}

std::string CommandUsage(const std::string& command) {
  const CommandInfo* info = FindCommand(command);
  if (!info) return "";
  // Synopsis lines come first; the description is indented by two spaces.
  std::istringstream lines(info->usage);
  std::string line, out;
  bool first = true;
  bool description = false;
  while (std::getline(lines, line)) {
    if (!description && line.size() > 2 && line[0] == ' ' && line[1] == ' ' && line[2] != ' ')
      description = true;
    if (description) {
      out += line + "\n";
    } else if (line[0] == ' ') {
      out += "                " + line + "\n";  // continuation of a long synopsis
    } else {
      out += std::string(first ? "Usage: " : "   or: ") + "brevant-cli [options] " + line + "\n";
      first = false;
    }
  }
  return out;
}

std::string VersionText() { return "brevant-cli " BREVANT_VERSION "\n"; }

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const auto& info : Commands()) names.push_back(info.name);
  return names;
}

std::vector<std::string> OptionNames(const std::string& command) {
  const CommandInfo* info = command.empty() ? nullptr : FindCommand(command);
  if (!command.empty() && !info) return {};
  std::vector<std::string> names;
  for (const auto& o : info ? info->options : kGlobalOptions) names.push_back(std::string("--") + o.name);
  return names;
}

bool WantsProgress(const GlobalOptions& global, const CommandPlan& plan, bool stderrIsTerminal) {
  // JSON readers and traces own their streams; a redrawn line would only garble them.
  if (!plan.WritesPictures() || global.json || global.trace) return false;
  return global.progress < 0 ? stderrIsTerminal : global.progress == 1;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  bool wantsHelp = false;
  bool wantsVersion = false;
  std::string topic = HelpTopic(args, wantsHelp, wantsVersion);
  if (wantsHelp || wantsVersion) {
    result.kind = ParseResult::Help;
    result.exitStatus = kExitOk;
    result.text = wantsHelp ? (topic.empty() ? GeneralUsage() : CommandUsage(topic)) : VersionText();
    return result;
  }
  try {
    RawCommand raw;
    const CommandInfo* info = nullptr;
    ParseTokens(args, result.global, raw, info);
    if (!info) Fail("no command given");
    if (raw.args.size() < info->minArgs)
      Fail(raw.name + ": missing argument (usage: " +
           std::string(info->usage).substr(0, std::string(info->usage).find('\n')) + ")");
    if (raw.args.size() > info->maxArgs) Fail(raw.name + ": unexpected argument '" +
                                              raw.args[info->maxArgs] + "'");
    result.plan.name = raw.name;
    info->check(raw, result.plan);
    if (result.global.port.empty() && result.plan.command != Command::Ports &&
        result.plan.command != Command::Find && result.plan.command != Command::Check &&
        result.plan.command != Command::Station)
      Fail("--port is required");
  } catch (const UsageError& e) {
    result.kind = ParseResult::Error;
    result.exitStatus = kExitUsage;
    result.text = e.text;
    return result;
  }
  result.kind = ParseResult::Run;
  result.exitStatus = kExitOk;
  return result;
}

}  // namespace cli
