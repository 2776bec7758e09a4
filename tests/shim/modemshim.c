/* Preloaded into programs that talk to a mocked serial device. A pty refuses the modem-line
 * ioctls; when the real call fails that way, answer TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC from a
 * line mask kept per descriptor, so that RTS and DTR can be asserted and read back. */
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
    void *arg = va_arg(ap, void *);
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
