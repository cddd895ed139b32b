#pragma once
// Keeps the port list following the cable: a QSocketNotifier on the GUI thread's event
// loop reads the device watch and calls back when a serial device came or went. No timer,
// no thread.
#include <QObject>
#include <functional>
#include <memory>
#include <string>

class CDeviceWatch;
class QSocketNotifier;

class CPortHotplug : public QObject {
 public:
  CPortHotplug(const std::string& devRoot, std::function<void()> changed, QObject* parent = nullptr);
  ~CPortHotplug() override;
  bool IsWatching() const;

 private:
  void OnReadable();

  std::unique_ptr<CDeviceWatch> m_pWatch;
  QSocketNotifier* m_pNotifier = nullptr;
  std::function<void()> m_changed;
};
