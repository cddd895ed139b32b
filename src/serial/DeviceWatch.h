#pragma once
// Notices serial devices appearing and leaving: an inotify watch on the device folder (and
// on its serial/by-id folder, where udev puts the stable names). The owner polls Fd() in
// its event loop and calls TakeEvents() when it is readable; nothing here blocks or spins.
#include <string>

class CDeviceWatch {
 public:
  // devRoot is injectable so tests can watch a fake /dev.
  explicit CDeviceWatch(std::string devRoot = "/dev");
  ~CDeviceWatch();
  CDeviceWatch(const CDeviceWatch&) = delete;
  CDeviceWatch& operator=(const CDeviceWatch&) = delete;

  bool IsValid() const { return m_fd >= 0; }
  int Fd() const { return m_fd; }  // readable when events are waiting
  // Reads every waiting event; true when one of them concerns a serial device (a tty node,
  // a serialN alias or a stable name), i.e. when the port list should be refreshed.
  bool TakeEvents();

  // Names in the device folder that can be serial ports or their aliases.
  static bool IsSerialName(const std::string& name);

 private:
  void WatchById();

  std::string m_devRoot;
  int m_fd = -1;
  int m_devWatch = -1;
  int m_serialWatch = -1;  // devRoot/serial, so by-id is found when udev creates it
  int m_byIdWatch = -1;
};
