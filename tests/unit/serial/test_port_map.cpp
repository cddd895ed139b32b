#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "serial/PortMap.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

// A fake /dev and /sys laid out like the kernel's: class/tty entries link into the device
// tree, and a USB adapter's names sit on the USB device two levels above its tty port.
class FakeTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_folder.Path().empty());
    root = m_folder.Path();
    dev = root / "dev";
    sys = root / "sys";
    fs::create_directories(dev);
    fs::create_directories(sys / "class" / "tty");
    fs::create_directories(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio");
    fs::create_directories(sys / "bus" / "platform" / "drivers" / "serial8250");
  }

  void Node(const std::string& name) { std::ofstream(dev / name).put('\n'); }
  static void Text(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

  // usbPort: the tty's parent device; manufacturer/product on the USB device above it.
  void UsbTty(const std::string& name, const std::string& manufacturer,
              const std::string& product) {
    Node(name);
    const fs::path usbDevice = sys / "devices" / "pci0000:00" / "usb1" / ("1-" + name);
    const fs::path port = usbDevice / (("1-" + name) + ":1.0") / name;
    fs::create_directories(port);
    if (!manufacturer.empty()) Text(usbDevice / "manufacturer", manufacturer + "\n");
    Text(usbDevice / "product", product + "\n");
    fs::create_directory_symlink(sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio",
                                 port / "driver");
    fs::create_directories(sys / "class" / "tty" / name);
    fs::create_directory_symlink(port, sys / "class" / "tty" / name / "device");
  }
  // type: the UART type the kernel reports, "" for no type file; withDevice: a UART behind it.
  void OnBoardTty(const std::string& name, bool withDevice, const std::string& type) {
    Node(name);
    const fs::path entry = sys / "class" / "tty" / name;
    fs::create_directories(entry);
    if (!type.empty()) Text(entry / "type", type + "\n");
    if (withDevice) {
      const fs::path port = sys / "devices" / "platform" / ("serial8250." + name);
      fs::create_directories(port);
      fs::create_directory_symlink(sys / "bus" / "platform" / "drivers" / "serial8250",
                                   port / "driver");
      fs::create_directory_symlink(port, entry / "device");
    }
  }
  // The USB numbers and serial string of an adapter made by UsbTty.
  void UsbIds(const std::string& name, const std::string& vendorId, const std::string& productId,
              const std::string& serial) {
    const fs::path usbDevice = sys / "devices" / "pci0000:00" / "usb1" / ("1-" + name);
    Text(usbDevice / "idVendor", vendorId + "\n");
    Text(usbDevice / "idProduct", productId + "\n");
    if (!serial.empty()) Text(usbDevice / "serial", serial + "\n");
  }
  void Link(const fs::path& link, const std::string& target) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
  }
  std::vector<std::string> Devices(const CPortMap& map) {
    std::vector<std::string> out;
    for (const PortEntry& e : map.Entries())
      out.push_back(e.device.empty() ? "" : fs::path(e.device).filename().string());
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
  }

  testsupport::TempFolder m_folder{"brevant-portmap"};
  fs::path root, dev, sys;
};

TEST_F(FakeTree, OrdersUsbThenAcmThenRealUartsWithNamesFromSysfs) {
  UsbTty("ttyUSB10", "FTDI", "FT232R USB UART");
  UsbTty("ttyUSB2", "", "CP2102 USB to UART Bridge Controller");
  UsbTty("ttyUSB0", "Prolific Technology Inc.", "USB-Serial Controller");
  Node("ttyACM0");
  OnBoardTty("ttyS0", true, "4");
  OnBoardTty("ttyS1", true, "0");   // listed by the kernel, no UART
  OnBoardTty("ttyS2", false, "");   // no device at all
  OnBoardTty("ttyS3", true, "");    // no type file: the device is enough
  Node("ttyUSBx");                  // not a numbered device
  Node("tty5");

  CPortMap map(dev.string(), sys.string());
  map.Refresh();
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"ttyUSB0", "ttyUSB2", "ttyUSB10", "ttyACM0",
                                                    "ttyS0", "ttyS3"}));
  const auto entries = map.Entries();
  ASSERT_EQ(entries.size(), 15u);
  EXPECT_EQ(entries[0].number, 1);
  EXPECT_EQ(entries[14].number, 15);
  EXPECT_EQ(entries[0].device, (dev / "ttyUSB0").string());
  EXPECT_EQ(entries[0].description, "Prolific Technology Inc. USB-Serial Controller");
  EXPECT_EQ(entries[1].description, "CP2102 USB to UART Bridge Controller");
  EXPECT_EQ(entries[2].description, "FTDI FT232R USB UART");
  EXPECT_EQ(entries[3].description, "");  // no sysfs entry
  EXPECT_EQ(entries[4].description, "serial8250");
  EXPECT_EQ(entries[6].device, "");
  EXPECT_EQ(entries[6].description, "");
  EXPECT_EQ(map.DeviceFor(3), (dev / "ttyUSB10").string());
  EXPECT_EQ(map.DeviceFor(7), "");
  EXPECT_EQ(map.DeviceFor(0), "");
}

TEST_F(FakeTree, NumbersStayWhileDevicesStayAndComeBackWithThem) {
  Node("ttyUSB0");
  Node("ttyUSB1");
  Node("ttyACM0");
  CPortMap map(dev.string(), sys.string());
  map.Refresh();
  ASSERT_EQ(Devices(map), (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "ttyACM0"}));

  fs::remove(dev / "ttyUSB0");  // unplugged
  map.Refresh();
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"", "ttyUSB1", "ttyACM0"}));

  // New devices leave the pulled one's number free while others are.
  Node("ttyUSB7");
  Node("ttyACM1");
  map.Refresh();
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"", "ttyUSB1", "ttyACM0", "ttyUSB7", "ttyACM1"}));

  Node("ttyUSB0");  // plugged back: its number again, nobody else moves
  map.Refresh();
  map.Refresh();
  EXPECT_EQ(Devices(map),
            (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyUSB7", "ttyACM1"}));

  // Only fifteen numbers exist; the sixteenth device waits for a free one, and when only
  // a departed device's number is left, a waiting device takes it.
  for (int i = 10; i < 22; ++i) Node("ttyUSB" + std::to_string(i));
  map.Refresh();
  EXPECT_EQ(map.DeviceFor(15), (dev / "ttyUSB19").string());
  fs::remove(dev / "ttyACM0");
  map.Refresh();
  EXPECT_EQ(map.DeviceFor(3), (dev / "ttyUSB20").string());
}

TEST_F(FakeTree, OverridesTakeTheirNumberAndPushTheRestAside) {
  UsbTty("ttyUSB0", "FTDI", "FT232R USB UART");
  Node("ttyUSB1");
  CPortMap map(dev.string(), sys.string());
  map.Refresh();

  // The displaced device takes the lowest free number; the others keep theirs.
  EXPECT_TRUE(map.AddOverride("COM1=/dev/pts/5"));
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"5", "ttyUSB1", "ttyUSB0"}));
  EXPECT_TRUE(map.AddOverride("com4=" + (dev / "ttyUSB1").string()));  // a listed device moves
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"5", "", "ttyUSB0", "ttyUSB1"}));
  const auto entries = map.Entries();
  EXPECT_EQ(entries[0].device, "/dev/pts/5");
  EXPECT_EQ(entries[0].description, "pseudo-terminal");
  EXPECT_EQ(entries[2].description, "FTDI FT232R USB UART");

  map.Refresh();
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"5", "", "ttyUSB0", "ttyUSB1"}));

  map.RemoveOverride(4);
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"5", "ttyUSB1", "ttyUSB0"}));

  // Malformed mappings change nothing.
  for (const char* bad : {"COM2", "COM0=/dev/x", "COM16=/dev/x", "COM3=", "PORT3=/dev/x",
                          "COM=/dev/x", "COM 3=/dev/x", "=/dev/x", ""}) {
    EXPECT_FALSE(map.AddOverride(bad)) << bad;
  }
  EXPECT_EQ(Devices(map), (std::vector<std::string>{"5", "ttyUSB1", "ttyUSB0"}));

  // A name from a command line resolves to what to open: a mapping is made first, a COM
  // number gets its device, a path stays a path, and each is labelled as the operator wrote it.
  const PortName mapped = map.Resolve("COM5=/dev/pts/9");
  EXPECT_EQ(mapped.number, 5);
  EXPECT_EQ(mapped.device, "/dev/pts/9");
  EXPECT_EQ(map.Resolve("com2").device, (dev / "ttyUSB1").string());
  EXPECT_EQ(map.Resolve("com9").device, "");
  const PortName path = map.Resolve("/dev/ttyS4");
  EXPECT_EQ(path.number, 0);
  EXPECT_EQ(path.device, "/dev/ttyS4");
  EXPECT_EQ(PortLabel(mapped.number, mapped.device), "COM5");
  EXPECT_EQ(PortLabel(path.number, path.device), "/dev/ttyS4");
  EXPECT_FALSE(ParsePortName("COM16=/dev/x").ok);
  EXPECT_EQ(map.MappedEntries().size(), 4u);
}

// Knows one adapter, as the system database would.
class FakeNames : public IHardwareNames {
 public:
  bool UsbNames(uint16_t vendorId, uint16_t productId, std::string* vendor,
                std::string* model) const override {
    if (vendorId == 0x1A86 && productId == 0x7523) {
      *vendor = "QinHeng Electronics";
      *model = "CH340 serial converter";
      return true;
    }
    if (vendorId == 0x0403 && productId == 0x6001) {
      *vendor = "Future Technology Devices International, Ltd";
      *model = "FT232 Serial (UART) IC";
      return true;
    }
    return false;
  }
};

TEST_F(FakeTree, BoardUartsAliasesStableNamesAndDatabaseNames) {
  UsbTty("ttyUSB0", "FTDI", "FT232R USB UART");
  UsbIds("ttyUSB0", "0403", "6001", "A1B2");
  UsbTty("ttyUSB1", "", "USB Serial");  // a CH340: nothing useful in its descriptors
  UsbIds("ttyUSB1", "1a86", "7523", "");
  Link(dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A1B2-if00-port0", "../../ttyUSB0");
  Link(dev / "serial" / "by-id" / "usb-1a86_USB_Serial-if00-port0", "../../ttyUSB1");
  OnBoardTty("ttyAMA0", true, "");
  OnBoardTty("ttyTHS1", true, "");
  OnBoardTty("ttymxc0", false, "");  // a name with no UART behind it
  OnBoardTty("ttyS0", true, "0");    // type 0, yet the board's second alias names it
  Link(dev / "serial0", "ttyAMA0");
  Link(dev / "serial1", "ttyS0");

  CPortMap map(dev.string(), sys.string(), std::make_shared<FakeNames>());
  map.Refresh();
  EXPECT_EQ(Devices(map),
            (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "ttyAMA0", "ttyTHS1", "ttyS0"}));
  const auto entries = map.Entries();
  EXPECT_EQ(entries[0].stablePath,
            (dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A1B2-if00-port0").string());
  EXPECT_EQ(entries[0].vendor, "FTDI");  // the adapter's own strings win when they say something
  EXPECT_EQ(entries[0].model, "FT232R USB UART");
  EXPECT_EQ(entries[0].serialNumber, "A1B2");
  EXPECT_EQ(entries[1].vendor, "QinHeng Electronics");
  EXPECT_EQ(entries[1].model, "CH340 serial converter");
  EXPECT_EQ(entries[1].description, "QinHeng Electronics CH340 serial converter");
  EXPECT_EQ(entries[1].serialNumber, "");
  EXPECT_EQ(entries[2].stablePath, (dev / "serial0").string());
  EXPECT_EQ(entries[2].description, "serial8250");
  EXPECT_EQ(entries[3].stablePath, "");
  EXPECT_EQ(entries[4].stablePath, (dev / "serial1").string());

  // Any name of a device finds its number.
  EXPECT_EQ(map.NumberOf((dev / "serial" / "by-id" / "usb-1a86_USB_Serial-if00-port0").string()), 2);
  EXPECT_EQ(map.NumberOf((dev / "serial0").string()), 3);
  EXPECT_EQ(map.NumberOf((dev / "ttyUSB9").string()), 0);

  // The FTDI is pulled, another adapter arrives, and the FTDI comes back under another
  // kernel name: its stable name gives it its number back.
  fs::remove(dev / "ttyUSB0");
  fs::remove(dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A1B2-if00-port0");
  map.Refresh();
  EXPECT_EQ(map.DeviceFor(1), "");
  Node("ttyACM0");
  map.Refresh();
  EXPECT_EQ(map.NumberOf((dev / "ttyACM0").string()), 6);
  Node("ttyUSB2");
  Link(dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A1B2-if00-port0", "../../ttyUSB2");
  map.Refresh();
  EXPECT_EQ(map.DeviceFor(1), (dev / "ttyUSB2").string());
  EXPECT_EQ(map.NumberOf((dev / "ttyACM0").string()), 6);
}

TEST(PortMap, ParseComName) {
  const std::pair<const char*, int> cases[] = {
      {"COM1", 1},  {"com15", 15}, {"Com7", 7},   {"COM16", 0}, {"COM0", 0},
      {"COM01", 0}, {"COM", 0},    {"COMX", 0},   {"CON1", 0},  {"COM1 ", 0},
      {"", 0},      {"COM-1", 0},  {"COM100", 0},
  };
  for (const auto& [text, number] : cases) EXPECT_EQ(CPortMap::ParseComName(text), number) << text;
}

}  // namespace
