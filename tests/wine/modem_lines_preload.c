/* Test scaffolding for running the Windows build under Wine, never part of
 * the program. Wine's wait for serial events asks for the modem lines with
 * TIOCMGET, which a pseudo-terminal refuses, and then gives up the wait at
 * once. Loaded with LD_PRELOAD into the Wine process, this answers TIOCMGET
 * on a pseudo-terminal with the lines of a connected device (DSR, CTS, DCD
 * up), so the wait reports received characters as a real port would. Once
 * the far end has hung up, the request fails as it does for a USB adapter
 * that was unplugged, so the wait fails as it would on such a port. Every
 * other request goes to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Unix98 pseudo-terminal slaves have majors 136 to 143. */
static int isPtySlave(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    unsigned int deviceMajor = major(info.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

static int hungUp(int fd) {
    struct pollfd line = {fd, POLLIN, 0};
    return poll(&line, 1, 0) == 1 && (line.revents & POLLHUP) != 0;
}

typedef int (*IoctlFunction)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...) {
    static IoctlFunction next = 0;
    if (!next) {
        /* ISO C has no cast from an object pointer to a function pointer. */
        void* symbol = dlsym(RTLD_NEXT, "ioctl");
        memcpy(&next, &symbol, sizeof next);
    }

    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    if (request == TIOCMGET && isPtySlave(fd)) {
        int saved = errno;
        if (next(fd, request, argument) == 0) return 0;
        int failure = errno;
        if (hungUp(fd)) {
            errno = failure;
            return -1;
        }
        *(int*)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        errno = saved;
        return 0;
    }
    return next(fd, request, argument);
}
