// The output speed the tool set on its side of the pseudo-terminal. Kept apart because the
// kernel's struct termios2 cannot share a translation unit with glibc's <termios.h>, and
// only termios2 reports rates that have no Bnnn constant.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace camsim {

unsigned ToolLineSpeed(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}

}  // namespace camsim
