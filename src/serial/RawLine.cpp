#include "serial/RawLine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial/BoundedClose.h"
#include "serial/SerialChannel.h"
#include "serial/SerialSpeed.h"

int SetRawLineSpeed(int fd, unsigned baud) {
  if (baud == 0) {
    errno = EINVAL;
    return -1;
  }
  // A rate with a Bnnn code goes through plain termios, as the channel sets it: that also
  // works where TCSETS2 does not (an emulator); other rates need BOTHER.
  speed_t code = B9600;
  if (LookupSpeed(baud, &code)) {
    termios tio {};
    if (tcgetattr(fd, &tio) != 0) return -1;
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return -1;
  } else if (SetArbitrarySpeed(fd, baud) != 0) {
    return -1;
  }
  // A driver that cannot make the rate keeps another one; allow the usual UART tolerance.
  const unsigned actual = LineSpeed(fd);
  if (actual != 0 && (actual > baud + baud / 50 || actual < baud - baud / 50)) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int OpenRawLine(const std::string& device, unsigned baud, std::string& error) {
  struct stat info {};
  if (::stat(device.c_str(), &info) == 0 && !S_ISCHR(info.st_mode)) {
    error = CSerialChannel::OpenErrorText(ENOTTY, device);
    return -1;
  }
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = CSerialChannel::OpenErrorText(errno, device);
    return -1;
  }
  auto refuse = [&](int errnum, std::string text) {
    ::close(fd);
    error = text.empty() ? CSerialChannel::OpenErrorText(errnum, device) : std::move(text);
    return -1;
  };
  if (!::isatty(fd)) return refuse(ENOTTY, "");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return refuse(EBUSY, "");
  ioctl(fd, TIOCEXCL);

  termios tio {};
  if (tcgetattr(fd, &tio) != 0) return refuse(errno, "");
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | CS8;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return refuse(errno, "");
  if (SetRawLineSpeed(fd, baud) != 0)
    return refuse(errno, device + " does not take " + std::to_string(baud) + " baud: " +
                             std::strerror(errno));
  tcflush(fd, TCIOFLUSH);
  return fd;
}

void CloseRawLine(int fd) {
  if (fd < 0) return;
  tcflush(fd, TCOFLUSH);  // nothing left for the driver to drain, which is what can hang close
  CloseWithin(fd, std::chrono::milliseconds(800));
}
