// The command line learns outcomes from the engine's typed results. If it held a copy of a
// log text, mending a typo in the engine's log would silently break scripts; so no source
// of the command line may contain one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "protocol/StatusMessages.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSourceRoot = fs::path(BREVANT_TEST_DATA_DIR).parent_path().parent_path();

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every text the engine can write to the activity log: the message table, and the
// literals its sources hand to LogInfo / LogError (or format for them).
std::set<std::string> EngineLogTexts() {
  std::set<std::string> texts;
  for (int i = 0; i < kStatusMessageCount; ++i) {
    texts.insert(g_statusMessages[i].english);
    texts.insert(g_statusMessages[i].chinese);
  }
  const std::regex literal(R"re(Log(?:Info|Error)\((?:StrFormat\()?"([^"]+)")re");
  for (const auto& entry : fs::directory_iterator(kSourceRoot / "src" / "protocol")) {
    const std::string source = ReadAll(entry.path());
    for (std::sregex_iterator it(source.begin(), source.end(), literal), end; it != end; ++it)
      texts.insert((*it)[1].str());
  }
  return texts;
}

TEST(CliSources, HoldNoCopyOfAnEngineLogText) {
  const auto texts = EngineLogTexts();
  ASSERT_GT(texts.size(), 70u);  // the scan found the engine's texts at all
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(kSourceRoot / "tools" / "cli")) {
    const std::string source = ReadAll(entry.path());
    ++files;
    for (const std::string& text : texts) {
      // Short fragments ("%s", "fail") say nothing about where a text came from.
      std::string probe = text.substr(0, text.find('%'));
      if (probe.size() < 8) continue;
      EXPECT_EQ(source.find(probe), std::string::npos)
          << entry.path().filename() << " contains the engine's log text \"" << probe << "\"";
    }
  }
  EXPECT_GT(files, 5u);
}

}  // namespace
