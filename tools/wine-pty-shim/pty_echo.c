/* TEST EQUIPMENT ONLY.
 *
 * The far end of a serial line for the Windows tests under Wine: a pseudo-terminal
 * whose every received byte is sent straight back, as the one-wire line echoes. Prints
 * the terminal's path as its first line on stdout, then serves until SIGTERM or SIGINT.
 *
 * It keeps the terminal's own end open itself, so that the port can be opened and
 * closed by the program under test any number of times without the line hanging up.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static volatile sig_atomic_t g_stop;

static void on_signal(int sig) {
    (void)sig;
    g_stop = 1;
}

static int write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                struct pollfd pfd = {fd, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 1) {
        fprintf(stderr, "usage: %s\n", argv[0]);
        return 2;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("pty");
        return 1;
    }
    const char* name = ptsname(master);
    int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        perror("open slave");
        return 1;
    }
    struct termios tio;
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    printf("%s\n", name);
    fflush(stdout);

    unsigned char buf[4096];
    while (!g_stop) {
        struct pollfd pfd = {master, POLLIN, 0};
        int r = poll(&pfd, 1, 200);
        if (r <= 0) {
            continue;
        }
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            if (write_all(master, buf, (size_t)n) != 0) {
                break;
            }
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) {
            break;
        }
    }
    return 0;
}
