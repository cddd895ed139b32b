// The udev rule the package installs, run by a small evaluator of its match keys over
// property sets as `udevadm info` prints them for real adapters (and for devices the rule
// must leave alone). The sets are taken after udev's own imports, so IMPORT lines are
// skipped; any key the evaluator does not know fails the test rather than pass by accident.
#include <gtest/gtest.h>
#include <fnmatch.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  std::set<std::string> tags;
  std::map<std::string, std::string> env;
  std::map<std::string, std::string> attrWrites;
};

struct Rule {
  std::string key, op, value;
};

// "a|b*" as udev matches it.
bool Matches(const std::string& pattern, const std::string& value) {
  std::stringstream alternatives(pattern);
  std::string one;
  while (std::getline(alternatives, one, '|'))
    if (fnmatch(one.c_str(), value.c_str(), 0) == 0) return true;
  return pattern.empty() && value.empty();
}

std::vector<std::vector<Rule>> ReadRules(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::vector<Rule>> lines;
  const std::regex token(R"re(\s*([A-Z_]+(?:\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*,?)re");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<Rule> rules;
    for (std::sregex_iterator it(line.begin(), line.end(), token), end; it != end; ++it)
      rules.push_back({(*it)[1], (*it)[2], (*it)[3]});
    EXPECT_FALSE(rules.empty()) << line;
    lines.push_back(rules);
  }
  return lines;
}

Outcome Evaluate(const std::vector<std::vector<Rule>>& lines, const std::string& action,
                 const std::string& udevadmInfo) {
  Outcome out;
  std::istringstream info(udevadmInfo);
  for (std::string line; std::getline(info, line);)
    if (line.rfind("E: ", 0) == 0 && line.find('=') != std::string::npos)
      out.env[line.substr(3, line.find('=') - 3)] = line.substr(line.find('=') + 1);
  auto property = [&](const std::string& key) -> std::string {
    if (key == "ACTION") return action;
    if (key == "SUBSYSTEM") return out.env["SUBSYSTEM"];
    if (key.rfind("ENV{", 0) == 0) return out.env[key.substr(4, key.size() - 5)];
    ADD_FAILURE() << "the evaluator does not know the match key " << key;
    return "\x01";
  };
  std::string jumpTo;
  for (const std::vector<Rule>& rules : lines) {
    if (!jumpTo.empty()) {
      if (rules[0].key == "LABEL" && rules[0].value == jumpTo) jumpTo.clear();
      continue;
    }
    bool isImport = false, matched = true;
    for (const Rule& r : rules) isImport = isImport || r.key.rfind("IMPORT", 0) == 0;
    if (isImport || rules[0].key == "LABEL") continue;
    for (const Rule& r : rules) {
      if (r.op == "==") matched = matched && Matches(r.value, property(r.key));
      if (r.op == "!=") matched = matched && !Matches(r.value, property(r.key));
    }
    if (!matched) continue;
    for (const Rule& r : rules) {
      if (r.op == "==" || r.op == "!=") continue;
      if (r.key == "GOTO") jumpTo = r.value;
      else if (r.key == "TAG") out.tags.insert(r.value);
      else if (r.key.rfind("ENV{", 0) == 0) out.env[r.key.substr(4, r.key.size() - 5)] = r.value;
      else if (r.key.rfind("ATTR{", 0) == 0) out.attrWrites[r.key.substr(5, r.key.size() - 6)] = r.value;
      else ADD_FAILURE() << "the evaluator does not know the assignment " << r.key;
    }
  }
  EXPECT_TRUE(jumpTo.empty()) << "GOTO without its LABEL: " << jumpTo;
  return out;
}

std::string UsbTty(const char* tty, const char* vendor, const char* model, const char* driver) {
  return std::string("P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/") + tty + "/tty/" + tty +
         "\nN: " + tty + "\nE: DEVNAME=/dev/" + tty + "\nE: SUBSYSTEM=tty\nE: ID_BUS=usb\nE: ID_VENDOR_ID=" +
         vendor + "\nE: ID_MODEL_ID=" + model + "\nE: ID_USB_DRIVER=" + driver +
         "\nE: ID_USB_INTERFACE_NUM=00\nE: ID_PATH=pci-0000:00:14.0-usb-0:2:1.0\n";
}

TEST(UdevRule, AdaptersAreOpenedForTheSeatAndLeftAloneByModemManager) {
  const auto rules = ReadRules(BREVANT_SOURCE_DIR "/packaging/udev/70-brevant.rules");
  ASSERT_FALSE(rules.empty());
  struct Case {
    const char* name;
    std::string info;
    const char* action;
    bool adapter, ftdi;
  };
  const Case cases[] = {
      {"FTDI FT232R", UsbTty("ttyUSB0", "0403", "6001", "ftdi_sio"), "add", true, true},
      {"FTDI FT232H", UsbTty("ttyUSB1", "0403", "6014", "ftdi_sio"), "add", true, true},
      {"CP2102", UsbTty("ttyUSB0", "10c4", "ea60", "cp210x"), "add", true, false},
      {"CH340", UsbTty("ttyUSB0", "1a86", "7523", "ch341"), "add", true, false},
      {"PL2303", UsbTty("ttyUSB0", "067b", "2303", "pl2303"), "change", true, false},
      {"FTDI unplugged", UsbTty("ttyUSB0", "0403", "6001", "ftdi_sio"), "remove", false, false},
      {"Arduino (cdc_acm)", UsbTty("ttyACM0", "2341", "0043", "cdc_acm"), "add", false, false},
      {"FTDI vendor, other product", UsbTty("ttyUSB0", "0403", "cd18", "ftdi_sio"), "add", false, false},
      {"the FTDI's USB device node",
       "P: /devices/pci0000:00/0000:00:14.0/usb1/1-2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
       "E: ID_BUS=usb\nE: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6001\n",
       "add", false, false},
      {"board UART",
       "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n",
       "add", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = Evaluate(rules, c.action, c.info);
    EXPECT_EQ(out.tags.count("uaccess"), c.adapter ? 1u : 0u);
    EXPECT_EQ(out.env.count("ID_MM_DEVICE_IGNORE") ? out.env.at("ID_MM_DEVICE_IGNORE") : "", c.adapter ? "1" : "");
    EXPECT_EQ(out.attrWrites.count("device/latency_timer") ? out.attrWrites.at("device/latency_timer") : "",
              c.ftdi ? "1" : "");
  }
}

}  // namespace
