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
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSourceRoot = BREVANT_SOURCE_DIR;

std::string ReadAll(const fs::path& path) { return testsupport::ReadText(path.string()); }

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

// The folders are the layers, lowest first. A file may include its own layer or a lower
// one: an include going up ties the engine to a window, or the window-free core to widgets.
constexpr int kTop = 100;
int LayerOf(const std::string& path) {
  static const std::pair<const char*, int> kLayers[] = {
      {"common/", 0}, {"serial/", 1},   {"imaging/", 2}, {"protocol/", 3},
      {"core/", 4},   {"session/", 5}, {"station/", 6}, {"controls/", 7}, {"dialogs/", 8},
      {"app/", 9},
  };
  for (const auto& [prefix, layer] : kLayers)
    if (path.rfind(prefix, 0) == 0) return layer;
  return -1;
}

// Where a file of the tree sits and what it may include: its layer (src), the layer the
// command line stands on, nothing but common/ for the virtual camera (a peer that shares
// the engine's tables would agree with the engine by construction), everything for the
// tests and benchmarks.
struct Room {
  int ceiling = -1;          // highest src layer it may include
  bool camsim = false;       // may include camsim/
  bool testSupport = false;  // may include tests/support
};

Room RoomOf(const std::string& file) {
  if (file.rfind("src/", 0) == 0) return {LayerOf(file.substr(4)), false, false};
  if (file.rfind("tools/camsim/", 0) == 0) return {0, true, false};
  if (file.rfind("tools/cli/", 0) == 0) return {6, false, false};
  if (file.rfind("tests/", 0) == 0 || file.rfind("bench/", 0) == 0) return {kTop, true, true};
  return {};
}

// One include of `file`: true when it names a file this room may use.
bool Placed(const fs::path& file, const std::string& target, const Room& room,
            std::string* why) {
  if (target.size() > 4 && target.compare(target.size() - 4, 4, ".moc") == 0) return true;
  const int layer = LayerOf(target);
  if (layer >= 0) {
    if (layer <= room.ceiling) return true;
    *why = "goes up a layer";
    return false;
  }
  if (target.rfind("camsim/", 0) == 0) {
    if (room.camsim) return true;
    *why = "reaches into the virtual camera";
    return false;
  }
  // Anything else is a file beside the includer, or, for the tests, their support and the
  // command line's own headers (both on their include path).
  const fs::path beside = fs::weakly_canonical(kSourceRoot / file.parent_path() / target);
  if (fs::exists(beside)) {
    const std::string rel = fs::relative(beside, kSourceRoot).generic_string();
    if (rel.rfind(file.parent_path().generic_string() + "/", 0) == 0) return true;
    if (rel.rfind("tests/support/", 0) == 0 && room.testSupport) return true;
  } else if (room.testSupport) {
    for (const char* dir : {"tests/support", "tools/cli"})
      if (fs::exists(kSourceRoot / dir / target)) return true;
  }
  *why = "names a file the layers cannot place";
  return false;
}

TEST(Sources, IncludesNeverGoUpALayer) {
  const std::regex include(R"re((?:^|\n)[ \t]*#include "([^"]+)")re");
  size_t checked = 0;
  for (const char* top : {"src", "tools", "tests", "bench"}) {
    for (const auto& entry : fs::recursive_directory_iterator(kSourceRoot / top)) {
      if (!entry.is_regular_file()) continue;
      const auto ext = entry.path().extension();
      if (ext != ".cpp" && ext != ".h") continue;
      const fs::path file = fs::relative(entry.path(), kSourceRoot);
      const Room room = RoomOf(file.generic_string());
      EXPECT_GE(room.ceiling, 0) << file << " is in no layer";
      const std::string source = ReadAll(entry.path());
      for (std::sregex_iterator it(source.begin(), source.end(), include), end; it != end;
           ++it) {
        std::string why;
        ++checked;
        EXPECT_TRUE(Placed(file, (*it)[1].str(), room, &why))
            << file.generic_string() << " includes " << (*it)[1].str() << ": " << why;
      }
    }
  }
  EXPECT_GT(checked, 400u);
}

}  // namespace
