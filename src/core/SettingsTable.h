#pragma once
// One description of every setting the camera takes: one row per field of each record, with
// its key in profiles and plans, its command-line option, range or list, alignment, default,
// the models that have it and its help line. The command line's checks, the profile reader
// and the dialogs' ranges read their limits here, so a value is refused with the same words
// whichever front end it came through, before anything is sent.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/FeatureRecords.h"

enum class SettingKind {
  Number,  // a whole number within min..max, a multiple of step
  Flag,    // on/off (true/false in a profile, 0|1 or on|off on the command line)
  Choice,  // one of `choices`; the value is its position
  Hex16,   // a 15-bit colour written as 1 to 4 hexadecimal digits
  Text,    // at most max bytes once converted to the camera's code page
  List,    // one of a fixed list (image sizes, rates); the value is the list position + 1
};

struct SettingRow {
  const char* section;  // the record: "crop", "image" (image_day and image_night), "osd"
                        // (osd.1..osd.4), "" for a setting of its own
  const char* field;    // "width"; the profile key is section.field ("image_day.hue", "osd.2.x")
  const char* option;   // the command line's option or argument: "--width", "LEVEL", "0xNN"
  SettingKind kind;
  long long min;
  long long max;        // Text: the byte limit after conversion
  long long step;       // the value must be a multiple of it (1: any)
  long long fallback;   // taken when a front end is not given the field (the dialogs' own)
  bool hex;             // shown as 0xNN
  const char* choices;  // Choice: "motion|person|vehicle"
  // The window control whose gating (ModelIdentification, ControlStates) offers the
  // setting, and a further model rule of ModelIdentification (nullptr: none).
  int gate;
  bool (*modelRule)(const ModelInfo&);
  const char* help;
};

// Every row, records in the order profiles write them.
const std::vector<SettingRow>& SettingRows();
// The row of section.field; a name the table lacks is a programming error (aborts).
const SettingRow& Setting(std::string_view section, std::string_view field);

// "32..3840", "0x36..0x8F".
std::string RangeText(const SettingRow& row);
// Why value cannot go to the camera, in the words every front end shows after the field's
// name: "must be 32..3840", "must be a multiple of 4", "must be even". Empty when it can.
std::optional<std::string> RefuseValue(const SettingRow& row, long long value);
// A Text field's refusal of `bytes` bytes after conversion: "is 161 bytes for the camera, at
// most 160 (a Chinese character counts 2)". Empty when it fits.
std::optional<std::string> RefuseTextBytes(const SettingRow& row, size_t bytes);

// A Choice row's names in order ("motion", "person", "vehicle"); the position of `name`
// among them, or -1.
std::vector<std::string> ChoiceNames(const SettingRow& row);
int ChoiceIndex(const SettingRow& row, std::string_view name);
// The names as a sentence lists them: "motion, person or vehicle".
std::string ChoiceText(const SettingRow& row, const char* lastJoin = " or ");

// The lists behind the List rows, in list order (position + 1 is what the camera is sent).
const std::vector<std::string>& RateItems();       // 8 baud rates, "9600".."921600"
const std::vector<std::string>& ImageSizeItems();  // 14 sizes
// A default rate above this takes the line-type warning first: not every adapter reaches it.
inline constexpr unsigned kRateWarningAbove = 115200;
// The warning itself, the window's box and the CLI's refusal alike.
extern const char* const kRateWarningText;
// A plain decimal number (digits only, at most 10) within min..max.
std::optional<unsigned long> ParseDecimal(const std::string& text, unsigned long min,
                                          unsigned long max);
// "all", a block size of the "Transmit:" list, or the list's own "8196": the list's index 0..5.
std::optional<int> TransmitIndex(const std::string& text);
// How many of the rate list the temporary rate may use (the rest are default rates only).
int TemporaryRateCount();
// The rate list's position of baud (0-based), or -1.
int RatePosition(unsigned long baud);
// "WxH" in either case of x against the size list: the size index 1..14, or 0.
int ImageSizeIndex(const std::string& text);
