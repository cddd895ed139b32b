#pragma once
// The ports of a station run, from --ports: COMn, COMn=DEVICE, device and by-id paths and
// globs, each resolved to the device it opens and its adapter's serial number.
#include <string>
#include <vector>

class CPortMap;

namespace station {

struct StationPort {
  std::string name;           // as listed (a glob gives each path it matched)
  int number = 0;             // COM number, 0 when it has none
  std::string device;         // what is opened
  std::string adapterSerial;  // the USB serial number, "" when the adapter has none
};

// Comma-separated items; a glob (* ? [) is expanded with glob(3), sorted. False with
// error when an item names nothing, a glob matches nothing, or two items are one port.
bool ExpandStationPorts(const std::string& list, CPortMap& map, std::vector<StationPort>& ports,
                        std::string& error);

// A folder name for a port's pictures: "COM3", "ttyUSB0", "serial_by-id_usb-FTDI_..."
std::string PortFolderName(const StationPort& port);

}  // namespace station
