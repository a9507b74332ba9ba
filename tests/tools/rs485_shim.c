/* LD_PRELOAD shim: a port with a kernel RS-485 mode on a pseudo-terminal.
 * TIOCGRS485 and TIOCSRS485 on a terminal succeed and act on one mode kept
 * here (at first: off, 7 ms after send, as a port left by someone else);
 * each call is appended to the file that ROVOD_RS485_SHIM names, as
 * "get|set FLAGS BEFORE AFTER". Every other ioctl goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static struct serial_rs485 g_mode = {.flags = 0, .delay_rts_before_send = 0, .delay_rts_after_send = 7};

static void Note(const char *what, const struct serial_rs485 *mode) {
    const char *path = getenv("ROVOD_RS485_SHIM");
    FILE *log = path != NULL ? fopen(path, "a") : NULL;
    if (log == NULL) return;
    fprintf(log, "%s %#x %u %u\n", what, mode->flags, mode->delay_rts_before_send,
            mode->delay_rts_after_send);
    fclose(log);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...) = NULL;
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (real == NULL) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    if ((request == TIOCGRS485 || request == TIOCSRS485) && isatty(fd)) {
        struct serial_rs485 *mode = arg;
        if (request == TIOCGRS485) {
            *mode = g_mode;
            Note("get", mode);
        } else {
            g_mode = *mode;
            Note("set", mode);
        }
        return 0;
    }
    return real(fd, request, arg);
}
