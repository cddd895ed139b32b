// `brevant-cli ports` on a fake /dev and /sys: what a production script reads.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliOptions.h"
#include "CliPorts.h"
#include "json_check.h"
#include "serial/PortMap.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace cli;

namespace {

class NoNames : public IHardwareNames {
 public:
  bool UsbNames(uint16_t, uint16_t, std::string*, std::string*) const override { return false; }
};

TEST(CliPorts, ListsNumberDeviceStablePathNamesAndSerialInTextAndJson) {
  const testsupport::TempFolder folder("brevant-cliports");
  ASSERT_FALSE(folder.Path().empty());
  const fs::path root = folder.Path(), dev = root / "dev", sys = root / "sys";
  // One FTDI adapter with its serial number, as the kernel and udev lay it out.
  const fs::path usb = sys / "devices" / "usb1" / "1-1";
  const fs::path port = usb / "1-1:1.0" / "ttyUSB0";
  fs::create_directories(port);
  fs::create_directories(dev / "serial" / "by-id");
  fs::create_directories(sys / "class" / "tty" / "ttyUSB0");
  std::ofstream(dev / "ttyUSB0").put('\n');
  std::ofstream(usb / "manufacturer") << "FTDI\n";
  std::ofstream(usb / "product") << "FT232R USB UART\n";
  std::ofstream(usb / "serial") << "A1B2\n";
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "idProduct") << "6001\n";
  fs::create_directory_symlink(port, sys / "class" / "tty" / "ttyUSB0" / "device");
  const fs::path byId = dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A1B2-if00-port0";
  fs::create_symlink("../../ttyUSB0", byId);

  CPortMap map(dev.string(), sys.string(), std::make_shared<NoNames>());
  std::ostringstream text, json, err;
  EXPECT_EQ(ListPorts(map, false, text, err), kExitOk);
  EXPECT_EQ(text.str(), "COM1   " + (dev / "ttyUSB0").string() +
                            "  FTDI FT232R USB UART  serial A1B2  " + byId.string() + "\n");

  EXPECT_EQ(ListPorts(map, true, json, err), kExitOk);
  auto members = jsoncheck::ParseObject(json.str());
  ASSERT_TRUE(members) << json.str();
  EXPECT_EQ((*members)["command"].text, "ports");
  EXPECT_EQ((*members)["port"].text, "COM1");
  EXPECT_EQ((*members)["number"].text, "1");
  EXPECT_EQ((*members)["stable_path"].text, byId.string());
  EXPECT_EQ((*members)["vendor"].text, "FTDI");
  EXPECT_EQ((*members)["model"].text, "FT232R USB UART");
  EXPECT_EQ((*members)["serial"].text, "A1B2");
  EXPECT_TRUE(err.str().empty());

  // Nothing plugged in: a sentence for a person, nothing for a JSON reader. And the
  // command needs no --port.
  fs::remove(dev / "ttyUSB0");
  std::ostringstream none, noneJson;
  ListPorts(map, false, none, err);
  EXPECT_EQ(none.str().rfind("No serial devices found", 0), 0u) << none.str();
  ListPorts(map, true, noneJson, err);
  EXPECT_EQ(noneJson.str(), "");
  EXPECT_EQ(ParseCommandLine({"ports", "--json"}).kind, ParseResult::Run);
}

}  // namespace
