#pragma once
// COM1..COM15 numbering mapped to this machine's serial devices. Devices named on the
// command line ("COMn=DEVICE") take their number; the rest are numbered in a stable order:
// USB adapters (/dev/ttyUSB*), ACM devices (/dev/ttyACM*), then on-board UARTs that exist.
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct PortEntry {
  int number = 0;            // 1..15
  std::string device;        // empty when nothing is mapped
  std::string description;   // e.g. "FTDI FT232R USB UART" from sysfs, or "pseudo-terminal"
};

class CPortMap {
 public:
  static constexpr int kPortCount = 15;

  // Roots are injectable so tests can use fake /dev and /sys trees.
  explicit CPortMap(std::string devRoot = "/dev", std::string sysRoot = "/sys");

  // "COMn=DEVICE": returns false on a malformed mapping. An override takes its number at once;
  // a device it displaces is renumbered (lowest free number).
  bool AddOverride(const std::string& mapping);
  void AddOverride(int number, const std::string& device);
  void RemoveOverride(int number);

  // Rescans the devices; numbers already given to a device that still exists are kept.
  void Refresh();
  std::vector<PortEntry> Entries() const;  // always 15 entries, COM1..COM15
  std::string DeviceFor(int number) const; // empty when unmapped
  // Parses "COMn" (any case) to n, or 0.
  static int ParseComName(const std::string& text);

 private:
  std::string DescribeDevice(const std::string& device) const;
  std::vector<std::string> ScanDevices() const;

  mutable std::mutex m_mutex;  // the window refreshes while the engine maps a number
  std::string m_devRoot;
  std::string m_sysRoot;
  std::map<int, std::string> m_overrides;
  std::map<int, std::string> m_assigned;
  std::map<int, std::string> m_descriptions;
};

// The process-wide map the window and the engine share.
CPortMap& GlobalPortMap();
