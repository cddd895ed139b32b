// The manual page and the bash completion name every command and option the parser knows,
// so neither can fall behind a new option; the generated completion completes as a user types.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "CliOptions.h"
#include "test_support.h"

using testsupport::ReadText;

using namespace cli;

namespace {

// Plain text of a roff page: font changes dropped, "\-" back to "-".
std::string Deroff(const std::string& page) {
  return std::regex_replace(std::regex_replace(page, std::regex(R"(\\f[BIRP])"), ""),
                            std::regex(R"(\\-)"), "-");
}

bool HasWord(const std::string& text, const std::string& word) {
  return std::regex_search(text, std::regex("(^|[^a-z-])" + word + "($|[^a-z-])"));
}

const char* const kCompletion = BREVANT_BINARY_DIR "/completion/brevant-cli";

// What bash offers for the words typed so far (the last one is the word being completed).
std::string Complete(const std::string& line) {
  const std::string script = std::string("source ") + kCompletion + "; COMP_WORDS=(brevant-cli " + line +
                             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _brevant_cli; echo \"${COMPREPLY[*]}\"";
  const std::string command = "bash -c '" + script + "' 2>/dev/null";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

TEST(CliDocs, GeneratedCompletionOffersTheTablesWords) {
  const struct {
    const char* line;
    const char* expected;
  } cases[] = {
      {"-p /dev/ttyUSB0 cap", "capture"},
      {"capture --tr", "--trace --transmit"},
      {"capture --transmit 20", "2048"},
      {"capture --type \"\"", "jpeg yuv"},
      {"--json image-size 19", "1920X1080"},
      {"temp-baud 2", ""},  // 230400 is a default rate only
      {"default-baud 2", "230400"},
      {"--baud 9", "9600 921600"},
      {"image-params set \"\"", "day night"},
      {"image-params \"\"", "read reset set"},
      {"crop set --enable \"\"", "0 1"},
      {"detection-settings set --type \"\"", "motion person vehicle"},
      {"detection-settings set --threshold \"\"", "1 2 3 4"},
      {"burst --read --ph", "--photos"},  // --read takes no value: the walk goes on
      {"osd \"\"", "1 2 3 4"},
      {"profile \"\"", "save apply diff"},
      {"monitor --f", "--fetch --for"},
  };
  ASSERT_FALSE(ReadText(kCompletion).empty()) << kCompletion;
  for (const auto& c : cases) EXPECT_EQ(Complete(c.line), c.expected) << c.line;
}

TEST(CliDocs, HelpManualAndCompletionNameEveryCommandAndOption) {
  const std::string manual = Deroff(ReadText(BREVANT_BINARY_DIR "/man/brevant-cli.1"));
  const std::string completion = ReadText(kCompletion);
  ASSERT_FALSE(completion.empty());
  if (manual.empty()) GTEST_SKIP() << "no manual page built: help2man is missing (scripts/install-deps.sh)";

  for (const std::string& option : OptionNames("")) {
    EXPECT_TRUE(HasWord(GeneralUsage(), option)) << "--help lacks " << option;
    EXPECT_TRUE(HasWord(manual, option)) << "manual lacks " << option;
    EXPECT_TRUE(HasWord(completion, option)) << "completion lacks " << option;
  }
  for (const std::string& command : CommandNames()) {
    EXPECT_TRUE(HasWord(GeneralUsage(), command)) << "--help lacks " << command;
    EXPECT_TRUE(HasWord(manual, command)) << "manual lacks " << command;
    EXPECT_NE(manual.find(".SS " + command + "\n"), std::string::npos) << command << " has no section";
    EXPECT_TRUE(HasWord(completion, command)) << "completion lacks " << command;
    // The completion's list of this command's options: `    name) echo "..." ;;`.
    std::smatch listed;
    std::regex_search(completion, listed, std::regex("\n    " + command + R"re(\) echo "([^"]*)")re"));
    const std::string options = listed.empty() ? "" : listed[1].str();
    for (const std::string& option : OptionNames(command)) {
      EXPECT_TRUE(HasWord(CommandUsage(command), option)) << command << " --help lacks " << option;
      EXPECT_TRUE(HasWord(manual, option)) << "manual lacks " << command << " " << option;
      EXPECT_TRUE(HasWord(options, option)) << "completion lacks " << command << " " << option;
    }
  }
}
