#include "link/serial_baud_posix.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

int set_any_baud(int fd, int baud) {
  if (baud <= 0) return 0;
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  if (ioctl(fd, TCSETS2, &tio) != 0) return 0;
  struct termios2 check {};
  if (ioctl(fd, TCGETS2, &check) != 0) return 0;
  // Within 2 %, as a UART needs; a driver may round or refuse the speed silently.
  long actual = static_cast<long>(check.c_ospeed);
  long off = actual > baud ? actual - baud : baud - actual;
  return off * 50 <= baud ? 1 : 0;
}

int get_any_baud(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return static_cast<int>(tio.c_ospeed);
}
#else
int set_any_baud(int, int) { return 0; }
int get_any_baud(int) { return 0; }
#endif
