// The cause a window names when a port will not open, from what the system shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "serial/OpenDiagnosis.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

TEST(OpenDiagnosis, EachCauseIsNamedWithItsFix) {
  const std::string dev = "/dev/ttyUSB0";
  OpenFacts gone;
  gone.exists = false;
  OpenFacts group;
  group.accessible = false;
  group.group = "dialout";
  group.sessionGroups = {"alice", "plugdev"};
  OpenFacts stale = group;
  stale.inGroupDatabase = true;
  OpenFacts modem;
  modem.holders = {{812, "ModemManager"}};
  OpenFacts other;
  other.holders = {{4242, "minicom"}};
  OpenFacts modemRuns;
  modemRuns.modemManagerRunning = true;
  OpenFacts ourOwn = modemRuns;
  ourOwn.heldBySelf = true;
  struct Case {
    const char* name;
    OpenFacts facts;
    std::vector<std::string> says;  // empty: nothing to explain
  } cases[] = {
      {"gone", gone, {"/dev/ttyUSB0 is gone", "Plug it in again"}},
      {"group", group, {"group dialout", "groups are alice, plugdev", "usermod -aG dialout"}},
      {"group, not yet in this session", stale, {"group dialout", "log out and in again"}},
      {"ModemManager holds it", modem, {"ModemManager is holding /dev/ttyUSB0"}},
      {"another program", other, {"in use by minicom (process 4242)"}},
      {"ModemManager runs", modemRuns, {"ModemManager is running"}},
      {"this process holds it", ourOwn, {}},
      {"nothing seen", OpenFacts{}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = ExplainOpenFailure(dev, c.facts);
    EXPECT_EQ(text.empty(), c.says.empty()) << text;
    for (const std::string& part : c.says) EXPECT_NE(text.find(part), std::string::npos) << text;
  }
}

// Holders are found through /proc/PID/fd links, whichever name of the device they used.
TEST(OpenDiagnosis, HoldersAreFoundInProc) {
  testsupport::TempFolder root("brevant-proc");
  const fs::path proc = fs::path(root.Path()) / "proc";
  const fs::path device = fs::path(root.Path()) / "ttyUSB0";
  std::ofstream(device).put('\n');
  auto process = [&](const std::string& pid, const std::string& comm, const fs::path& target) {
    fs::create_directories(proc / pid / "fd");
    std::ofstream(proc / pid / "comm") << comm << "\n";
    fs::create_symlink("/dev/null", proc / pid / "fd" / "0");
    fs::create_symlink(target, proc / pid / "fd" / "5");
  };
  process("812", "ModemManager", device);
  process("900", "bash", "/dev/pts/3");
  process(std::to_string(getpid()), "brevant", device);
  const OpenFacts facts = GatherOpenFacts(device.string(), proc.string());
  EXPECT_TRUE(facts.exists);
  EXPECT_TRUE(facts.modemManagerRunning);
  EXPECT_TRUE(facts.heldBySelf);
  ASSERT_EQ(facts.holders.size(), 1u);
  EXPECT_EQ(facts.holders[0].pid, 812);
  EXPECT_EQ(facts.holders[0].name, "ModemManager");
  EXPECT_FALSE(GatherOpenFacts((fs::path(root.Path()) / "ttyUSB9").string(), proc.string()).exists);
}

}  // namespace
