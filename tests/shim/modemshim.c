/* Preloaded into programs that talk to a mocked serial device, ahead of umockdev's library. A pty
 * refuses the modem-line ioctls, and umockdev answers every ioctl on a mocked tty with ENOTTY
 * without touching its argument. When the real call fails that way, answer TIOCMGET, TIOCMSET,
 * TIOCMBIS and TIOCMBIC from a line mask kept per descriptor, so that RTS and DTR can be asserted
 * and read back. All four take an int * (TIOCMGET writes one int, the others read one); every
 * other request is left as the real call answered it. The mask is dropped when the descriptor is
 * closed: a port opened later on the same number starts with its lines down. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

#define MAX_FDS 4096
static int lines[MAX_FDS];

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real_ioctl)(int, unsigned long, ...);
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *); /* a pointer, or an int by value: passed on unchanged */
    va_end(ap);
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");

    int result = real_ioctl(fd, request, arg);
    if (result != -1 || (errno != ENOTTY && errno != EINVAL) || fd < 0 || fd >= MAX_FDS)
        return result;

    int *bits = (int *)arg;
    switch (request) {
    case TIOCMGET:
        *bits = lines[fd];
        return 0;
    case TIOCMSET:
        lines[fd] = *bits;
        return 0;
    case TIOCMBIS:
        lines[fd] |= *bits;
        return 0;
    case TIOCMBIC:
        lines[fd] &= ~*bits;
        return 0;
    default:
        return result;
    }
}

int close(int fd)
{
    static int (*real_close)(int);
    if (!real_close)
        real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < MAX_FDS)
        lines[fd] = 0;
    return real_close(fd);
}
