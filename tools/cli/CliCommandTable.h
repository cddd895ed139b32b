#pragma once
// What brevant-cli accepts, declared once: every command with its forms, arguments, options
// and help, joined with the settings table for the camera's ranges, lists and defaults. The
// token walker, --help, every command's help and the bash completion are all read from here.
#include <string>
#include <vector>

#include "core/SettingsTable.h"

namespace cli {

struct CliOption {
  const char* name;       // long name, without "--"
  char shortName;         // 0: none
  bool takesValue;
  const SettingRow* row;  // the camera setting behind the value (range, list, default), or nullptr
  const char* metavar;    // the value in a synopsis; nullptr: the row's values ("0..4", "0|1")
                          // (a flag with one takes an optional "=VALUE": --decode=full)
  bool required = false;
  bool inOverview = true;  // shown in the general usage's synopsis
};

// A positional argument: its synopsis text ("[day|night]", "WxH", "N") and, where the words
// are not literal, the setting whose list gives them (image sizes, rates) or a fixed list.
struct CliArgument {
  const char* text;
  const SettingRow* row = nullptr;
  const char* values = nullptr;  // "1|2|3|4"
};

// One way of calling the command: "image-params set day|night [--brightness N] ...".
struct CliForm {
  std::vector<CliArgument> arguments;
  bool options;  // the command's options follow
};

struct CliCommand {
  const char* name;
  std::vector<CliForm> forms;
  std::vector<CliOption> options;
  size_t minArgs;
  size_t maxArgs;
  std::string summary;      // the general usage's line(s); {setting} placeholders expanded
  std::string description;  // the command's own help; {setting} placeholders expanded
  bool fileArguments = false;  // the arguments are file names (completion)
  bool repeatName = false;     // the general usage repeats the name before each form
};

struct CliGlobalOption {
  CliOption option;
  const char* help;  // lines of the general usage, {setting} placeholders expanded
};

// The commands in the order the general usage lists them.
const std::vector<CliCommand>& CliCommands();
const CliCommand* FindCliCommand(const std::string& name);
const std::vector<CliGlobalOption>& CliGlobalOptions();

// The command's synopsis lines, each form wrapped as the help shows it (continuation lines
// begin with blanks).
std::vector<std::string> SynopsisLines(const CliCommand& command);

// Completion words: an option's fixed values (empty: a free value), and the words of the
// command's positional argument `position` (1-based) across its forms.
std::vector<std::string> OptionValueWords(const CliOption& option);
std::vector<std::string> ArgumentWords(const CliCommand& command, size_t position);

// Help text with "{section.field}" (range), "{section.field:default|min|max|step|count|list}"
// replaced from the settings table; a field without a section is written "{field}".
std::string ExpandSettings(const std::string& text);

// The bash completion script for brevant-cli, made from the tables above.
std::string CompletionScript();

}  // namespace cli
