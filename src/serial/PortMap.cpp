#include "serial/PortMap.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// "ttyUSB12" with prefix "ttyUSB" gives 12; anything else -1.
long SuffixNumber(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
  long value = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
    value = value * 10 + (name[i] - '0');
    if (value > 1000000) return -1;
  }
  return value;
}

// Names under dir that are prefix + number, in numeric order (ttyUSB2 before ttyUSB10).
std::vector<std::string> NumberedNames(const fs::path& dir, const std::string& prefix) {
  std::vector<std::pair<long, std::string>> found;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const long number = SuffixNumber(name, prefix);
    if (number >= 0) found.emplace_back(number, name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& entry : found) names.push_back(std::move(entry.second));
  return names;
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  size_t start = 0;
  while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start]))) ++start;
  return line.substr(start);
}

// Symlinks resolved where possible, so "/dev/serial/by-id/..." and "/dev/ttyUSB0" compare equal.
std::string Canonical(const std::string& path) {
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved.string();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

CPortMap::CPortMap(std::string devRoot, std::string sysRoot)
    : m_devRoot(std::move(devRoot)), m_sysRoot(std::move(sysRoot)) {}

bool CPortMap::AddOverride(const std::string& mapping) {
  const size_t equals = mapping.find('=');
  if (equals == std::string::npos) return false;
  const int number = ParseComName(mapping.substr(0, equals));
  const std::string device = mapping.substr(equals + 1);
  if (number == 0 || device.empty()) return false;
  AddOverride(number, device);
  return true;
}

void CPortMap::AddOverride(int number, const std::string& device) {
  if (number < 1 || number > kPortCount || device.empty()) return;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_overrides[number] = device;
    // The number and the device now belong to the override; Refresh renumbers the rest.
    const std::string key = Canonical(device);
    for (auto it = m_assigned.begin(); it != m_assigned.end();) {
      if (it->first == number || Canonical(it->second) == key)
        it = m_assigned.erase(it);
      else
        ++it;
    }
  }
  Refresh();
}

void CPortMap::RemoveOverride(int number) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_overrides.erase(number);
  }
  Refresh();
}

std::vector<std::string> CPortMap::ScanDevices() const {
  std::vector<std::string> devices;
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (const std::string& name : NumberedNames(m_devRoot, prefix))
      devices.push_back(m_devRoot + "/" + name);

  // Every kernel lists ttyS0..ttyS31 whether or not a UART sits behind them; only those
  // with a device and a known port type are real.
  const fs::path ttyClass = fs::path(m_sysRoot) / "class" / "tty";
  for (const std::string& name : NumberedNames(ttyClass, "ttyS")) {
    std::error_code ec;
    if (!fs::exists(ttyClass / name / "device", ec)) continue;
    const fs::path typeFile = ttyClass / name / "type";
    if (fs::exists(typeFile, ec)) {
      const std::string type = FirstLine(typeFile);
      if (type.empty() || type == "0") continue;
    }
    const std::string node = m_devRoot + "/" + name;
    if (fs::exists(node, ec)) devices.push_back(node);
  }
  return devices;
}

void CPortMap::Refresh() {
  const std::vector<std::string> scanned = ScanDevices();
  std::lock_guard<std::mutex> guard(m_mutex);

  std::set<std::string> present;
  for (const std::string& device : scanned) present.insert(Canonical(device));
  std::set<std::string> overridden;
  for (const auto& [number, device] : m_overrides) overridden.insert(Canonical(device));

  // A device keeps its number while it stays; gone ones free theirs.
  std::set<std::string> numbered;
  for (auto it = m_assigned.begin(); it != m_assigned.end();) {
    const std::string key = Canonical(it->second);
    if (!present.count(key) || overridden.count(key) || m_overrides.count(it->first)) {
      it = m_assigned.erase(it);
    } else {
      numbered.insert(key);
      ++it;
    }
  }
  // New devices take the lowest free numbers, in scan order.
  int next = 1;
  for (const std::string& device : scanned) {
    const std::string key = Canonical(device);
    if (numbered.count(key) || overridden.count(key)) continue;
    while (next <= kPortCount && (m_overrides.count(next) || m_assigned.count(next))) ++next;
    if (next > kPortCount) break;
    m_assigned[next] = device;
    numbered.insert(key);
  }

  m_descriptions.clear();
  for (const auto& [number, device] : m_overrides) m_descriptions[number] = DescribeDevice(device);
  for (const auto& [number, device] : m_assigned) m_descriptions[number] = DescribeDevice(device);
}

std::string CPortMap::DescribeDevice(const std::string& device) const {
  const std::string real = Canonical(device);
  for (const std::string& ptsDir : {std::string("/dev/pts/"), m_devRoot + "/pts/"})
    if (StartsWith(device, ptsDir) || StartsWith(real, ptsDir)) return "pseudo-terminal";

  std::error_code ec;
  const std::string name = fs::path(real).filename().string();
  const fs::path link = fs::path(m_sysRoot) / "class" / "tty" / name / "device";
  const fs::path port = fs::canonical(link, ec);
  if (ec) return "";
  const fs::path sysTop = fs::canonical(m_sysRoot, ec);
  if (ec) return "";

  // USB adapters: the USB device directory above the tty carries the names it reports.
  const std::string top = sysTop.string() + "/";
  for (fs::path dir = port; StartsWith(dir.string(), top); dir = dir.parent_path()) {
    if (fs::exists(dir / "product", ec)) {
      const std::string manufacturer = FirstLine(dir / "manufacturer");
      const std::string product = FirstLine(dir / "product");
      if (manufacturer.empty()) return product;
      if (product.empty()) return manufacturer;
      return manufacturer + " " + product;
    }
  }
  const fs::path driver = fs::canonical(port / "driver", ec);
  return ec ? std::string() : driver.filename().string();
}

std::vector<PortEntry> CPortMap::Entries() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  std::vector<PortEntry> entries;
  for (int number = 1; number <= kPortCount; ++number) {
    PortEntry entry;
    entry.number = number;
    if (auto it = m_overrides.find(number); it != m_overrides.end())
      entry.device = it->second;
    else if (auto at = m_assigned.find(number); at != m_assigned.end())
      entry.device = at->second;
    if (auto d = m_descriptions.find(number); d != m_descriptions.end() && !entry.device.empty())
      entry.description = d->second;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string CPortMap::DeviceFor(int number) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (auto it = m_overrides.find(number); it != m_overrides.end()) return it->second;
  if (auto it = m_assigned.find(number); it != m_assigned.end()) return it->second;
  return "";
}

int CPortMap::ParseComName(const std::string& text) {
  if (text.size() < 4 || text.size() > 5) return 0;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return 0;
  const long number = SuffixNumber("x" + text.substr(3), "x");
  if (text[3] == '0') return 0;
  return number >= 1 && number <= kPortCount ? static_cast<int>(number) : 0;
}

CPortMap& GlobalPortMap() {
  static CPortMap map;
  static const bool scanned = (map.Refresh(), true);
  (void)scanned;
  return map;
}
