// The posix system: termios, ioctl, poll, flock, clock_gettime, sched.
#include "platform/system.h"
