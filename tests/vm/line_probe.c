/* Guest-side helper for the VM tests: shows what a serial driver keeps of
 * the line settings a program asked for, and the line control register a
 * 16550 was really programmed with.
 *   line_probe show PATH   TCGETS2 of PATH (opened without changing it)
 *   line_probe lcr BASE    the LCR of the UART at I/O port BASE (e.g. 0x2f8)
 *   line_probe counts PATH the driver's counters (TIOCGICOUNT) of PATH
 */
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <unistd.h>

/* Opens PATH without changing it and asks the driver one question. */
static int ask(const char* path, unsigned long request, void* answer, const char* what) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        perror(path);
        return 1;
    }
    int status = ioctl(fd, request, answer);
    close(fd);
    if (status != 0) {
        perror(what);
        return 1;
    }
    return 0;
}

static int show(const char* path) {
    struct termios2 t;
    if (ask(path, TCGETS2, &t, "TCGETS2") != 0) return 1;
    static const int sizes[] = {5, 6, 7, 8};
    printf("data=%d parenb=%d parodd=%d cmspar=%d cstopb=%d cbaud=0%o ispeed=%u ospeed=%u\n",
           sizes[(t.c_cflag & CSIZE) >> 4], !!(t.c_cflag & PARENB), !!(t.c_cflag & PARODD),
           !!(t.c_cflag & CMSPAR), !!(t.c_cflag & CSTOPB), (unsigned)(t.c_cflag & CBAUD),
           t.c_ispeed, t.c_ospeed);
    return 0;
}

static int counts(const char* path) {
    struct serial_icounter_struct c;
    if (ask(path, TIOCGICOUNT, &c, "TIOCGICOUNT") != 0) return 1;
    printf("rx=%d brk=%d frame=%d parity=%d overrun=%d buf_overrun=%d\n", c.rx, c.brk, c.frame,
           c.parity, c.overrun, c.buf_overrun);
    return 0;
}

static int lcr(const char* baseText) {
    unsigned long base = strtoul(baseText, NULL, 0);
    if (ioperm(base, 8, 1) != 0) {
        perror("ioperm");
        return 1;
    }
    printf("lcr=0x%02x\n", inb(base + 3));
    return 0;
}

int main(int argc, char* argv[]) {
    if (argc == 3 && strcmp(argv[1], "show") == 0) return show(argv[2]);
    if (argc == 3 && strcmp(argv[1], "lcr") == 0) return lcr(argv[2]);
    if (argc == 3 && strcmp(argv[1], "counts") == 0) return counts(argv[2]);
    fprintf(stderr, "usage: line_probe show PATH | line_probe lcr BASE | line_probe counts PATH\n");
    return 2;
}
