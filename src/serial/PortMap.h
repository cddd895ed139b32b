#pragma once
// COM1..COM15 numbering mapped to this machine's serial devices. Devices named on the
// command line ("COMn=DEVICE") take their number; the rest are numbered in a stable order:
// USB adapters (/dev/ttyUSB*), ACM devices (/dev/ttyACM*), then board UARTs that have a
// device behind them (ttyAMA*, ttyTHS*, ttymxc*, ttyO*, ttySAC*, ttyLP*, real ttyS*). A
// device keeps its number while it stays, and gets it back when it returns (an adapter
// pulled and plugged in again) unless another device took it meanwhile.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/HardwareNames.h"

struct PortEntry {
  int number = 0;            // 1..15
  std::string device;        // empty when nothing is mapped
  std::string description;   // e.g. "FTDI FT232R USB UART", a driver name, or "pseudo-terminal"
  // A name that survives re-plugging and renumbering: /dev/serial/by-id/... for USB
  // devices, the /dev/serial0 or /dev/serial1 alias for a board's console UARTs.
  std::string stablePath;
  std::string vendor;        // from the USB descriptors, or the hardware database
  std::string model;
  std::string serialNumber;  // the USB serial number string, when the adapter has one
};

// A port as the operator names it on a command line: "COMn", "COMn=DEVICE" or a device path.
struct PortName {
  int number = 0;      // n of "COMn" or "COMn=DEVICE"; 0 for a device path
  std::string device;  // DEVICE of "COMn=DEVICE", or the path; empty for a plain "COMn"
  bool ok = true;      // false: "COMn=DEVICE" with n outside 1..15 or no device
};
PortName ParsePortName(const std::string& text);

// How a port is named to the operator: "COMn" when it has a number, else its device path.
std::string PortLabel(int number, const std::string& device);

class CPortMap {
 public:
  static constexpr int kPortCount = 15;

  // Roots and the hardware database are injectable so tests can use fake trees.
  explicit CPortMap(std::string devRoot = "/dev", std::string sysRoot = "/sys",
                    std::shared_ptr<IHardwareNames> names = nullptr);

  // "COMn=DEVICE": returns false on a malformed mapping. An override takes its number at once;
  // a device it displaces is renumbered (lowest free number).
  bool AddOverride(const std::string& mapping);
  void AddOverride(int number, const std::string& device);
  void RemoveOverride(int number);
  // A port on another machine ("rfc2217://HOST:PORT", "socket://HOST:PORT") on the number it
  // already has, or the lowest number with no device; 0 when all fifteen are taken.
  int AddNetworkPort(const std::string& address);
  // What to open for a port named on a command line: "COMn=DEVICE" is mapped first; a
  // "COMn" gets the device mapped to n now (empty when none); a path stays as it is.
  PortName Resolve(const std::string& text);

  // Rescans the devices; numbers already given to a device that still exists are kept.
  void Refresh();
  std::vector<PortEntry> Entries() const;  // always 15 entries, COM1..COM15
  std::vector<PortEntry> MappedEntries() const;  // the entries with a device, by number
  std::string DeviceFor(int number) const; // empty when unmapped
  // The number a device path has (any name of it: /dev/ttyUSB0, its by-id link, the
  // serial0 alias), or 0.
  int NumberOf(const std::string& device) const;
  // Parses "COMn" (any case) to n, or 0.
  static int ParseComName(const std::string& text);

  const std::string& DevRoot() const { return m_devRoot; }

 private:
  struct Scanned {
    std::string device;
    std::string stablePath;
  };
  PortEntry Describe(const std::string& device, const std::string& stablePath) const;
  std::vector<Scanned> ScanDevices() const;
  std::map<std::string, std::string> StableNames() const;  // canonical device -> stable path

  mutable std::mutex m_mutex;  // the window refreshes while the engine maps a number
  std::string m_devRoot;
  std::string m_sysRoot;
  std::shared_ptr<IHardwareNames> m_pNames;
  std::map<int, std::string> m_overrides;
  std::map<int, std::string> m_assigned;
  std::map<int, PortEntry> m_details;
  // Stable identity -> number, kept after the device leaves so it can have it back.
  std::map<std::string, int> m_remembered;
};

// The process-wide map the window and the engine share.
CPortMap& GlobalPortMap();
