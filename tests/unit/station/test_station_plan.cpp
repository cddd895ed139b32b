// Station plans and port lists: everything wrong with either is refused, with the plan's
// line, before a port is opened.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "station/StationPlan.h"
#include "station/StationPorts.h"
#include "serial/PortMap.h"
#include "test_support.h"

using namespace station;

namespace {

struct PlanFolder {
  testsupport::TempFolder folder{"brevant-station"};
  std::string dir = folder.Path();
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string path = dir + "/" + name;
    testsupport::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  }
};

std::string Repeat(const std::string& text, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += text;
  return out;
}

}  // namespace

TEST(StationPlan, AFullPlanReadsEveryStep) {
  PlanFolder folder;
  folder.Write("line3.profile", "profile bytes");
  const std::string path = folder.Write("plan.toml", R"(# Linie 3 — Endprüfung
stop_at_first_failure = false
baud = 115200
serial = 7
[[step]]
kind = "find"
timeout_ms = 300
[[step]]
kind = "version"
expect = "QVX5M0 *"
[[step]]
kind = "serial"
line = 2
format = "SN{:06}-A"
start = 41
x = 16
[[step]]
kind = "capture"
checks = "sharpness>=40,luma=40..220"
transmit = "4096"
[[step]]
kind = "read-stored"
index = 3
[[step]]
kind = "reset"
)");
  StationPlan plan;
  std::string error;
  ASSERT_TRUE(ReadStationPlan(path, plan, error)) << error;
  EXPECT_FALSE(plan.stopAtFirstFailure);
  EXPECT_EQ(plan.baud, 115200u);
  EXPECT_EQ(plan.serial, 7);
  ASSERT_EQ(plan.steps.size(), 6u);
  EXPECT_EQ(plan.steps[0].timeoutMs, 300u);
  EXPECT_EQ(plan.steps[1].expect, "QVX5M0 *");
  EXPECT_EQ(plan.steps[2].osdLine, 1);
  EXPECT_EQ(plan.steps[2].x, 16u);
  EXPECT_EQ(SerialText(plan.steps[2], 0), "SN000041-A");
  EXPECT_EQ(SerialText(plan.steps[2], 2), "SN000043-A");
  EXPECT_EQ(plan.steps[3].checks.size(), 2u);
  EXPECT_EQ(plan.steps[3].transmit, 3);
  EXPECT_EQ(plan.steps[4].readIndex, 3);
  EXPECT_EQ(plan.steps[5].line, 24);  // its [[step]] header
  EXPECT_EQ(plan.hash.size(), 16u);

  // A format without a field is a prefix the number follows.
  StationStep prefix;
  prefix.format = "UNIT-";
  prefix.start = 9;
  EXPECT_EQ(SerialText(prefix, 1), "UNIT-10");
  EXPECT_EQ(Fnv1a64Hex(""), "cbf29ce484222325");
}

TEST(StationPlan, EveryFaultIsRefusedWithItsLine) {
  const std::string steps = Repeat("[[step]]\nkind = \"reset\"\n", kPlanMaxSteps + 1);
  const struct {
    std::string text;
    std::string error;  // after "PATH:"
  } cases[] = {
      {"[[step]]\nkind = \"version\"\nexpect = \"x\n", "3: "},  // TOML syntax
      {"bogus = 1\n[[step]]\nkind = \"reset\"\n", "1: unknown key 'bogus'"},
      {"[[step]]\nkind = \"reset\"\n\n[[step]]\nkind = \"capture\"\ncheck = \"x\"\n",
       "6: unknown key 'check' for a capture step"},
      {"[[step]]\nkind = \"version\"\nexpect = 5\n", "3: expect must be a string"},
      {"baud = 1234\n[[step]]\nkind = \"reset\"\n", "1: baud must be 9600"},
      {"[[step]]\nkind = \"read-stored\"\nindex = 300\n", "3: index must be 1..255 (got 300)"},
      {"[[step]]\nkind = \"serial\"\nformat = \"SN{:06}\"\nx = 3\n", "4: x must be even"},
      {"[[step]]\nkind = \"serial\"\nformat = \"SN{:q}\"\n", "3: format: the field must be"},
      {"[[step]]\nkind = \"serial\"\n", "1: a serial step needs format"},
      {"[[step]]\nkind = \"version\"\n", "1: a version step needs expect"},
      {"[[step]]\nkind = \"prompt\"\ntimeout_ms = 9000\n", "1: a prompt step needs text"},
      {"[[step]]\nkind = \"prompt\"\ntext = \"LED?\"\npicture = \"none.png\"\n", "4: cannot read the picture"},
      {"[[step]]\nkind = \"launch\"\n", "2: unknown kind 'launch'"},
      {"[[step]]\nkind = \"capture\"\nchecks = \"sharpness>>4\"\n", "3: checks: "},
      {"[[step]]\nkind = \"reset\"\n[[step]]\nkind = \"find\"\n", "3: find must be the first step"},
      {"[[step]]\nkind = \"profile\"\nfile = \"missing.profile\"\n", "3: cannot read the profile"},
      {"[[step]]\nkind = \"capture\"\ntimeout_ms = 0\n", "3: timeout_ms must be 1..3600000"},
      {"stop_at_first_failure = \"yes\"\n", "1: stop_at_first_failure must be true or false"},
      {"serial = 1\n", "1: the plan has no steps"},
      // Bounds met before the TOML library holds it all (it destroys nested tables
      // recursively, and keeps a node per value).
      {"a" + Repeat(".a", 20) + " = 1\n",
       "1: a key of more than 8 dotted parts"},
      {"[[step]]\nkind = \"reset\"\n\n[a.b.c.d.e.f.g.h.i]\n", "4: a key of more than 8 dotted parts"},
      {"[[step]]\nkind = \"reset\"\nx = [" + Repeat("1,", kPlanMaxItems) + "1]\n",
       "3: more than 50000 keys and values"},
      {"x = " + std::string(20, '[') + std::string(20, ']') + "\n", "1: "},
      // Non-ASCII where TOML has none, refused in plain words.
      {"[[step]]\nkind = \"reset\" \xd1\x9b\n", "2: a non-ASCII character outside a string or comment"},
      {"[[step]]\nkind = \"version\"\nexpect = \"\"\"QVX\\\n  \xc2\xa7\"\"\"\n",
       "4: a non-ASCII character right after a line-ending backslash"},
      // Read by the scan as a string, by the library as keys: its classifier must not be
      // reached with the character (found by fuzz_plan).
      {"a. \"\"\"#\"m\\\\\\\xcd\xa5\\\\\\stnmu", "1: "},
      {steps, std::to_string(2 * kPlanMaxSteps + 1) + ": the plan has 1001 steps, more than the 1000"},
  };
  PlanFolder folder;
  for (const auto& c : cases) {
    const std::string path = folder.Write("bad.toml", c.text);
    StationPlan plan;
    std::string error;
    EXPECT_FALSE(ReadStationPlan(path, plan, error)) << c.text.substr(0, 80);
    EXPECT_EQ(error.rfind(path + ":" + c.error, 0), 0u) << c.text.substr(0, 80) << "\ngot: " << error;
  }
  // Only regular files are read, the plan and the profiles it names: a FIFO would block
  // for ever, /dev/zero never ends, and a folder is not "a plan with no steps".
  const std::string fifo = folder.dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path, error;
  } files[] = {
      {fifo, fifo + ": cannot read the plan: is a FIFO (named pipe), not a file"},
      {"/dev/zero", "/dev/zero: cannot read the plan: is a device, not a file"},
      {folder.dir, folder.dir + ": cannot read the plan: is a folder, not a file"},
      {folder.Write("f.toml", "[[step]]\nkind = \"profile\"\nfile = \"fifo\"\n"),
       folder.dir + "/f.toml:3: cannot read the profile " + fifo + ": is a FIFO (named pipe), not a file"},
  };
  for (const auto& f : files) {
    StationPlan plan;
    std::string error;
    EXPECT_FALSE(ReadStationPlan(f.path, plan, error));
    EXPECT_EQ(error, f.error);
  }
  unlink(fifo.c_str());
  // A profile the step names is read with the plan: its fault carries the plan's line and
  // the place in the profile.
  const std::string profile = folder.Write("p.profile", "{\"format\": 1,\n  \"colour\": 2}\n");
  const std::string path = folder.Write("p.toml", "[[step]]\nkind = \"profile\"\nfile = \"p.profile\"\n");
  StationPlan plan;
  std::string error;
  EXPECT_FALSE(ReadStationPlan(path, plan, error));
  EXPECT_EQ(error.rfind(path + ":3: profile " + profile + ": line 2, column 3", 0), 0u) << error;
}

TEST(StationPorts, GlobsAreSortedAndOnePortListedTwiceIsRefused) {
  const testsupport::TempFolder folder("brevant-station");
  const std::string dir = folder.Path();
  for (const char* name : {"tty-b", "tty-a", "tty-c"})
    testsupport::WriteFile(dir + "/" + name, {});
  ASSERT_EQ(symlink((dir + "/tty-a").c_str(), (dir + "/link-a").c_str()), 0);
  CPortMap map(dir, dir + "/no-sys");
  std::vector<StationPort> ports;
  std::string error;
  ASSERT_TRUE(ExpandStationPorts(dir + "/tty-*", map, ports, error)) << error;
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].device, dir + "/tty-a");
  EXPECT_EQ(ports[2].device, dir + "/tty-c");
  EXPECT_EQ(PortFolderName({"/dev/serial/by-id/usb-FTDI_A1-if00", 0, "", ""}),
            "serial_by-id_usb-FTDI_A1-if00");
  EXPECT_EQ(PortFolderName({"COM3=/dev/ttyUSB0", 3, "", ""}), "COM3");

  const struct {
    std::string list, error;
  } refused[] = {
      {dir + "/tty-a," + dir + "/link-a", "--ports: " + dir + "/link-a is listed twice (as " + dir + "/tty-a)"},
      {dir + "/nothing-*", "--ports: '" + dir + "/nothing-*' matches no device"},
      {dir + "/tty-a,,", "--ports: an empty item"},
      {"COM16=/dev/null", "--ports: COMn=DEVICE needs n in 1..15"},
      {"COM9", "--ports: COM9 is not mapped to a device"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(ExpandStationPorts(r.list, map, ports, error)) << r.list;
    EXPECT_EQ(error.rfind(r.error, 0), 0u) << r.list << "\ngot: " << error;
  }
}

// Ports on port servers: listed as they are (a bracketed IPv6 host is no glob), a folder
// name without slashes or colons, a malformed address and a repeat refused.
TEST(StationPorts, NetworkPortsAreListedAsTheyAre) {
  CPortMap map("/nonexistent-dev", "/nonexistent-sys");
  std::vector<StationPort> ports;
  std::string error;
  ASSERT_TRUE(ExpandStationPorts("rfc2217://rack-pi:4001,socket://[::1]:4002", map, ports, error)) << error;
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[1].device, "socket://[::1]:4002");
  EXPECT_EQ(PortFolderName(ports[0]), "rfc2217_rack-pi_4001");
  EXPECT_EQ(PortFolderName(ports[1]), "socket___1_4002");
  EXPECT_FALSE(ExpandStationPorts("rfc2217://rack-pi", map, ports, error));
  EXPECT_EQ(error.rfind("--ports: a network port is rfc2217://HOST:PORT", 0), 0u) << error;
  EXPECT_FALSE(ExpandStationPorts("socket://h:1,socket://h:1", map, ports, error));
  EXPECT_NE(error.find("listed twice"), std::string::npos) << error;
}

// Checks with a marginal band, as a capture step writes them; each band that cannot be
// meant is refused with the check it belongs to.
TEST(StationPlan, ChecksTakeAMarginalBandInsideTheirLimits) {
  std::vector<StepLimit> limits;
  std::string error;
  ASSERT_TRUE(ParseStepLimits("sharpness>=40 marginal 50, luma=40..220 marginal 60..200,"
                              " clipped<=2% marginal 1.5%, uniform=no",
                              limits, error))
      << error;
  ASSERT_EQ(limits.size(), 4u);
  EXPECT_EQ(limits[0].marginalLow, 50);
  EXPECT_FALSE(limits[0].marginalHigh);
  EXPECT_EQ(limits[1].marginalLow, 60);
  EXPECT_EQ(limits[1].marginalHigh, 200);
  EXPECT_EQ(limits[2].marginalHigh, 1.5);
  EXPECT_EQ(limits[2].unit, "%");
  EXPECT_EQ(limits[0].unit, "");
  EXPECT_EQ(limits[1].text, "luma=40..220 marginal 60..200");
  EXPECT_EQ(limits[1].check.text, "luma=40..220");
  for (const char* bad : {"sharpness>=40 marginal 30", "luma=40..220 marginal 60", "luma=40..220 marginal 30..200",
                          "luma=40..220 marginal 200..60", "sharpness>=40 marginal 50..60", "uniform=no marginal 1",
                          "luma=100 marginal 90..110", "sharpness>=40 marginal x"}) {
    EXPECT_FALSE(ParseStepLimits(bad, limits, error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  // In a plan, with the keys every step takes.
  PlanFolder folder;
  StationPlan plan;
  ASSERT_TRUE(ReadStationPlan(folder.Write("line.toml", "[[step]]\nkind = \"capture\"\nretries = 2\n"
                                                        "continue_on_failure = true\n"
                                                        "checks = \"sharpness>=40 marginal 50\"\n"),
                              plan, error))
      << error;
  EXPECT_EQ(plan.name, "line");
  EXPECT_EQ(plan.steps[0].retries, 2);
  EXPECT_TRUE(plan.steps[0].continueOnFailure);
  ASSERT_EQ(plan.steps[0].checks.size(), 1u);
  EXPECT_EQ(plan.steps[0].checks[0].low, 40);
  EXPECT_FALSE(ReadStationPlan(folder.Write("bad.toml", "[[step]]\nkind = \"reset\"\nretries = 101\n"), plan, error));
  EXPECT_NE(error.find("bad.toml:3: retries must be 0..100"), std::string::npos) << error;
}
