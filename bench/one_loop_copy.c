/* The least one process can do to capture several ports into one file of
 * a given size: one poll over all the ports, reads of 4096 bytes, and each
 * byte read copied the given number of times into a 256 KiB buffer that is
 * written when full. No formatting at all; a hex capture writes as many
 * bytes and does more. Ends at SIGTERM, writing what it holds.
 *
 * Usage: one_loop_copy OUTPUT TIMES PORT...
 */
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MOST_PORTS 16
#define ROOM (256 * 1024)

static volatile sig_atomic_t stopped;

static void stop(int signal_number) {
    (void)signal_number;
    stopped = 1;
}

static void write_all(int fd, const unsigned char *bytes, size_t size) {
    while (size > 0) {
        ssize_t done = write(fd, bytes, size);
        if (done <= 0) exit(1);
        bytes += done;
        size -= (size_t)done;
    }
}

int main(int argc, char **argv) {
    if (argc < 4 || argc - 3 > MOST_PORTS) return 2;
    const double times = atof(argv[2]);
    const int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    const int ports = argc - 3;
    struct pollfd polls[MOST_PORTS];
    for (int i = 0; i < ports; ++i) {
        polls[i].fd = open(argv[3 + i], O_RDONLY | O_NONBLOCK | O_NOCTTY);
        polls[i].events = POLLIN;
        if (polls[i].fd < 0) return 1;
    }
    if (out < 0) return 1;
    signal(SIGTERM, stop);
    static unsigned char buffer[ROOM + 8 * 4096];
    unsigned char in[4096];
    size_t used = 0;
    while (!stopped) {
        if (poll(polls, (nfds_t)ports, -1) < 0) continue;
        for (int i = 0; i < ports; ++i) {
            if (!(polls[i].revents & POLLIN)) continue;
            ssize_t got = read(polls[i].fd, in, sizeof in);
            if (got <= 0) continue;
            size_t wanted = (size_t)((double)got * times);
            while (wanted > 0) {
                size_t take = wanted < (size_t)got ? wanted : (size_t)got;
                memcpy(buffer + used, in, take);
                used += take;
                wanted -= take;
                if (used >= ROOM) {
                    write_all(out, buffer, used);
                    used = 0;
                }
            }
        }
    }
    write_all(out, buffer, used);
    return 0;
}
