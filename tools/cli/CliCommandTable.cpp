#include "CliCommandTable.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace cli {

namespace {

// Synopses wrap at this width; continuation lines sit under the first argument, at most this
// far in, so a long command name does not push its options off the line.
constexpr size_t kSynopsisWidth = 92;
constexpr size_t kSynopsisIndentMax = 13;
// The general usage: the command column, and the line a summary beside its synopsis must fit.
constexpr size_t kSummaryColumn = 29;
constexpr size_t kSummaryBesideWidth = 80;
constexpr size_t kOptionHelpColumn = 24;

// The parts of the completion script that do not depend on the tables.
constexpr const char* kCompletionHead = R"sh(# bash completion for brevant-cli                                   -*- shell-script -*-
# Generated from brevant-cli's option table at build time.
# Commands, their options and the values that come from a fixed list; --port offers the
# serial devices present and COM1..COM15.

_brevant_cli_ports() {
  local devices=() d
  for d in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/ttyS*; do
    [[ -e $d ]] && devices+=("$d")
  done
  if [[ $1 == /* && ! $1 == /dev/tty* && ! $1 == /dev/serial* ]]; then
    compgen -f -- "$1"  # any other device path, e.g. a pseudo-terminal
  else
    compgen -W "${devices[*]} COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 COM10 COM11 COM12 COM13 COM14 COM15" -- "$1"
  fi
}
)sh";

constexpr const char* kCompletionWalk1 = R"sh(  COMPREPLY=()

  # Walk the words before the cursor: the command, its arguments, and whether the word
  # under the cursor is an option's value. "--opt=value" arrives split at "=".
  local command="" nargs=0 i j word values
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word == -* && $word != -[0-9]* ]]; then
      values=$(_brevant_cli_option_values "$command" "$word")
      [[ $values == "-" ]] && continue
      j=$((i + 1))
      [[ ${COMP_WORDS[j]} == "=" ]] && j=$((j + 1))
      if ((j >= COMP_CWORD)); then option=$word; break; fi
      i=$j
      continue
    fi
    if [[ -z $command ]]; then command=$word; else ((nargs += 1)); fi
  done
  [[ $cur == "=" ]] && cur=""

  if [[ -n $option ]]; then
    case $option in
      -p|--port)
        [[ $cur == /* ]] && compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(_brevant_cli_ports "$cur") ;;
      -o|--out)
        compopt -o filenames 2>/dev/null  # a slash after folder names, as for cd
        mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
      *) mapfile -t COMPREPLY < <(compgen -W "$(_brevant_cli_option_values "$command" "$option")" -- "$cur") ;;
    esac
    return 0
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$globals $(_brevant_cli_options "$command")" -- "$cur")
  elif [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
  elif [[ )sh";

constexpr const char* kCompletionWalk2 = R"sh( ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -W "$(_brevant_cli_arguments "$command" $((nargs + 1)))" -- "$cur")
  fi
  return 0
}
complete -F _brevant_cli brevant-cli
)sh";

const SettingRow* S(const char* section, const char* field) { return &Setting(section, field); }

CliOption Opt(const char* name, const char* metavar) { return {name, 0, true, nullptr, metavar}; }
CliOption Flag(const char* name) { return {name, 0, false, nullptr, nullptr}; }
CliOption Row(const char* section, const char* field, const char* metavar = nullptr, bool required = false) {
  const SettingRow* row = S(section, field);
  return {row->option + 2, 0, true, row, metavar, required};
}

// The values of a List row: the image sizes, or the first `max` rates.
std::vector<std::string> ListItems(const SettingRow& row) {
  const std::vector<std::string>& all =
      std::string_view(row.field) == "image_size" ? ImageSizeItems() : RateItems();
  return {all.begin(), all.begin() + std::min<long long>(row.max, static_cast<long long>(all.size()))};
}

// "A, B, C or D"; past six items the list continues on a new line.
std::string OrList(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " or " : (i == 6 && items.size() > 6) ? ",\n" : ", ";
    text += items[i];
  }
  return text;
}

std::string DefaultText(const SettingRow& row) {
  char text[16];
  if (row.kind == SettingKind::Choice) return ChoiceNames(row)[static_cast<size_t>(row.fallback)];
  if (row.kind == SettingKind::Hex16) {
    std::snprintf(text, sizeof text, "%04llX", row.fallback);
    return text;
  }
  if (row.hex) {
    std::snprintf(text, sizeof text, "0x%02llX", row.fallback);
    return text;
  }
  return std::to_string(row.fallback);
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
  return text;
}

// How a setting's value reads in a synopsis: its two values, its range, or its choices.
std::string RowMetavar(const SettingRow& row) {
  switch (row.kind) {
    case SettingKind::Flag: return "0|1";
    case SettingKind::Choice: return Join(ChoiceNames(row), "|");
    case SettingKind::List: return Join(ListItems(row), "|");
    default:
      if (row.max - row.min == 1) return std::to_string(row.min) + "|" + std::to_string(row.max);
      return RangeText(row);
  }
}

std::string OptionToken(const CliOption& option) {
  std::string token = option.shortName ? std::string("-") + option.shortName : std::string("--") + option.name;
  if (option.takesValue) token += " " + (option.metavar ? std::string(option.metavar) : RowMetavar(*option.row));
  return option.required ? token : "[" + token + "]";
}

// Greedy wrap of synopsis tokens; continuation lines start with `indent` blanks.
std::vector<std::string> Wrap(const std::vector<std::string>& tokens, size_t indent) {
  std::vector<std::string> lines(1);
  for (const std::string& token : tokens) {
    std::string& line = lines.back();
    const bool fresh = line.empty() || line.find_first_not_of(' ') == std::string::npos;
    if (!fresh && line.size() + 1 + token.size() > kSynopsisWidth) {
      lines.push_back(std::string(indent, ' ') + token);
    } else {
      line += (fresh ? "" : " ") + token;
    }
  }
  return lines;
}

std::vector<std::string> FormTokens(const CliCommand& command, const CliForm& form, bool overview) {
  std::vector<std::string> tokens;
  for (const CliArgument& argument : form.arguments) tokens.push_back(argument.text);
  if (form.options)
    for (const CliOption& option : command.options)
      if (!overview || option.inOverview) tokens.push_back(OptionToken(option));
  return tokens;
}

size_t ContinuationIndent(const CliCommand& command) {
  return std::min(std::string_view(command.name).size() + 1, kSynopsisIndentMax);
}

// The literal words of a synopsis argument ("[day|night]" -> day, night); placeholders such
// as FILE or N have none.
std::vector<std::string> LiteralWords(std::string text) {
  std::erase(text, '[');
  std::erase(text, ']');
  std::vector<std::string> words;
  for (size_t start = 0; start <= text.size();) {
    const size_t bar = std::min(text.find('|', start), text.size());
    const std::string word = text.substr(start, bar - start);
    if (!word.empty() && std::none_of(word.begin(), word.end(), [](char c) { return std::isupper(static_cast<unsigned char>(c)); }))
      words.push_back(word);
    start = bar + 1;
  }
  return words;
}

const SettingRow& PlaceholderRow(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return Setting("", name);
  return Setting(name.substr(0, dot), name.substr(dot + 1));
}

std::string Indented(const std::string& text, const std::string& indent) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    out += indent + line + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

std::string ExpandSettings(const std::string& text) {
  std::string out;
  size_t pos = 0;
  for (size_t open; (open = text.find('{', pos)) != std::string::npos;) {
    const size_t close = text.find('}', open);
    if (close == std::string::npos) break;
    out += text.substr(pos, open - pos);
    std::string_view name(text.data() + open + 1, close - open - 1);
    std::string_view what;
    if (const size_t colon = name.find(':'); colon != std::string_view::npos) {
      what = name.substr(colon + 1);
      name = name.substr(0, colon);
    }
    const SettingRow& row = PlaceholderRow(name);
    if (what.empty()) out += RangeText(row);
    else if (what == "default") out += DefaultText(row);
    else if (what == "min") out += std::to_string(row.min);
    else if (what == "max") out += std::to_string(row.max);
    else if (what == "step") out += std::to_string(row.step);
    else if (what == "count") out += std::to_string(ListItems(row).size());
    else if (what == "list") out += OrList(ListItems(row));
    else {
      std::fprintf(stderr, "unknown help placeholder {%s}\n", std::string(text, open + 1, close - open - 1).c_str());
      std::abort();
    }
    pos = close + 1;
  }
  return out + text.substr(pos);
}

const std::vector<CliCommand>& CliCommands() {
  using A = CliArgument;
  static const std::vector<CliCommand> commands = {
      {"ports", {{{}, false}}, {}, 0, 0,
       "COM numbers, devices, stable paths, vendor, model, serial number",
       "List the COM numbers and the devices they map to, with each device's stable path\n"
       "(/dev/serial/by-id/... or /dev/serial0), vendor, model and serial number. Needs no --port."},
      {"find", {{{}, false}}, {}, 0, 0, "which port and rate the camera answers at",
       "Look for the camera: try each port (every mapped one, or each --port given) at each\n"
       "rate, 38400 and 115200 first, and report the first that answers the version query with\n"
       "its port, device, rate, version text and model. Exit status 4 when none answers."},
      {"version", {{{}, false}}, {}, 0, 0, "version text, model code, variant, firmware number",
       "Query the version text; print it with the model code, variant and firmware number."},
      {"settings", {{{}, false}}, {}, 0, 0,
       "read-back of serial number, size, default rate, compression,\ndetection kind",
       "Read back the camera's serial number, image size, default rate, compression and\n"
       "detection kind."},
      {"capture", {{{}, true}},
       {{"count", 'n', true, nullptr, "COUNT"}, Opt("delay", "MS"), Opt("transmit", "all|512|2048|4096|8192|10240"),
        Row("", "image_type"), {"check", 0, true, nullptr, "CHECKS", false, false},
        {"roi", 0, true, nullptr, "X,Y,W,H", false, false}},
       0, 0,
       "COUNT pictures (default 1), each saved under the timestamped\n"
       "name; prints path, bytes, width x height and transfer seconds;\n"
       "--check CHECKS measures each and checks its figures",
       "Take COUNT pictures (-n or --count, default 1), --delay MS apart (0..9999, default 0).\n"
       "Each is saved in the output folder under the timestamped name jpeg_YYYYMMDD_HHMMSS.jpg\n"
       "(yuv_... .yuv for NV12), with _2, _3 ... added when the name exists. Prints path, bytes,\n"
       "width x height and transfer seconds per picture. --transmit chooses the block size\n"
       "(default all at once); --type says what the camera was set to send (default jpeg).\n"
       "--check measures each picture and prints its figures (see 'check'); a picture that\n"
       "fails one of CHECKS ends the run with status 5. --roi X,Y,W,H measures MTF50 on the\n"
       "one edge inside that region of the picture (see 'check')."},
      {"check", {{{A{"FILE..."}}, true}}, {Opt("check", "CHECKS"), Opt("roi", "X,Y,W,H")}, 1, 100000,
       "measure saved pictures: sharpness, noise, luma, clipping,\nuniform, colour; flat-field shading and defects; MTF50",
       "Measure saved JPEG pictures. CHECKS is a comma-separated list such as\n"
       "'sharpness>=20,luma=40..220,clipped<=2%,noise<=4': FIGURE>=N,\n"
       "FIGURE<=N, FIGURE=A..B, or uniform=yes|no. A picture that fails a check gives status 5;\n"
       "so does a damaged file (truncated, corrupt data), which fails 'decodes' whatever was\n"
       "asked, and a figure that cannot be measured (no edge found, not a flat field), which\n"
       "fails with the reason. Needs no --port.\n"
       "\n"
       "Figures, with the levels built into them (a check sets the limit that matters to you):\n"
       "  sharpness  detail per unit of contrast, x 100, the noise taken out: falls as the\n"
       "             picture blurs and scores 0 for a uniform picture. It ranks pictures of one\n"
       "             scene (focusing); a sharp test card scores 50-100, a flat noisy one 0.\n"
       "  luma, min, max, spread  mean luma (0..255), its range and standard deviation.\n"
       "  clipped, black, white  percent of pixels at luma 2 or less (black) or 253 or more\n"
       "             (white); the levels are fixed, check min/max for others.\n"
       "  red, green, blue  mean of each colour (0..255).\n"
       "  noise      noise in levels (one standard deviation), read away from edges.\n"
       "  uniform    yes when no structure stands above the noise (a dead or covered sensor):\n"
       "             the 10th-90th percentile spread, noise taken out, under 1.5 levels + 0.5 x\n"
       "             noise, and the 1st-99th percentile span under 8 levels + 6 x noise. For a\n"
       "             stricter test check spread or luma as well.\n"
       "  shading    flat field: the darkest corner's mean in percent of the centre's (squares\n"
       "             of 1/20 of the picture's sides; the centre at 16 or more), e.g. shading>=70%.\n"
       "  defects    flat field: pixels standing out from the median of the eight pixels two\n"
       "             steps around them by more than 6 x noise (at least 4 levels), and 3 x 3\n"
       "             groups whose mean stands out by 6 x its own noise (2.4 x noise, at least 4\n"
       "             levels): hot, dead or stuck. defect_cluster: pixels in the largest group of\n"
       "             touching defects. Best on NV12 frames, which JPEG has not smeared.\n"
       "  mtf50      cycles per pixel at which a slanted edge's contrast falls to half: the\n"
       "             lowest of the edges found (dark squares tilted 2-20 degrees) in the centre\n"
       "             and corners, or of the one edge in --roi X,Y,W,H; mtf50_centre, mtf50_tl,\n"
       "             mtf50_tr, mtf50_bl, mtf50_br one region's (e.g. mtf50>=0.25).\n"
       "Shading, defects and MTF50 are measured only when a check or --json asks for them.",
       true},
      {"read-stored", {{{A{"[INDEX]"}}, false}}, {}, 0, 1, "fetch a picture the camera stored after a detection",
       "Fetch picture INDEX (1..255, default 1) that the camera stored after a detection,\n"
       "and save it like a capture."},
      {"reset", {{{}, false}}, {}, 0, 0, "", "Reset the camera and wait for \"Init end\"."},
      {"image-size", {{{A{"WxH", S("", "image_size")}}, false}}, {}, 1, 1,
       "one of the {image_size:count} sizes, x or X",
       "Set the image size: {image_size:list}\n(x or X). The camera resets afterwards."},
      {"compression", {{{A{"0xNN"}}, false}}, {}, 1, 1, "{compression}", "Set the JPEG compression, {compression}."},
      {"default-baud", {{{A{"N", S("", "default_rate")}}, true}}, {Flag("yes")}, 1, 1,
       "rates above 115200 need --yes (the window's warning)",
       "Set the rate the camera starts with: {default_rate:list}. Rates above 115200 need --yes: RS485 lines are "
       "limited to 115200\nand RS232 lines to 230400. Reopen the port at the new rate afterwards."},
      {"profile", {{{A{"save|apply|diff"}, A{"FILE"}}, true}}, {Flag("yes")}, 2, 2,
       "the camera's settings as a JSON profile",
       "save: write the settings the camera reports, with its model, to FILE (a JSON profile,\n"
       "see PROFILES.md). apply: check the whole profile against the camera's model (nothing\n"
       "is written when it refuses), write every setting (the default rate last), read back\n"
       "what the camera reports and list each difference. diff: compare without writing.\n"
       "A default_rate above 115200 needs --yes. Exit 1 on a difference or a setting the\n"
       "camera's model cannot take, 2 for a file that is not a valid profile, 6 when the\n"
       "camera reports none of the settings to save or compare (nothing saved or compared)."},
      {"temp-baud", {{{A{"N", S("", "temp_rate")}}, false}}, {}, 1, 1, "",
       "Switch the camera to rate N ({temp_rate:list}) until it restarts."},
      {"power-save", {{{A{"on|off"}}, false}}, {}, 1, 1, "", "Enter or leave power saving."},
      {"fill-light", {{{A{"LEVEL"}}, false}}, {}, 1, 1, "{fill_light}",
       "Set the fill light, 0 (off) ..{fill_light:max}."},
      {"image-type", {{{A{"jpeg|yuv"}}, false}}, {}, 1, 1, "", "Set what the camera sends: JPEG or NV12 frames."},
      {"detection", {{{A{"on|off"}}, false}}, {}, 1, 1, "", "Switch detection on or off."},
      {"osd", {{{A{"LINE", nullptr, "1|2|3|4"}, A{"TEXT"}}, true}},
       {Row("osd", "display"), Row("osd", "font"), Row("osd", "x", "N"), Row("osd", "y", "N"),
        Row("osd", "color", "HHHH"), Row("osd", "back", "HHHH")},
       2, 2, "LINE is 1..4; defaults as the OSD dialog's",
       "Set on-screen text line LINE (1..4). TEXT is at most {osd.text:max} bytes in GB18030 (a Chinese\n"
       "character counts 2). x {osd.x} and y {osd.y} must be even. Colours are 15-bit values\n"
       "in hexadecimal (red bits 10-14, green 5-9, blue 0-4). Defaults: display {osd.display:default}, font "
       "{osd.font:default},\nx {osd.x:default}, y {osd.y:default}, colour {osd.color:default}, background "
       "{osd.back:default}."},
      {"image-params",
       {{{A{"read"}, A{"[day|night]"}}, false}, {{A{"reset"}, A{"[day|night]"}}, false},
        {{A{"set"}, A{"day|night"}}, true}},
       {Row("image", "brightness", "N"), Row("image", "contrast", "N"), Row("image", "sharpness", "N"),
        Row("image", "saturation", "N"), Row("image", "hue", "N"), Row("image", "awb", "auto|N"),
        Row("image", "exposure", "N"), Row("image", "hlc", "N")},
       1, 2, "",
       "Read, reset to the camera's defaults, or set the image tuning of the day or night set\n"
       "(read and reset do both when neither is named). Values are {image.brightness}, --hlc {image.hlc};\n"
       "--awb N is a manual white balance the camera accepts in {image.awb}. Fields not given\n"
       "take the defaults: {image.brightness:default} for the first five, awb auto, exposure "
       "{image.exposure:default}, hlc {image.hlc:default}."},
      {"crop", {{{A{"read"}}, false}, {{A{"set"}}, true}},
       {Row("crop", "enable", nullptr, true), Row("crop", "x", "N", true), Row("crop", "y", "N", true),
        Row("crop", "width", "N", true), Row("crop", "height", "N", true)},
       1, 1, "",
       "Read or write the crop window. x must be a multiple of {crop.x:step} ({crop.x}) and y even\n"
       "({crop.y}); width {crop.width} and height {crop.height} must be multiples of {crop.width:step}; the "
       "camera\njudges whether the window fits the current picture.",
       false, true},
      {"motion-capture", {{{}, true}},
       {Row("motion_capture", "photos", "N", true), Row("motion_capture", "interval", "MS", true),
        Row("motion_capture", "next", "S", true)},
       0, 0, "",
       "Pictures per motion detection ({motion_capture.photos}), milliseconds between them "
       "({motion_capture.interval}) and\nseconds before the next detection ({motion_capture.next})."},
      {"detection-settings", {{{A{"read"}}, false}, {{A{"set"}}, true}},
       {Row("detection", "power_on"), Row("detection", "type"), Row("detection", "sensitivity"),
        Row("detection", "mode"), Row("detection", "threshold"), Row("detection", "distance"),
        Row("detection", "target"), Row("detection", "photos", "N"), Row("detection", "interval", "MS"),
        Row("detection", "next", "S")},
       1, 1, "",
       "Read or write the intelligent detection settings. Fields not given take the defaults:\n"
       "power-on {detection.power_on:default}, type {detection.type:default}, sensitivity "
       "{detection.sensitivity:default}, mode {detection.mode:default}, threshold "
       "{detection.threshold:default}, distance {detection.distance:default}, target "
       "{detection.target:default},\nphotos {detection.photos:default} ({detection.photos}), interval "
       "{detection.interval:default} ({detection.interval}), next {detection.next:default} "
       "({detection.next})."},
      {"burst", {{{}, true}},
       {Row("burst", "photos", "N", true), Row("burst", "interval", "MS", true), Flag("read")}, 0, 0,
       "multiple capture; with --read fetch pictures 1..N",
       "Take a burst of N ({burst.photos}) pictures MS ({burst.interval}) apart; with --read fetch pictures "
       "1..N\nand save them like captures."},
      {"power-on-capture", {{{}, true}},
       {Row("power_on_capture", "photos", "N", true), Row("power_on_capture", "interval", "MS", true)}, 0, 0,
       "",
       "Pictures the camera takes by itself at power-on ({power_on_capture.photos}, 0 = off), MS "
       "({power_on_capture.interval}) apart.\nWorks from the next restart."},
      {"monitor", {{{}, true}}, {Flag("fetch"), Opt("for", "S")}, 0, 0,
       "print unsolicited reports (motion, person/vehicle, auto\n"
       "capture, power-on banner) as they come; with --fetch read\nthe stored pictures",
       "Print unsolicited reports (motion, person/vehicle, automatic capture, power-on banner)\n"
       "as they come, for S seconds or until interrupted. With --fetch read and save the\n"
       "pictures the camera stored."},
      {"sniff", {{{}, true}}, {Opt("link", "PATH")}, 0, 0,
       "pass another program's traffic to the camera through a\npseudo-terminal, printing it decoded",
       "Open the camera's port (--port, at --baud) and a pseudo-terminal for another program,\n"
       "reached through the link PATH (default /tmp/brevant-sniff). Every byte passes both ways\n"
       "unchanged while the trace is printed decoded on stderr as with --decode (--trace alone:\n"
       "plain hex); the rate the program sets on the pseudo-terminal is given to the camera's\n"
       "port. --pcapng FILE writes the traffic as a Wireshark capture as it goes. The first line\n"
       "on stdout names the link once it is ready. Ends on Ctrl+C (status 0; the link is\n"
       "removed) or when the port fails (status 3)."},
      {"station", {{{A{"PLAN"}}, true}},
       {{"ports", 0, true, nullptr, "LIST", true}, Opt("junit", "FILE"), Opt("jsonl", "FILE"),
        Opt("csv", "FILE"), Opt("db", "TARGET"), Opt("unit", "PORT=SERIAL,..."),
        Opt("events", "FILE"), Flag("wait-for-start")},
       1, 1, "run a plan on many cameras at once; needs no --port",
       "Run the steps of the plan file PLAN (TOML: find, version, profile, serial, capture,\n"
       "read-stored, reset) on every camera of LIST at once, one engine per port. LIST is\n"
       "comma-separated: COMn, COMn=DEVICE, device or by-id paths, or a glob such as\n"
       "'/dev/serial/by-id/*', or rfc2217://HOST:PORT and socket://HOST:PORT. Each camera's\n"
       "pictures go to a folder of its own in the output folder. Reports: --junit (JUnit\n"
       "XML), --jsonl (JSON lines), --csv (and its measurements, one a row, in\n"
       "FILE-measurements.csv); every run is kept\n"
       "in the results database TARGET, an SQLite file (default station.sqlite in the\n"
       "output folder) or a PostgreSQL connection string, checked before any port is\n"
       "opened. Each camera tests a unit: --unit names the unit on a port (the serial number\n"
       "on its label); the others get the next numbers of the plan's counter in the store.\n"
       "Exit status 0 when every camera passed, 1 when one failed, 2 for a bad plan\n"
       "or port list (nothing opened), 3 when the results store cannot take the run or a\n"
       "report or the store could not be written, 130 when interrupted (the reports then\n"
       "hold what ran); a second interrupt ends it at once. --events FILE (- for stdout)\n"
       "writes what happens as JSON lines, for a program that drives the station; a prompt\n"
       "step is then answered on stdin. --wait-for-start loads the program, then waits for a\n"
       "JSON line on stdin whose \"start\" is true (its \"unit\", if any, taken as --unit)\n"
       "before reading anything, so a program starts the run the moment an operator asks;\n"
       "stdin closing first ends it with status 0, nothing run. Needs no --port.",
       true},
      {"report", {{{}, true}},
       {{"db", 0, true, nullptr, "TARGET", true}, Opt("plan", "NAME"), Opt("since", "DATE"),
        Opt("html", "FILE")},
       0, 0, "the yield report of a station results store; needs no --port",
       "Read the station results store TARGET (an SQLite file or a PostgreSQL connection\n"
       "string) and report per plan: units tested, first-pass yield (the unit's first test\n"
       "passed), final yield (its last test passed), retests, failures by step and by\n"
       "measurement (most first), and per measurement the mean, standard deviation, Cpk\n"
       "against its limits and the count outside the marginal band. --plan keeps one plan,\n"
       "--since the tests from DATE on (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, UTC). --json\n"
       "prints the same as one JSON object; --html writes it as one self-contained page\n"
       "with a histogram per measurement and the yield per hour. Interrupted tests are left\n"
       "out. Exit status 0, 2 for a bad option, 3 when the store cannot be read. Needs no\n"
       "--port."},
  };
  return commands;
}

const CliCommand* FindCliCommand(const std::string& name) {
  for (const CliCommand& command : CliCommands())
    if (name == command.name) return &command;
  return nullptr;
}

const std::vector<CliGlobalOption>& CliGlobalOptions() {
  static const std::vector<CliGlobalOption> options = {
      {{"port", 'p', true, nullptr, "DEV|COMn"},
       "serial device path, or a COM number mapped as in the window\n"
       "(required); COMn=DEV gives the number to a device first;\n"
       "rfc2217://HOST:PORT or socket://HOST:PORT is a port server's port"},
      {{"baud", 'b', true, nullptr, "N|auto"},
       "line speed (default 38400); auto finds the rate the camera\nanswers at on the given port first"},
      {{"serial", 's', true, S("", "serial"), "N"},
       "camera serial number byte {serial} (default {serial:default})"},
      {{"timeout", 't', true, nullptr, "MS"},
       "give up when an awaited reply has not come (default 5000);\n"
       "a transfer that keeps moving is not cut short, one that\n"
       "receives nothing for this long is abandoned (status 4)"},
      {{"out", 'o', true, nullptr, "DIR"}, "folder for temporary and saved pictures (default: current folder)"},
      {Flag("trace"), "write the traffic trace (\"TX :\" / \"Rx :\" lines) to stderr"},
      {{"decode", 0, false, nullptr, "full,deltas"},
       "the trace frame by frame, each frame named and its fields\ndecoded beside it (implies --trace); a picture block shows\n"
       "its first and last 16 bytes unless =full; =deltas puts the\n"
       "time since the previous frame and since the request first"},
      {{"pcapng", 0, true, nullptr, "FILE"},
       "write the traffic to FILE as a pcapng capture as it goes, one\n"
       "packet per frame, for Wireshark or tshark (see README)"},
      {Flag("json"), "one JSON object per result on stdout instead of text"},
      {Flag("progress"),
       "show a progress line per picture (bytes, per cent, rate, time\nleft) even when stderr is not a terminal"},
      {Flag("no-progress"),
       "never show it; by default it is shown when stderr is a\nterminal, and never with --json or --trace"},
      {{"help", 'h', false, nullptr, nullptr}, "this text; every command also takes --help"},
      {Flag("version"), "the program's version"},
  };
  return options;
}

std::vector<std::string> SynopsisLines(const CliCommand& command) {
  std::vector<std::string> lines;
  for (const CliForm& form : command.forms) {
    std::vector<std::string> tokens = {command.name};
    for (std::string& token : FormTokens(command, form, false)) tokens.push_back(std::move(token));
    for (std::string& line : Wrap(tokens, ContinuationIndent(command))) lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> OptionValueWords(const CliOption& option) {
  if (!option.takesValue) return {};
  if (option.metavar) return LiteralWords(option.metavar);
  const SettingRow& row = *option.row;
  switch (row.kind) {
    case SettingKind::Flag: return {"0", "1"};
    case SettingKind::Choice: return ChoiceNames(row);
    case SettingKind::List: return ListItems(row);
    default: {
      std::vector<std::string> words;
      for (long long v = row.min; v <= row.max && words.size() <= 16; v += row.step) words.push_back(std::to_string(v));
      return words.size() > 16 ? std::vector<std::string>{} : words;
    }
  }
}

std::vector<std::string> ArgumentWords(const CliCommand& command, size_t position) {
  std::vector<std::string> words;
  for (const CliForm& form : command.forms) {
    if (position == 0 || position > form.arguments.size()) continue;
    const CliArgument& argument = form.arguments[position - 1];
    const std::vector<std::string> more = argument.row      ? ListItems(*argument.row)
                                          : argument.values ? LiteralWords(argument.values)
                                                            : LiteralWords(argument.text);
    for (const std::string& word : more)
      if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
  }
  return words;
}

std::string GeneralUsage() {
  std::string text =
      "Usage: brevant-cli [options] COMMAND [ARGS]\n"
      "Drive a serial JPEG camera module from scripts, with the same engine as the window.\n\n"
      "Options:\n";
  for (const CliGlobalOption& global : CliGlobalOptions()) {
    const CliOption& o = global.option;
    std::string left = std::string("  ") + (o.shortName ? std::string("-") + o.shortName + "," : "   ") + " --" + o.name;
    if (o.takesValue) left += std::string(" ") + o.metavar;
    else if (o.metavar) left += std::string("[=") + o.metavar + "]";
    left.resize(std::max(left.size() + 1, kOptionHelpColumn), ' ');
    const std::string help = Indented(ExpandSettings(global.help), std::string(kOptionHelpColumn, ' '));
    text += left + help.substr(kOptionHelpColumn);
  }
  text += "\nCommands:\n";
  for (const CliCommand& command : CliCommands()) {
    std::vector<std::string> tokens = {command.name};
    for (const CliForm& form : command.forms) {
      if (&form != &command.forms.front()) {
        tokens.push_back("|");
        if (command.repeatName) tokens.push_back(command.name);
      }
      for (std::string& token : FormTokens(command, form, true)) tokens.push_back(std::move(token));
    }
    // The overview's continuation lines line up with the help's, margin included.
    const std::vector<std::string> lines = Wrap(tokens, kSynopsisIndentMax - 2);
    const std::string summary = ExpandSettings(command.summary);
    const bool oneLine = lines.size() == 1 && summary.find('\n') == std::string::npos;
    const std::string column(kSummaryColumn, ' ');
    for (size_t i = 0; i + 1 < lines.size(); ++i) text += "  " + lines[i] + "\n";
    const std::string& last = lines.back();
    if (summary.empty()) {
      text += "  " + last + "\n";
    } else if (lines.size() == 1 && 2 + last.size() + 2 <= kSummaryColumn) {
      std::string head = "  " + last;
      head.resize(kSummaryColumn, ' ');
      text += head + Indented(summary, column).substr(kSummaryColumn);
    } else if (oneLine && 2 + last.size() + 2 + summary.size() <= kSummaryBesideWidth) {
      text += "  " + last + "  " + summary + "\n";
    } else {
      text += "  " + last + "\n" + Indented(summary, column);
    }
  }
  text +=
      "\n'brevant-cli COMMAND --help' shows the details of one command.\n\n"
      "Exit status: 0 success, 1 the camera reported a failure (also a picture length no\n"
      "picture of the camera can have, damaged on the line), 2 usage error or bad value\n"
      "(nothing is sent), 3 the port cannot be opened or the line failed, 4 an awaited reply\n"
      "did not come within the timeout (find, --baud auto: no camera answered anywhere), 5 a\n"
      "picture failed a --check, 6 profile save or diff: the camera reports none of the\n"
      "settings asked for.\n";
  return text;
}

std::string CommandUsage(const std::string& name) {
  const CliCommand* command = FindCliCommand(name);
  if (!command) return "";
  std::string out;
  bool first = true;
  for (const std::string& line : SynopsisLines(*command)) {
    if (line[0] == ' ') {
      out += "                " + line + "\n";  // continuation of a long synopsis
    } else {
      out += std::string(first ? "Usage: " : "   or: ") + "brevant-cli [options] " + line + "\n";
      first = false;
    }
  }
  return out + Indented(ExpandSettings(command->description), "  ");
}

std::string CompletionScript() {
  const auto quoted = [](const std::vector<std::string>& words) { return "\"" + Join(words, " ") + "\""; };
  std::string commands, globals, fileCommands, options, values, arguments, globalValues;
  std::vector<std::string> freeGlobals, flagGlobals;
  for (const CliGlobalOption& global : CliGlobalOptions()) {
    const CliOption& o = global.option;
    const std::string names = (o.shortName ? std::string("-") + o.shortName + "|" : "") + "--" + o.name;
    globals += (globals.empty() ? "--" : " --") + std::string(o.name);
    if (!o.takesValue) {
      flagGlobals.push_back(names);
    } else if (o.name == std::string("baud")) {
      // Every listed rate, or a search for it.
      std::vector<std::string> rates = {"auto"};
      rates.insert(rates.end(), RateItems().begin(), RateItems().end());
      globalValues += "    " + names + ") echo " + quoted(rates) + "; return ;;\n";
    } else {
      freeGlobals.push_back(names);
    }
  }
  globalValues += "    " + Join(freeGlobals, "|") + ") echo \"\"; return ;;\n";
  globalValues += "    " + Join(flagGlobals, "|") + ") echo \"-\"; return ;;\n";
  for (const CliCommand& command : CliCommands()) {
    const std::string name = command.name;
    commands += (commands.empty() ? "" : " ") + name;
    if (command.fileArguments)
      fileCommands += std::string(fileCommands.empty() ? "" : " || ") + "$command == " + name;
    std::vector<std::string> names;
    for (const CliOption& o : command.options) {
      if (o.shortName) names.push_back(std::string("-") + o.shortName);
      names.push_back(std::string("--") + o.name);
      const std::vector<std::string> words = OptionValueWords(o);
      if (!o.takesValue) values += "    " + name + ":--" + o.name + ") echo \"-\" ;;\n";
      else if (!words.empty()) values += "    " + name + ":--" + o.name + ") echo " + quoted(words) + " ;;\n";
    }
    if (!names.empty()) options += "    " + name + ") echo " + quoted(names) + " ;;\n";
    for (size_t position = 1; position <= command.maxArgs && !command.fileArguments; ++position) {
      const std::vector<std::string> words = ArgumentWords(command, position);
      if (!words.empty())
        arguments += "    " + name + ":" + std::to_string(position) + ") echo " + quoted(words) + " ;;\n";
    }
  }
  return std::string(kCompletionHead) + "\n# Options of each command (the global ones are accepted everywhere).\n"
         "_brevant_cli_options() {\n  case $1 in\n" + options + "  esac\n}\n\n"
         "# Values of an option: the fixed list, \"\" for a free value (number, text), or \"-\" when the\n"
         "# option takes none.\n_brevant_cli_option_values() {\n  local command=$1 option=$2\n  case $option in\n" +
         globalValues + "  esac\n  case $command:$option in\n" + values + "    *) echo \"\" ;;\n  esac\n}\n\n"
         "# Values of the positional arguments: command, argument position (1-based).\n"
         "_brevant_cli_arguments() {\n  case $1:$2 in\n" + arguments + "  esac\n}\n\n"
         "_brevant_cli() {\n  local cur=${COMP_WORDS[COMP_CWORD]} option=\"\"\n  local commands=\"" + commands +
         "\"\n  local globals=\"" + globals + "\"\n" + kCompletionWalk1 + fileCommands + kCompletionWalk2;
}

}  // namespace cli
