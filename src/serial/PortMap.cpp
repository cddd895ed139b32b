#include "serial/PortMap.h"

#include "serial/NetworkPort.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
  if (IsNetworkPortName(path)) return path;  // an address, not a file
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved.string();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}


// Board UART families, in the order they are numbered after USB and ACM devices. ttyS is
// last and checked further: the 8250 driver lists placeholders with no UART behind them.
const char* const kBoardUarts[] = {"ttyAMA", "ttyTHS", "ttymxc", "ttyO", "ttySAC", "ttyLP"};

// Descriptor strings that name nothing ("USB Serial", "USB2.0-Serial", "USB-Serial
// Controller") lose to the hardware database.
bool SaysNothing(const std::string& text) {
  static const char* const kGeneric[] = {"usb", "serial", "uart", "2.0", "controller",
                                         "device", "port", "converter"};
  std::string word, rest;
  auto flush = [&] {
    bool generic = word.empty();
    for (const char* g : kGeneric) generic = generic || word == g;
    if (!generic) rest += word;
    word.clear();
  };
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.')
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    else
      flush();
  }
  flush();
  return rest.empty();
}

uint16_t HexId(const fs::path& file) {
  const std::string text = FirstLine(file);
  if (text.empty()) return 0;
  return static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16));
}

std::string Joined(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + " " + b;
}

}  // namespace

CPortMap::CPortMap(std::string devRoot, std::string sysRoot, std::shared_ptr<IHardwareNames> names)
    : m_devRoot(std::move(devRoot)),
      m_sysRoot(std::move(sysRoot)),
      m_pNames(names ? std::move(names) : SystemHardwareNames()) {}

PortName ParsePortName(const std::string& text) {
  PortName name;
  const size_t equals = text.find('=');
  if (equals == std::string::npos) {
    name.number = CPortMap::ParseComName(text);
    if (name.number == 0) name.device = text;
  } else {
    name.number = CPortMap::ParseComName(text.substr(0, equals));
    name.device = text.substr(equals + 1);
    name.ok = name.number != 0 && !name.device.empty();
  }
  // A network port's address is checked here, so a typo is a usage error, not a failed open.
  const NetworkAddress address = ParseNetworkAddress(name.device);
  if (address.kind != NetworkAddress::Kind::None && !address.ok) name.ok = false;
  return name;
}

std::string PortLabel(int number, const std::string& device) {
  return number > 0 ? "COM" + std::to_string(number) : device;
}

bool CPortMap::AddOverride(const std::string& mapping) {
  const PortName name = ParsePortName(mapping);
  if (!name.ok || name.number == 0 || name.device.empty()) return false;
  AddOverride(name.number, name.device);
  return true;
}

PortName CPortMap::Resolve(const std::string& text) {
  PortName name = ParsePortName(text);
  if (name.number == 0) return name;
  if (!name.device.empty()) AddOverride(name.number, name.device);
  Refresh();
  name.device = DeviceFor(name.number);
  return name;
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

int CPortMap::AddNetworkPort(const std::string& address) {
  int number = 0;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const auto& [n, device] : m_overrides)
      if (device == address) return n;
    for (int n = 1; n <= kPortCount && number == 0; ++n)
      if (!m_overrides.count(n) && !m_assigned.count(n)) number = n;
  }
  if (number != 0) AddOverride(number, address);
  return number;
}

void CPortMap::RemoveOverride(int number) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_overrides.erase(number);
  }
  Refresh();
}

std::map<std::string, std::string> CPortMap::StableNames() const {
  std::map<std::string, std::string> names;
  std::error_code ec;
  // Board aliases first, so a by-id link (more telling) wins for the same device.
  for (const char* alias : {"serial0", "serial1"}) {
    const std::string path = m_devRoot + "/" + alias;
    if (fs::is_symlink(path, ec) && fs::exists(path, ec)) names[Canonical(path)] = path;
  }
  const fs::path byId = fs::path(m_devRoot) / "serial" / "by-id";
  for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code exists;
    if (fs::exists(it->path(), exists)) names[Canonical(it->path().string())] = it->path().string();
  }
  return names;
}

std::vector<CPortMap::Scanned> CPortMap::ScanDevices() const {
  std::vector<std::string> devices;
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (const std::string& name : NumberedNames(m_devRoot, prefix))
      devices.push_back(m_devRoot + "/" + name);

  const fs::path ttyClass = fs::path(m_sysRoot) / "class" / "tty";
  std::error_code ec;
  auto hasNode = [&](const std::string& name) { return fs::exists(m_devRoot + "/" + name, ec); };
  for (const char* prefix : kBoardUarts)
    for (const std::string& name : NumberedNames(ttyClass, prefix))
      if (fs::exists(ttyClass / name / "device", ec) && hasNode(name))
        devices.push_back(m_devRoot + "/" + name);

  // Every kernel lists ttyS0..ttyS31 whether or not a UART sits behind them; only those
  // with a device and a known port type are real.
  for (const std::string& name : NumberedNames(ttyClass, "ttyS")) {
    if (!fs::exists(ttyClass / name / "device", ec)) continue;
    const fs::path typeFile = ttyClass / name / "type";
    if (fs::exists(typeFile, ec)) {
      const std::string type = FirstLine(typeFile);
      if (type.empty() || type == "0") continue;
    }
    if (hasNode(name)) devices.push_back(m_devRoot + "/" + name);
  }

  const std::map<std::string, std::string> stable = StableNames();
  std::vector<Scanned> scanned;
  std::set<std::string> seen;
  for (const std::string& device : devices) {
    const std::string key = Canonical(device);
    if (!seen.insert(key).second) continue;
    auto it = stable.find(key);
    scanned.push_back({device, it == stable.end() ? std::string() : it->second});
  }
  // A board alias naming a UART the scan did not list (a console UART without a type
  // file, say) still names a real port.
  for (const char* alias : {"serial0", "serial1"}) {
    const std::string path = m_devRoot + "/" + alias;
    const std::string key = Canonical(path);
    if (!fs::is_symlink(path, ec) || !fs::exists(path, ec) || seen.count(key)) continue;
    seen.insert(key);
    scanned.push_back({key, path});
  }
  return scanned;
}

void CPortMap::Refresh() {
  const std::vector<Scanned> scanned = ScanDevices();
  std::lock_guard<std::mutex> guard(m_mutex);

  std::map<std::string, const Scanned*> present;
  for (const Scanned& s : scanned) present[Canonical(s.device)] = &s;
  std::set<std::string> overridden;
  for (const auto& [number, device] : m_overrides) overridden.insert(Canonical(device));

  // A device keeps its number while it stays; gone ones free theirs (and remember it).
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
  auto taken = [&](int n) { return m_overrides.count(n) || m_assigned.count(n); };
  auto rememberedFor = [&](const Scanned& s) {
    for (const std::string& key : {s.stablePath, Canonical(s.device)}) {
      if (key.empty()) continue;
      auto it = m_remembered.find(key);
      if (it != m_remembered.end() && !taken(it->second)) return it->second;
    }
    return 0;
  };
  // Numbers a device that left may come back for; others take them only when nothing
  // else is free.
  std::set<int> reserved;
  for (const auto& [key, number] : m_remembered)
    if (!taken(number)) reserved.insert(number);

  for (const Scanned& s : scanned) {
    const std::string key = Canonical(s.device);
    if (numbered.count(key) || overridden.count(key)) continue;
    int number = rememberedFor(s);
    for (int pass = 0; number == 0 && pass < 2; ++pass)
      for (int n = 1; n <= kPortCount && number == 0; ++n)
        if (!taken(n) && (pass == 1 || !reserved.count(n))) number = n;
    if (number == 0) break;
    m_assigned[number] = s.device;
    reserved.erase(number);
    numbered.insert(key);
  }
  // Whoever holds a number now is who gets it back after leaving.
  for (auto it = m_remembered.begin(); it != m_remembered.end();)
    it = m_assigned.count(it->second) ? m_remembered.erase(it) : std::next(it);
  for (const auto& [number, device] : m_assigned) {
    const Scanned* s = present[Canonical(device)];
    m_remembered[Canonical(device)] = number;
    if (s && !s->stablePath.empty()) m_remembered[s->stablePath] = number;
  }

  m_details.clear();
  auto stableOf = [&](const std::string& device) {
    auto it = present.find(Canonical(device));
    return it == present.end() ? std::string() : it->second->stablePath;
  };
  for (const auto& [number, device] : m_overrides) m_details[number] = Describe(device, stableOf(device));
  for (const auto& [number, device] : m_assigned) m_details[number] = Describe(device, stableOf(device));
}

PortEntry CPortMap::Describe(const std::string& device, const std::string& stablePath) const {
  PortEntry entry;
  entry.device = device;
  entry.stablePath = stablePath;
  if (const NetworkAddress address = ParseNetworkAddress(device); address.kind != NetworkAddress::Kind::None) {
    entry.description = address.kind == NetworkAddress::Kind::Rfc2217 ? "network port (RFC 2217)"
                                                                       : "network port (raw TCP)";
    return entry;
  }
  const std::string real = Canonical(device);
  for (const std::string& ptsDir : {std::string("/dev/pts/"), m_devRoot + "/pts/"}) {
    if (StartsWith(device, ptsDir) || StartsWith(real, ptsDir)) {
      entry.description = "pseudo-terminal";
      return entry;
    }
  }

  std::error_code ec;
  const std::string name = fs::path(real).filename().string();
  const fs::path link = fs::path(m_sysRoot) / "class" / "tty" / name / "device";
  const fs::path port = fs::canonical(link, ec);
  if (ec) return entry;
  const fs::path sysTop = fs::canonical(m_sysRoot, ec);
  if (ec) return entry;

  // USB adapters: the USB device directory above the tty carries the names it reports
  // and its vendor/product numbers, which the hardware database names.
  const std::string top = sysTop.string() + "/";
  for (fs::path dir = port; StartsWith(dir.string(), top); dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec) && !fs::exists(dir / "product", ec)) continue;
    const std::string manufacturer = FirstLine(dir / "manufacturer");
    const std::string product = FirstLine(dir / "product");
    entry.serialNumber = FirstLine(dir / "serial");
    std::string dbVendor, dbModel;
    const uint16_t vendorId = HexId(dir / "idVendor");
    if (vendorId != 0) m_pNames->UsbNames(vendorId, HexId(dir / "idProduct"), &dbVendor, &dbModel);
    entry.vendor = SaysNothing(manufacturer) && !dbVendor.empty() ? dbVendor : manufacturer;
    entry.model = SaysNothing(product) && !dbModel.empty() ? dbModel : product;
    entry.description = Joined(entry.vendor, entry.model);
    return entry;
  }
  // Newer kernels put generic serial-base "port" and "ctrl" devices between the tty and
  // the UART; the UART's own driver is the telling name.
  for (fs::path dir = port; StartsWith(dir.string(), top); dir = dir.parent_path()) {
    const fs::path driver = fs::canonical(dir / "driver", ec);
    if (ec) continue;
    if (driver.parent_path().parent_path().filename() == "serial-base") continue;
    entry.description = driver.filename().string();
    break;
  }
  return entry;
}

std::vector<PortEntry> CPortMap::Entries() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  std::vector<PortEntry> entries;
  for (int number = 1; number <= kPortCount; ++number) {
    PortEntry entry;
    std::string device;
    if (auto it = m_overrides.find(number); it != m_overrides.end())
      device = it->second;
    else if (auto at = m_assigned.find(number); at != m_assigned.end())
      device = at->second;
    if (auto d = m_details.find(number); d != m_details.end() && !device.empty()) entry = d->second;
    entry.number = number;
    entry.device = device;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<PortEntry> CPortMap::MappedEntries() const {
  std::vector<PortEntry> entries = Entries();
  std::erase_if(entries, [](const PortEntry& e) { return e.device.empty(); });
  return entries;
}

std::string CPortMap::DeviceFor(int number) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (auto it = m_overrides.find(number); it != m_overrides.end()) return it->second;
  if (auto it = m_assigned.find(number); it != m_assigned.end()) return it->second;
  return "";
}

int CPortMap::NumberOf(const std::string& device) const {
  const std::string key = Canonical(device);
  std::lock_guard<std::mutex> guard(m_mutex);
  for (const auto* table : {&m_overrides, &m_assigned})
    for (const auto& [number, mapped] : *table)
      if (mapped == device || Canonical(mapped) == key) return number;
  return 0;
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
