// The station's --ports list as a user or a script might write it: any text. Globs stay in
// a scratch tree of a few fake devices (chdir'ed into), so a run walks only what the fuzzer
// made and nothing of the machine's file system.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "station/StationPorts.h"
#include "serial/PortMap.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

const std::string& Tree() {
  static const std::string root = [] {
    const std::string dir = FuzzScratchDir();
    for (const char* folder : {"dev", "dev/serial", "dev/serial/by-id", "sys"})
      mkdir((dir + folder).c_str(), 0755);
    for (const char* device : {"dev/ttyUSB0", "dev/ttyUSB1", "dev/ttyACM0", "dev/ttyS0"})
      std::ofstream(dir + device).put('\0');
    symlink("../../ttyUSB0", (dir + "dev/serial/by-id/usb-FTDI_A1-if00-port0").c_str());
    if (chdir(dir.c_str()) != 0) std::abort();
    return dir;
  }();
  return root;
}

// A glob that could leave the scratch tree.
bool ReachesOut(const std::string& list) {
  size_t begin = 0;
  for (;;) {
    const size_t comma = list.find(',', begin);
    const std::string item = list.substr(begin, comma - begin);
    if (item.find_first_of("*?[") != std::string::npos &&
        (item.find('/') == 0 || item.find("..") != std::string::npos || item.find('~') != std::string::npos))
      return true;
    if (comma == std::string::npos) return false;
    begin = comma + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = Tree();
  const std::string list(reinterpret_cast<const char*>(data), size);
  // A command line cannot carry a NUL byte.
  if (list.find('\0') != std::string::npos || ReachesOut(list)) return 0;
  CPortMap map(dir + "dev", dir + "sys");
  std::vector<station::StationPort> ports;
  std::string error;
  if (!station::ExpandStationPorts(list, map, ports, error)) {
    Check(error.rfind("--ports: ", 0) == 0);
    return 0;
  }
  Check(!ports.empty());
  for (const station::StationPort& port : ports) {
    Check(!port.name.empty() && !port.device.empty());
    Check(port.number >= 0 && port.number <= CPortMap::kPortCount);
    // The folder a camera's pictures go to stays inside --out.
    const std::string folder = station::PortFolderName(port);
    Check(!folder.empty() && folder != "." && folder != "..");
    Check(folder.find('/') == std::string::npos);
  }
  return 0;
}
