// Rules about the sources themselves that a review would otherwise have to catch:
// the command line holds no copy of an engine log text, and includes point down the layers.
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

// Lowest first. A file may include its own layer or a lower one: an include going up ties
// the engine to a window, or the window-free core to widgets.
int LayerOf(const std::string& path) {
  static const std::pair<const char*, int> kLayers[] = {
      {"imaging/ImageStatic", 5}, {"common/", 0}, {"serial/", 1},   {"imaging/", 2},
      {"protocol/", 3},           {"app/core/", 4}, {"controls/", 5}, {"dialogs/", 6},
      {"app/", 7},
  };
  for (const auto& [prefix, layer] : kLayers)
    if (path.rfind(prefix, 0) == 0) return layer;
  return -1;
}

TEST(Sources, IncludesNeverGoUpALayer) {
  const std::regex include(R"re(#include "([^"]+)")re");
  size_t checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kSourceRoot / "src")) {
    if (!entry.is_regular_file()) continue;
    const std::string file = fs::relative(entry.path(), kSourceRoot / "src").generic_string();
    const int own = LayerOf(file);
    if (own < 0) continue;
    const std::string source = ReadAll(entry.path());
    for (std::sregex_iterator it(source.begin(), source.end(), include), end; it != end; ++it) {
      const int target = LayerOf((*it)[1].str());
      ++checked;
      EXPECT_LE(target, own) << file << " includes " << (*it)[1].str();
    }
  }
  EXPECT_GT(checked, 100u);
}

}  // namespace
