// The rate the master set on the line. The driver sets any rate through
// termios2, so the kernel's own termios2 is read back: on a pty master the
// request reaches the slave's settings, which are the ones the driver chose.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "sim_serve.h"

// <sys/ioctl.h> would bring in the C library's termios, which clashes with
// the kernel's.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace sim {

uint32_t LineRate(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace sim
