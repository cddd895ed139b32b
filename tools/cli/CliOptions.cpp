#include "CliOptions.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "CliCommandTable.h"
#include "CliSniff.h"
#include "CliValues.h"
#include "common/Version.h"
#include "core/InputFile.h"
#include "core/SettingsRules.h"
#include "core/SettingsTable.h"
#include "core/TextCodec.h"
#include "serial/NetworkPort.h"
#include "serial/PortMap.h"
#include "station/StationYield.h"

namespace cli {

namespace {

// What the parser collected for one command before its values are checked.
struct RawCommand {
  const CliCommand* info = nullptr;  // its entry in the option table
  std::string name;
  std::vector<std::string> args;
  std::map<std::string, std::string> options;  // long name -> value ("" for flags)
};

// Thrown inside the parser only; turned into a usage error at its boundary.
struct UsageError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& text) { throw UsageError{text}; }

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

// The value of the command's option for a settings-table row: checked against the row, or
// the row's default when it is not given; the option table says whether it must be given.
unsigned long Field(const RawCommand& raw, const SettingRow& row, bool alignment = true) {
  const CliOption* option = nullptr;
  for (const CliOption& o : raw.info->options)
    if (o.row == &row) option = &o;
  if (!option) Fail(raw.name + ": " + row.option + " is not an option of this command");  // a table slip
  auto it = raw.options.find(option->name);
  if (it == raw.options.end()) {
    if (option->required) Fail(raw.name + ": " + row.option + " is required");
    return static_cast<unsigned long>(row.fallback);
  }
  return Checked(raw, row.option, it->second, row, alignment);
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
  if (Has(raw, "roi")) {
    std::string error;
    plan.edgeRegion = ParseEdgeRegion(raw.options.at("roi"), error);
    if (!plan.edgeRegion) Fail(raw.name + ": --roi: " + error);
  }
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
    auto t = TransmitIndex(raw.options.at("transmit"));
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
  plan.send = MakeCommand(CMD_SET_IMAGE_SIZE, static_cast<unsigned>(*k));
}

void CheckCompression(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Compression;
  auto value = ParseCompression(raw.args[0]);
  if (!value)
    Fail("compression: value must be " + RangeText(Setting("", "compression")) + " (got '" + raw.args[0] +
         "')");
  plan.send = MakeCommand(CMD_SET_COMPRESSION, *value);
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
  plan.send = MakeCommand(CMD_SET_BAUD, static_cast<unsigned>(*rate));
  if (*rate > kRateWarningAbove && !Has(raw, "yes"))
    Fail(std::string(kRateWarningText) + "\n\ndefault-baud: rates above " +
         std::to_string(kRateWarningAbove) + " need --yes");
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
  if (plan.profileAction == "apply" && rate && *rate > kRateWarningAbove && !Has(raw, "yes"))
    Fail(std::string(kRateWarningText) + "\n\nprofile apply: a default_rate above " +
         std::to_string(kRateWarningAbove) + " needs --yes");
}

void CheckTempBaud(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::TempBaud;
  auto rate = ParseUnsigned(raw.args[0], 1, 4000000);
  if (!rate || !IsListedBaud(*rate) || RatePosition(*rate) >= TemporaryRateCount())
    Fail("temp-baud: N must be one of " + ListedRates(TemporaryRateCount()) + " (got '" + raw.args[0] +
         "')");
  plan.send = MakeCommand(CMD_SET_TEMP_BAUD, static_cast<unsigned>(*rate));
}

void CheckOsd(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Osd;
  plan.osdLine = static_cast<int>(Number(raw, "LINE", raw.args[0], 1, 4)) - 1;
  OsdLineSetting rec;  // defaults are the dialog's first-opening values
  rec.line = static_cast<uint8_t>(plan.osdLine);
  const SettingRow& xRow = Setting("osd", "x");
  const SettingRow& yRow = Setting("osd", "y");
  rec.display = static_cast<uint8_t>(Field(raw, Setting("osd", "display")));
  rec.font = static_cast<uint8_t>(Field(raw, Setting("osd", "font")));
  rec.x = static_cast<uint16_t>(Field(raw, xRow, false));
  rec.y = static_cast<uint16_t>(Field(raw, yRow, false));
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
  plan.send = MakeCommand(CMD_SET_OSD, rec);
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
  ImageParams p;  // unset fields take the Image Control window's defaults
  p.mode = DayNight(raw, raw.args[1]);
  p.brightness = static_cast<uint8_t>(Field(raw, Setting("image", "brightness")));
  p.contrast = static_cast<uint8_t>(Field(raw, Setting("image", "contrast")));
  p.sharpness = static_cast<uint8_t>(Field(raw, Setting("image", "sharpness")));
  p.saturation = static_cast<uint8_t>(Field(raw, Setting("image", "saturation")));
  p.hue = static_cast<uint8_t>(Field(raw, Setting("image", "hue")));
  p.exposure = static_cast<uint8_t>(Field(raw, Setting("image", "exposure")));
  p.hlc = static_cast<uint8_t>(Field(raw, Setting("image", "hlc")));
  const SettingRow& awbRow = Setting("image", "awb");
  unsigned long awb = static_cast<unsigned long>(awbRow.fallback);  // what "auto" sends
  p.manualWhiteBalance = 0;
  if (Has(raw, "awb") && raw.options.at("awb") != "auto") {
    awb = Field(raw, awbRow);
    p.manualWhiteBalance = 1;
  }
  p.whiteBalanceHigh = static_cast<uint8_t>(awb >> 8);
  p.whiteBalanceLow = static_cast<uint8_t>(awb & 0xFF);
  plan.send = MakeCommand(CMD_SET_IMAGE_PARAMS, p);
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
  CropSettings c;
  const SettingRow& xRow = Setting("crop", "x");
  const SettingRow& yRow = Setting("crop", "y");
  c.enable = static_cast<uint8_t>(Field(raw, Setting("crop", "enable")));
  c.x = static_cast<uint16_t>(Field(raw, xRow, false));
  c.y = static_cast<uint16_t>(Field(raw, yRow, false));
  // Whether the window fits the current picture is the camera's to judge.
  c.width = static_cast<uint16_t>(Field(raw, Setting("crop", "width")));
  c.height = static_cast<uint16_t>(Field(raw, Setting("crop", "height")));
  if (RefuseValue(xRow, c.x))
    Fail("crop: x must be align " + std::to_string(xRow.step) + " (" + RangeText(xRow) + " in steps of " +
         std::to_string(xRow.step) + ")");
  if (RefuseValue(yRow, c.y)) Fail("crop: y must be align 2 (even values " + RangeText(yRow) + ")");
  c.operation = 1;
  c.status = 0xFF;
  plan.send = MakeCommand(CMD_SET_CROP, c);
}

void CheckMotionCapture(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::MotionCapture;
  MotionCaptureSettings m;
  m.photos = static_cast<uint8_t>(Field(raw, Setting("motion_capture", "photos")));
  m.interval = static_cast<uint16_t>(Field(raw, Setting("motion_capture", "interval")));
  m.nextDetect = static_cast<uint8_t>(Field(raw, Setting("motion_capture", "next")));
  plan.send = MakeCommand(CMD_SET_MOTION_CAPTURE, m);
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
  DetectSettings d;  // unset fields take the Intelligent Detection defaults
  d.powerOnDetect = static_cast<uint8_t>(Field(raw, Setting("detection", "power_on")));
  d.type = 0;
  if (Has(raw, "type")) {
    const std::string& t = raw.options.at("type");
    const SettingRow& row = Setting("detection", "type");
    const int index = ChoiceIndex(row, t);
    if (index < 0) Fail("detection-settings: --type must be " + ChoiceText(row) + " (got '" + t + "')");
    d.type = static_cast<uint8_t>(index);
  }
  d.sensitivity = static_cast<uint8_t>(Field(raw, Setting("detection", "sensitivity")));
  d.mode = static_cast<uint8_t>(Field(raw, Setting("detection", "mode")));
  d.threshold = static_cast<uint8_t>(Field(raw, Setting("detection", "threshold")));
  d.distance = static_cast<uint8_t>(Field(raw, Setting("detection", "distance")));
  d.targetSelect = static_cast<uint8_t>(Field(raw, Setting("detection", "target")));
  d.photos = static_cast<uint8_t>(Field(raw, Setting("detection", "photos")));
  d.interval = static_cast<uint16_t>(Field(raw, Setting("detection", "interval")));
  d.nextDetect = static_cast<uint8_t>(Field(raw, Setting("detection", "next")));
  plan.send = MakeCommand(CMD_SET_DETECTION, d);
}

void CheckBurst(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Burst;
  MultiCaptureSettings m;
  m.photos = static_cast<uint8_t>(Field(raw, Setting("burst", "photos")));
  m.interval = static_cast<uint16_t>(Field(raw, Setting("burst", "interval")));
  plan.send = MakeCommand(CMD_MULTI_CAPTURE, m);
  plan.readBurst = Has(raw, "read");
}

void CheckPowerOnCapture(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::PowerOnCapture;
  MultiCaptureSettings m;
  m.photos = static_cast<uint8_t>(Field(raw, Setting("power_on_capture", "photos")));  // 0: off
  m.interval = static_cast<uint16_t>(Field(raw, Setting("power_on_capture", "interval")));
  plan.send = MakeCommand(CMD_SET_POWER_CAPTURE, m);
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
  for (const char* option : {"junit", "jsonl", "csv", "db", "unit", "events"})
    if (Has(raw, option) && raw.options.at(option).empty())
      Fail(std::string("station: --") + option + " needs a value");
  auto value = [&](const char* option) { return Has(raw, option) ? raw.options.at(option) : ""; };
  plan.junitPath = value("junit");
  plan.jsonlPath = value("jsonl");
  plan.csvPath = value("csv");
  plan.dbTarget = value("db");
  plan.unitList = value("unit");
  plan.eventsPath = value("events");
  plan.waitForStart = Has(raw, "wait-for-start");
}

void CheckReport(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Report;
  for (const char* option : {"db", "plan", "since", "html"})
    if (Has(raw, option) && raw.options.at(option).empty())
      Fail(std::string("report: --") + option + " needs a value");
  if (!Has(raw, "db")) Fail("report: --db is required");
  auto value = [&](const char* option) { return Has(raw, option) ? raw.options.at(option) : ""; };
  plan.dbTarget = value("db");
  plan.reportPlan = value("plan");
  plan.reportSince = value("since");
  plan.htmlPath = value("html");
  if (!plan.reportSince.empty() && !station::ValidSinceDate(plan.reportSince))
    Fail("report: --since takes a date, YYYY-MM-DD, or a time, YYYY-MM-DDTHH:MM:SSZ (UTC)");
}

void CheckSniff(const RawCommand& raw, CommandPlan& plan) {
  plan.command = Command::Sniff;
  plan.linkPath = Has(raw, "link") ? raw.options.at("link") : kDefaultSniffLink;
  if (plan.linkPath.empty()) Fail("sniff: --link needs a path");
}

using CheckFn = std::function<void(const RawCommand&, CommandPlan&)>;

auto Simple(Command c) {
  return [c](const RawCommand&, CommandPlan& plan) { plan.command = c; };
}

// Each command's check, by the name the option table gives it.
const std::map<std::string, CheckFn>& Checks() {
  static const std::map<std::string, CheckFn> checks = {
      {"version", Simple(Command::Version)},
      {"ports", Simple(Command::Ports)},
      {"find", Simple(Command::Find)},
      {"settings", Simple(Command::Settings)},
      {"capture", CheckCapture},
      {"check", CheckCheck},
      {"read-stored", CheckReadStored},
      {"reset", Simple(Command::Reset)},
      {"image-size", CheckImageSize},
      {"compression", CheckCompression},
      {"default-baud", CheckDefaultBaud},
      {"profile", CheckProfile},
      {"temp-baud", CheckTempBaud},
      {"power-save",
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::PowerSave;
         plan.send = MakeCommand(OnOff(raw, raw.args[0]) ? CMD_POWER_SAVE_ON : CMD_POWER_SAVE_OFF);
       }},
      {"fill-light",
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::FillLight;
         const auto level = static_cast<unsigned>(Checked(raw, "LEVEL", raw.args[0], Setting("", "fill_light")));
         plan.send = MakeCommand(level == 0 ? CMD_FILL_LIGHT_OFF : CMD_SET_FILL_LIGHT, level);
       }},
      {"image-type",
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::ImageType;
         plan.imageType = ImageTypeValue(raw, "type", raw.args[0]);
         plan.send = MakeCommand(CMD_SET_IMAGE_FORMAT, static_cast<unsigned>(plan.imageType));
       }},
      {"detection",
       [](const RawCommand& raw, CommandPlan& plan) {
         plan.command = Command::Detection;
         plan.on = OnOff(raw, raw.args[0]);
       }},
      {"osd", CheckOsd},
      {"image-params", CheckImageParams},
      {"crop", CheckCrop},
      {"motion-capture", CheckMotionCapture},
      {"detection-settings", CheckDetectionSettings},
      {"burst", CheckBurst},
      {"power-on-capture", CheckPowerOnCapture},
      {"monitor", CheckMonitor},
      {"station", CheckStation},
      {"sniff", CheckSniff},
      {"report", CheckReport},
  };
  return checks;
}

const CliOption* FindOption(const std::vector<CliOption>& options, const std::string& longName, char shortName) {
  for (const CliOption& o : options)
    if ((!longName.empty() && longName == o.name) || (shortName != 0 && shortName == o.shortName)) return &o;
  return nullptr;
}

const CliOption* FindGlobalOption(const std::string& longName, char shortName) {
  for (const CliGlobalOption& g : CliGlobalOptions())
    if ((!longName.empty() && longName == g.option.name) || (shortName != 0 && shortName == g.option.shortName))
      return &g.option;
  return nullptr;
}

bool LooksLikeOption(const std::string& token) {
  // "-5" is a (bad) value, not an option: the value check names the range.
  return token.size() > 1 && token[0] == '-' && !(token[1] >= '0' && token[1] <= '9');
}

void ApplyGlobal(const std::string& name, const std::string& value, GlobalOptions& g) {
  if (name == "port") {
    if (value.empty()) Fail("--port needs a device path or COMn");
    if (const PortName parsed = ParsePortName(value); !parsed.ok && IsNetworkPortName(parsed.device))
      Fail("--port: a network port is rfc2217://HOST:PORT or socket://HOST:PORT (got '" + value + "')");
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
    std::string rest = value;
    while (!value.empty()) {
      const size_t comma = rest.find(',');
      const std::string word = rest.substr(0, comma);
      if (word == "full")
        g.decodeFull = true;
      else if (word == "deltas")
        g.decodeDeltas = true;
      else
        Fail("--decode takes full, deltas or both (got '" + value + "')");
      if (comma == std::string::npos) break;
      rest.erase(0, comma + 1);
    }
  } else if (name == "pcapng") {
    if (value.empty()) Fail("--pcapng needs a file name");
    g.pcapng = value;
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
    if (topic.empty() && FindCliCommand(token)) topic = token;
  }
  return topic;
}

void ParseTokens(const std::vector<std::string>& args, GlobalOptions& global, RawCommand& raw,
                 const CliCommand*& info) {
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& token = args[i];
    if (!endOfOptions && token == "--") {
      endOfOptions = true;
      continue;
    }
    if (endOfOptions || !LooksLikeOption(token)) {
      if (!info) {
        info = FindCliCommand(token);
        if (!info) Fail("unknown command '" + token + "'");
        raw.info = info;
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
    const CliOption* option = FindGlobalOption(longName, shortName);
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
    } else if (inlineValue && option->metavar) {
      value = *inlineValue;
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

std::string VersionText() { return "brevant-cli " BREVANT_VERSION "\n"; }

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const CliCommand& info : CliCommands()) names.push_back(info.name);
  return names;
}

std::vector<std::string> OptionNames(const std::string& command) {
  std::vector<std::string> names;
  if (command.empty()) {
    for (const CliGlobalOption& g : CliGlobalOptions()) names.push_back(std::string("--") + g.option.name);
    return names;
  }
  const CliCommand* info = FindCliCommand(command);
  if (!info) return {};
  for (const CliOption& o : info->options) names.push_back(std::string("--") + o.name);
  return names;
}

std::optional<std::string> RefuseForCamera(const CommandPlan& plan, const std::string& versionText,
                                           const SettingsReadBack& settings) {
  ProfileSettings writes;
  switch (plan.command) {
    case Command::CropSet:
      if (const CropSettings* crop = plan.send.Get<CropSettings>()) writes.crop = *crop;
      break;
    case Command::ImageSize: writes.imageSize = static_cast<int>(plan.send.Value()); break;
    case Command::DefaultBaud: writes.defaultRate = plan.send.Value(); break;
    case Command::FillLight: writes.fillLight = plan.send.Value(); break;
    default: return std::nullopt;
  }
  CameraState state{ProfileModelFor(versionText)};
  if (settings.imageSizeIndex >= 0)
    PictureOfSizeIndex(settings.imageSizeIndex + 1, state.pictureWidth, state.pictureHeight);
  const std::optional<std::string> why = ::RefuseForCamera(writes, state);
  return why ? std::optional<std::string>(plan.name + ": " + *why) : std::nullopt;
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
    const CliCommand* info = nullptr;
    ParseTokens(args, result.global, raw, info);
    if (!info) Fail("no command given");
    if (raw.args.size() < info->minArgs)
      Fail(raw.name + ": missing argument (usage: " + SynopsisLines(*info).front() + ")");
    if (raw.args.size() > info->maxArgs) Fail(raw.name + ": unexpected argument '" +
                                              raw.args[info->maxArgs] + "'");
    result.plan.name = raw.name;
    Checks().at(info->name)(raw, result.plan);
    if (result.global.port.empty() && result.plan.command != Command::Ports &&
        result.plan.command != Command::Find && result.plan.command != Command::Check &&
        result.plan.command != Command::Station && result.plan.command != Command::Report)
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
