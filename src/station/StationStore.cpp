#include "station/StationStore.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace station {

CStoreInterrupt::CStoreInterrupt() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CStoreInterrupt::~CStoreInterrupt() {
  if (m_fd >= 0) ::close(m_fd);
}

void CStoreInterrupt::Interrupt() {
  m_interrupted = true;
  if (m_fd >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
  }
}

}  // namespace station
