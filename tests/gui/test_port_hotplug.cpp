// The port list following the cable: a fake /dev whose nodes appear and vanish stands in
// for udev, and the watch on the GUI event loop must bring the map along.
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "app/PortHotplug.h"
#include "serial/DeviceWatch.h"
#include "serial/PortMap.h"
#include "test_support.h"

namespace fs = std::filesystem;

class TestPortHotplug : public QObject {
  Q_OBJECT
 private slots:
  void listFollowsPlugPullAndReplug() {
    const testsupport::TempFolder root("brevant-hotplug");
    QVERIFY(!root.Path().empty());
    const fs::path dev = root.File("dev");
    const fs::path sys = root.File("sys");
    fs::create_directories(dev);
    fs::create_directories(sys / "class" / "tty");
    CPortMap map(dev.string(), sys.string());
    int refreshes = 0;
    CPortHotplug hotplug(dev.string(), [&] {
      ++refreshes;
      map.Refresh();
    });
    QVERIFY(hotplug.IsWatching());

    std::ofstream(dev / "ttyUSB0").put('\n');  // plugged in
    QTRY_COMPARE(map.DeviceFor(1), (dev / "ttyUSB0").string());
    std::ofstream(dev / "ttyACM0").put('\n');
    QTRY_COMPARE(map.DeviceFor(2), (dev / "ttyACM0").string());

    fs::remove(dev / "ttyUSB0");  // pulled
    QTRY_COMPARE(map.DeviceFor(1), std::string());
    std::ofstream(dev / "ttyUSB0").put('\n');  // back: the same number
    QTRY_COMPARE(map.DeviceFor(1), (dev / "ttyUSB0").string());
    QCOMPARE(map.DeviceFor(2), (dev / "ttyACM0").string());

    // udev's stable names refresh the list too, once their folders exist.
    const int before = refreshes;
    std::ofstream(dev / "null0").put('\n');
    fs::create_directories(dev / "serial" / "by-id");
    QTRY_VERIFY(refreshes > before);  // the serial folder appeared
    const int afterFolder = refreshes;
    fs::create_symlink("../../ttyUSB0", dev / "serial" / "by-id" / "usb-FTDI_X-if00-port0");
    QTRY_VERIFY(refreshes > afterFolder);
    QTRY_COMPARE(map.Entries()[0].stablePath,
                 (dev / "serial" / "by-id" / "usb-FTDI_X-if00-port0").string());
  }

  void onlySerialNamesCount() {
    for (const char* name : {"ttyUSB0", "ttyACM3", "ttyAMA0", "serial0", "ttyS1"})
      QVERIFY2(CDeviceWatch::IsSerialName(name), name);
    for (const char* name : {"null", "sda1", "video0", "hidraw2", "bus"})
      QVERIFY2(!CDeviceWatch::IsSerialName(name), name);
  }
};

QTEST_GUILESS_MAIN(TestPortHotplug)
#include "test_port_hotplug.moc"
