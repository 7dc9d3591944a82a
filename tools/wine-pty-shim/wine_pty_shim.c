/* TEST EQUIPMENT ONLY - never shipped, never loaded by the product.
 *
 * LD_PRELOAD library for running the Windows serial tests under Wine on a pseudo-
 * terminal. Linux ptys refuse the modem-line ioctls with ENOTTY; Wine polls them while
 * a WaitCommEvent is pending and ends every wait at once when they fail, so a reader
 * thread spins instead of sleeping until a character arrives.
 *
 * Here, and only when the real call on a terminal has failed with ENOTTY, the
 * modem-line requests succeed as on a cable with every line up (DTR, RTS, CTS, DSR,
 * CD), and setting lines is accepted and forgotten. Every other call goes through
 * untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static const int kLinesUp = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;

int ioctl(int fd, unsigned long request, ...) {
    static ioctl_fn real_ioctl;
    va_list ap;
    void* arg;
    int rc;
    int saved;

    va_start(ap, request);
    arg = va_arg(ap, void*);
    va_end(ap);

    if (!real_ioctl) {
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
        if (!real_ioctl) {
            errno = ENOSYS;
            return -1;
        }
    }
    rc = real_ioctl(fd, request, arg);
    if (rc != -1 || errno != ENOTTY) {
        return rc;
    }
    saved = errno;
    if (!isatty(fd)) {
        errno = saved;
        return rc;
    }
    switch (request) {
        case TIOCMGET:
            if (arg) {
                *(int*)arg = kLinesUp;
            }
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return 0;
        default:
            errno = saved;
            return rc;
    }
}
