// The settings table is the one description of every setting: the command line and the
// profile reader must take and refuse exactly the same values, in the table's words.
#include <gtest/gtest.h>

#include <cstdio>

#include "CliOptions.h"
#include "core/Profile.h"
#include "core/SettingsTable.h"
#include "settings_walk.h"

namespace {

struct Surface {
  const char* section;
  std::vector<std::string> command;  // the CLI's words before the options
  const char* profileKey;            // the section's key in a profile; nullptr: CLI only
};

const std::vector<Surface> kSurfaces = {
    {"osd", {"osd", "1", "AB"}, "osd"},
    {"image", {"image-params", "set", "day"}, "image_day"},
    {"crop", {"crop", "set"}, "crop"},
    {"detection", {"detection-settings", "set"}, "detection"},
    {"motion_capture", {"motion-capture"}, "motion_capture"},
    {"power_on_capture", {"power-on-capture"}, "power_on_capture"},
    {"burst", {"burst"}, nullptr},
};

std::string Text(const SettingRow& row, long long value) {
  if (!row.hex) return std::to_string(value);
  char text[16];
  std::snprintf(text, sizeof text, "0x%02llX", value);
  return text;
}

// A value every front end takes: the default where the table gives a usable one.
long long Valid(const SettingRow& row) { return RefuseValue(row, row.fallback) ? row.min : row.fallback; }

std::string JsonValue(const SettingRow& row, long long value) {
  switch (row.kind) {
    case SettingKind::Flag: return value ? "true" : "false";
    case SettingKind::Choice: return "\"" + std::string(row.choices).substr(0, std::string(row.choices).find('|')) + "\"";
    case SettingKind::Hex16: return "\"007C\"";
    case SettingKind::Text: return "\"AB\"";
    default: return row.hex ? "\"" + Text(row, value) + "\"" : std::to_string(value);
  }
}

// The command line and the profile that carry `value` in `probe`, every other field valid.
void Build(const SettingRow& probe, long long value, std::vector<std::string>& args, std::string& profile) {
  args = {"-p", "/dev/null"};
  profile = "{\"format\": 1, ";
  const std::string section = probe.section;
  if (section.empty()) {
    args.push_back(probe.field == std::string("fill_light") ? "fill-light" : probe.field);
    args.push_back(Text(probe, value));
    profile += "\"" + std::string(probe.field) + "\": " + JsonValue(probe, value) + "}";
    return;
  }
  const Surface* surface = nullptr;
  for (const Surface& s : kSurfaces)
    if (section == s.section) surface = &s;
  EXPECT_NE(surface, nullptr) << section;
  if (!surface) return;
  args.insert(args.end(), surface->command.begin(), surface->command.end());
  std::string fields;
  for (const SettingRow& row : SettingRows()) {
    if (section != row.section) continue;
    const long long v = &row == &probe ? value : Valid(row);
    if (row.kind == SettingKind::Number || row.kind == SettingKind::Flag) {
      args.push_back(row.option);
      args.push_back(Text(row, v));
    }
    fields += std::string(fields.empty() ? "" : ", ") + "\"" + row.field + "\": " + JsonValue(row, v);
  }
  if (!surface->profileKey) {
    profile.clear();
    return;
  }
  const std::string body = "{" + fields + "}";
  profile += "\"" + std::string(surface->profileKey) + "\": " +
             (section == "osd" ? "{\"1\": " + body + "}" : body) + "}";
}

std::string Unquoted(std::string text) {
  std::erase(text, '"');
  return text;
}

}  // namespace

TEST(SettingsTable, CommandLineAndProfileAgreeOnEveryNumericBoundary) {
  size_t walked = 0;
  for (const SettingRow& row : SettingRows()) {
    if (row.kind != SettingKind::Number || row.field == std::string("serial")) continue;
    for (long long value : BoundaryProbes(row)) {
      const std::string name = std::string(row.section) + "." + row.field + " = " + std::to_string(value);
      std::vector<std::string> args;
      std::string profileText;
      Build(row, value, args, profileText);
      const std::optional<std::string> why = RefuseValue(row, value);
      const cli::ParseResult cli = cli::ParseCommandLine(args);
      EXPECT_EQ(cli.kind, why ? cli::ParseResult::Error : cli::ParseResult::Run) << name << ": " << cli.text;
      // The alignment of x and y keeps the command line's own words; every other refusal
      // reads as the table says.
      const bool ownWords = why && value >= row.min && value <= row.max &&
                            (row.field == std::string("x") || row.field == std::string("y"));
      if (why && !ownWords) {
        EXPECT_NE(cli.text.find(*why), std::string::npos) << name << ": " << cli.text;
      }
      if (profileText.empty()) continue;
      ProfileError error;
      const std::optional<Profile> profile = ParseProfile(profileText, error);
      EXPECT_EQ(profile.has_value(), !why) << name << ": " << profileText << " -> " << error.Text();
      if (why) {
        EXPECT_NE(Unquoted(error.Text()).find(*why), std::string::npos) << name << ": " << error.Text();
      }
      ++walked;
    }
  }
  EXPECT_GT(walked, 100u);  // every record's fields, not a table that lost its rows
}
