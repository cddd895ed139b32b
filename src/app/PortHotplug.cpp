#include "app/PortHotplug.h"

#include <QSocketNotifier>

#include "serial/DeviceWatch.h"

CPortHotplug::CPortHotplug(const std::string& devRoot, std::function<void()> changed,
                           QObject* parent)
    : QObject(parent),
      m_pWatch(std::make_unique<CDeviceWatch>(devRoot)),
      m_changed(std::move(changed)) {
  // Without inotify the list still refreshes each time it is opened.
  if (!m_pWatch->IsValid()) return;
  m_pNotifier = new QSocketNotifier(m_pWatch->Fd(), QSocketNotifier::Read, this);
  connect(m_pNotifier, &QSocketNotifier::activated, this, [this] { OnReadable(); });
}

CPortHotplug::~CPortHotplug() {
  delete m_pNotifier;  // before the descriptor it watches is closed
  m_pNotifier = nullptr;
}

bool CPortHotplug::IsWatching() const { return m_pNotifier != nullptr; }

void CPortHotplug::OnReadable() {
  if (m_pWatch->TakeEvents() && m_changed) m_changed();
}
