// The manual page and the bash completion name every command and option the parser knows,
// so neither can fall behind a new option.
#include <gtest/gtest.h>

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

}  // namespace

TEST(CliDocs, HelpManualAndCompletionNameEveryCommandAndOption) {
  const std::string manual = Deroff(ReadText(BREVANT_BINARY_DIR "/man/brevant-cli.1"));
  const std::string completion = ReadText(BREVANT_SOURCE_DIR "/packaging/completion/brevant-cli");
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
