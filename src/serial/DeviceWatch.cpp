#include "serial/DeviceWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;

}  // namespace

CDeviceWatch::CDeviceWatch(std::string devRoot) : m_devRoot(std::move(devRoot)) {
  m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_fd < 0) return;
  m_devWatch = inotify_add_watch(m_fd, m_devRoot.c_str(), kChanges | IN_ONLYDIR);
  if (m_devWatch < 0) {
    ::close(m_fd);
    m_fd = -1;
    return;
  }
  WatchById();
}

CDeviceWatch::~CDeviceWatch() {
  if (m_fd >= 0) ::close(m_fd);
}

void CDeviceWatch::WatchById() {
  // Both appear with the first USB adapter and may vanish with the last; watching an
  // existing folder again only returns the same descriptor.
  m_serialWatch = inotify_add_watch(m_fd, (m_devRoot + "/serial").c_str(), kChanges | IN_ONLYDIR);
  m_byIdWatch =
      inotify_add_watch(m_fd, (m_devRoot + "/serial/by-id").c_str(), kChanges | IN_ONLYDIR);
}

bool CDeviceWatch::IsSerialName(const std::string& name) {
  return name.compare(0, 3, "tty") == 0 || name.compare(0, 6, "serial") == 0;
}

bool CDeviceWatch::TakeEvents() {
  if (m_fd < 0) return false;
  bool relevant = false;
  bool rewatch = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;  // EAGAIN: all taken
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len ? event->name : "";
      if (event->mask & IN_Q_OVERFLOW) {
        relevant = rewatch = true;  // events were lost: look at everything again
      } else if (event->wd == m_devWatch) {
        if (IsSerialName(name)) relevant = true;
        if (name == "serial") rewatch = true;
      } else if (event->wd == m_serialWatch || event->wd == m_byIdWatch) {
        relevant = true;
        if (event->wd == m_serialWatch && name == "by-id") rewatch = true;
      }
      if (event->mask & IN_IGNORED) {  // a watched folder went away
        if (event->wd == m_serialWatch) m_serialWatch = -1;
        if (event->wd == m_byIdWatch) m_byIdWatch = -1;
      }
    }
  }
  if (rewatch) WatchById();
  return relevant;
}
