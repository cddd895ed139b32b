#include "serial/LowLatency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr int kWantedTimerMs = 1;

std::string Why(int errnum) {
  if (errnum == EACCES || errnum == EPERM) return "not permitted";
  if (errnum == ENOTTY || errnum == EINVAL || errnum == ENOSYS || errnum == EOPNOTSUPP)
    return "not supported by its driver";
  return std::system_category().message(errnum);
}

// The tty's name in sysfs: /dev/serial/by-id/usb-FTDI_... resolves to ttyUSB0.
std::string TtyName(const std::string& device) {
  std::error_code ec;
  const fs::path real = fs::canonical(device, ec);
  return (ec ? fs::path(device) : real).filename().string();
}

bool ReadNumber(const fs::path& file, int* value) {
  std::ifstream in(file);
  return static_cast<bool>(in >> *value);
}

// 0 when written, else an errno.
int WriteNumber(const fs::path& file, int value) {
  std::ofstream out(file);
  if (!out) return errno ? errno : EACCES;
  out << value << '\n';
  out.flush();
  return out ? 0 : (errno ? errno : EIO);
}

}  // namespace

LowLatencyOutcome RequestLowLatency(int fd, const std::string& device, const std::string& sysRoot) {
  LowLatencyOutcome result;
  LowLatencyState& state = result.state;

  int flagErrno = 0;
  serial_struct info {};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
    flagErrno = errno;
  } else if (!(info.flags & ASYNC_LOW_LATENCY)) {
    state.oldFlags = info.flags;
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) == 0)
      state.flagChanged = true;
    else
      flagErrno = errno;
  }

  // Only USB serial drivers with a packet timer have this attribute (ftdi_sio).
  const fs::path timer = fs::path(sysRoot) / "class" / "tty" / TtyName(device) / "device" /
                         "latency_timer";
  int before = 0;
  std::error_code ec;
  const bool hasTimer = fs::exists(timer, ec) && ReadNumber(timer, &before);
  int timerErrno = 0;
  if (hasTimer && before > kWantedTimerMs) {
    errno = 0;
    timerErrno = WriteNumber(timer, kWantedTimerMs);
    int after = 0;
    if (timerErrno == 0 && ReadNumber(timer, &after) && after == kWantedTimerMs) {
      state.timerPath = timer.string();
      state.oldTimer = before;
    } else if (timerErrno == 0) {
      timerErrno = EINVAL;  // written but not taken
    }
  }

  if (hasTimer && timerErrno != 0) {
    result.problem = "The USB latency timer of " + device + " stays at " +
                     std::to_string(before) + " ms (" + Why(timerErrno) +
                     "): block reads can be up to four times slower. Install the udev rule "
                     "from the README (Troubleshooting) to set it to 1 ms for good.";
  } else if (!hasTimer && flagErrno != 0) {
    result.problem = "Low latency mode is not available on " + device + " (" + Why(flagErrno) +
                     "); received bytes arrive at the driver's pace. If block reads are slow, "
                     "use a higher baud rate or an adapter whose latency can be lowered.";
  }
  return result;
}

void RestoreLowLatency(int fd, const LowLatencyState& state) {
  if (state.flagChanged) {
    serial_struct info {};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
      info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (state.oldFlags & ASYNC_LOW_LATENCY);
      ioctl(fd, TIOCSSERIAL, &info);
    }
  }
  if (!state.timerPath.empty()) WriteNumber(state.timerPath, state.oldTimer);
}
