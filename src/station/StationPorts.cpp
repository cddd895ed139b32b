#include "station/StationPorts.h"

#include <glob.h>
#include <stdlib.h>

#include <algorithm>
#include <map>

#include "serial/NetworkPort.h"
#include "serial/PortMap.h"

namespace station {

namespace {

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t begin = 0;
  for (;;) {
    const size_t comma = list.find(',', begin);
    items.push_back(list.substr(begin, comma - begin));
    if (comma == std::string::npos) return items;
    begin = comma + 1;
  }
}

bool Glob(const std::string& pattern, std::vector<std::string>& paths) {
  glob_t found{};
  const int rc = glob(pattern.c_str(), 0, nullptr, &found);  // glob(3) sorts by default
  if (rc == 0)
    for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  globfree(&found);
  return rc == 0 && !paths.empty();
}

// One identity for every name of a device (a by-id link and /dev/ttyUSB0).
std::string Identity(const std::string& device) {
  char* real = realpath(device.c_str(), nullptr);
  if (!real) return device;
  std::string path(real);
  free(real);
  return path;
}

}  // namespace

bool ExpandStationPorts(const std::string& list, CPortMap& map, std::vector<StationPort>& ports,
                        std::string& error) {
  ports.clear();
  std::vector<std::string> names;
  for (const std::string& item : SplitList(list)) {
    if (item.empty()) {
      error = "--ports: an empty item in '" + list + "'";
      return false;
    }
    if (item.find_first_of("*?[") == std::string::npos || IsNetworkPortName(item)) {
      names.push_back(item);
    } else if (!Glob(item, names)) {
      error = "--ports: '" + item + "' matches no device";
      return false;
    }
  }
  map.Refresh();
  std::map<std::string, std::string> seen;  // identity -> the name that gave it
  for (const std::string& name : names) {
    const PortName parsed = ParsePortName(name);
    if (!parsed.ok) {
      error = IsNetworkPortName(parsed.device)
                  ? "--ports: a network port is rfc2217://HOST:PORT or socket://HOST:PORT (got '" + name + "')"
                  : "--ports: COMn=DEVICE needs n in 1..15 and a device (got '" + name + "')";
      return false;
    }
    StationPort port;
    port.name = name;
    const PortName resolved = map.Resolve(name);
    port.device = resolved.device;
    if (port.device.empty()) {
      error = "--ports: " + name + " is not mapped to a device";
      return false;
    }
    port.number = resolved.number > 0 ? resolved.number : map.NumberOf(port.device);
    const auto [it, fresh] = seen.emplace(Identity(port.device), name);
    if (!fresh) {
      error = "--ports: " + name + " is listed twice" +
              (it->second == name ? std::string() : " (as " + it->second + ")");
      return false;
    }
    for (const PortEntry& entry : map.MappedEntries())
      if (entry.number == port.number && port.number > 0) port.adapterSerial = entry.serialNumber;
    ports.push_back(std::move(port));
  }
  return true;
}

std::string PortFolderName(const StationPort& port) {
  if (const NetworkAddress address = ParseNetworkAddress(port.device); address.ok) {
    std::string name = (address.kind == NetworkAddress::Kind::Rfc2217 ? "rfc2217_" : "socket_") +
                       address.host + "_" + address.service;
    std::replace(name.begin(), name.end(), ':', '_');  // IPv6
    return name;
  }
  std::string name = port.name;
  if (name.find('=') != std::string::npos) name = name.substr(0, name.find('='));
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  for (char& c : name)
    if (c == '/') c = '_';
  return name.empty() || name == "." || name == ".." ? "port" : name;
}

}  // namespace station
