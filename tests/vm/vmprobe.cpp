// vmprobe: the VM tests' helper inside the guest. Runs a program and
// reports how it ended, reads a serial device's driver configuration,
// writes test images and watches a line drop. Everything it prints is framed for the
// host: "@@" lines, and output blocks preceded by their length. The host's
// half of this protocol is guest.cpp.
//
//   vmprobe run [-i MS] [-k MS] [-u UID:GID] PROGRAM ARGS...
//       -i: SIGINT after MS; -k: SIGKILL after MS (default 60000);
//       -u: PROGRAM runs as that user, with GID its only group
//   vmprobe serial DEVICE    TIOCGSERIAL, one line
//   vmprobe rs485 DEVICE     TIOCGRS485, one line
//   vmprobe image PATH SIZE SEED
//   vmprobe hangup DEVICE MS  opens DEVICE raw, writes one byte, waits up to MS
//                             for the line to drop, and reports what epoll,
//                             read and write then give
//   vmprobe uart DEVICE IRQ LOOP  gives a UART the interrupt line IRQ (0: the
//                             driver polls) and turns its loopback mode on
//                             (LOOP 1) or off, then reports its carrier line
#include "motor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void block(const char *name, const std::string &s) {
    printf("@@%s %zu\n", name, s.size());
    fwrite(s.data(), 1, s.size(), stdout);
}

int run(int argc, char **argv) {
    int int_ms = -1;
    int kill_ms = 60000;
    unsigned uid = 0;
    unsigned gid = 0;
    bool as_user = false;
    int at = 0;
    while (at + 1 < argc && argv[at][0] == '-') {
        if (argv[at][1] == 'u') {
            as_user = sscanf(argv[at + 1], "%u:%u", &uid, &gid) == 2;
        } else {
            (argv[at][1] == 'i' ? int_ms : kill_ms) = atoi(argv[at + 1]);
        }
        at += 2;
    }
    int out[2];
    int err[2];
    if (at >= argc || pipe(out) != 0 || pipe(err) != 0) {
        return 2;
    }
    const double t0 = now_ms();
    const pid_t pid = fork();
    if (pid == 0) {
        // A job the shell started in the background has SIGINT ignored;
        // the program gets the default action, as at a terminal.
        signal(SIGINT, SIG_DFL);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        const gid_t groups[] = {gid};
        if (as_user && (setgroups(1, groups) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
            perror("vmprobe: cannot become the user");
            _exit(127);
        }
        execv(argv[at], argv + at);
        perror("exec");
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::string text[2];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    bool sent_int = false;
    bool killed = false;
    int open_pipes = 2;
    while (open_pipes > 0) {
        const double t = now_ms() - t0;
        int wait = -1;
        if (int_ms >= 0 && !sent_int) {
            wait = static_cast<int>(int_ms - t);
        }
        if (!killed) {
            const int k = static_cast<int>(kill_ms - t);
            wait = wait < 0 ? k : std::min(wait, k);
        }
        const int n = poll(fds, 2, std::max(wait, 0));
        if (n < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buf[4096];
                const ssize_t got = read(fds[i].fd, buf, sizeof buf);
                if (got > 0) {
                    text[i].append(buf, static_cast<size_t>(got));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_pipes;
                }
            }
        }
        const double t2 = now_ms() - t0;
        if (int_ms >= 0 && !sent_int && t2 >= int_ms) {
            kill(pid, SIGINT);
            sent_int = true;
        }
        if (!killed && t2 >= kill_ms) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    const double ms = now_ms() - t0;
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    printf("@@RUN status=%d ms=%.0f cpu=%.0f killed=%d\n", code, ms, cpu, killed ? 1 : 0);
    block("OUT", text[0]);
    block("ERR", text[1]);
    fflush(stdout);
    return 0;
}

int serial(const char *path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    serial_struct s{};
    if (fd < 0 || ioctl(fd, TIOCGSERIAL, &s) != 0) {
        printf("@@SERIAL error=%s\n", strerror(errno));
        return 1;
    }
    printf("@@SERIAL type=%d line=%d port=%u irq=%d flags=%#x xmit_fifo_size=%d "
           "custom_divisor=%d baud_base=%d close_delay=%u io_type=%u hub6=%d "
           "closing_wait=%u iomem_reg_shift=%u port_high=%u\n",
           s.type, s.line, s.port, s.irq, static_cast<unsigned>(s.flags), s.xmit_fifo_size,
           s.custom_divisor, s.baud_base, s.close_delay, s.io_type, s.hub6, s.closing_wait,
           s.iomem_reg_shift, s.port_high);
    close(fd);
    return 0;
}

// The RS-485 mode the driver keeps, as TIOCGRS485 gives it: what the
// checks compare motorbus's answers and the tools' runs with.
int rs485(const char *path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    serial_rs485 r{};
    if (fd < 0 || ioctl(fd, TIOCGRS485, &r) != 0) {
        printf("@@RS485 error=%s\n", strerror(errno));
        return 1;
    }
    printf("@@RS485 flags=%#x before=%u after=%u\n", r.flags, r.delay_rts_before_send,
           r.delay_rts_after_send);
    close(fd);
    return 0;
}

int image(const char *path, const char *size, const char *seed) {
    const auto img = sim::sample_image(strtoul(size, nullptr, 10),
                                       static_cast<uint32_t>(strtoul(seed, nullptr, 10)));
    FILE *f = fopen(path, "wb");
    if (f == nullptr || fwrite(img.data(), 1, img.size(), f) != img.size()) {
        return 1;
    }
    return fclose(f) == 0 ? 0 : 1;
}

// What a program sees of a line that drops under it: the epoll events, a
// read and a write, each result as a count or the errno name.
std::string result(ssize_t n) {
    if (n >= 0) {
        return std::to_string(n);
    }
    return errno == EIO ? "EIO" : errno == EAGAIN ? "EAGAIN" : strerror(errno);
}

int hangup(const char *path, const char *ms) {
    const int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        printf("@@HANGUP open=%s\n", strerror(errno));
        return 1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    const int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    // The far end pulls the line when this byte arrives.
    const uint8_t mark = 0x55;
    if (write(fd, &mark, 1) != 1) {
        return 1;
    }
    epoll_event got{};
    const int n = epoll_wait(ep, &got, 1, atoi(ms));
    std::string events;
    for (const auto &[bit, name] : {std::pair{EPOLLIN, "IN"}, std::pair{EPOLLOUT, "OUT"},
                                    std::pair{EPOLLERR, "ERR"}, std::pair{EPOLLHUP, "HUP"}}) {
        if (n == 1 && (got.events & static_cast<uint32_t>(bit)) != 0) {
            events += events.empty() ? name : std::string("|") + name;
        }
    }
    uint8_t byte = 0;
    const std::string r = result(read(fd, &byte, 1));
    const std::string w = result(write(fd, &mark, 1));
    printf("@@HANGUP wait=%d events=%s read=%s write=%s\n", n, events.c_str(), r.c_str(),
           w.c_str());
    return 0;
}

// QEMU's 16550 on a socket holds its carrier (DCD) high. In loopback mode
// DCD follows the UART's OUT2 output instead, which the 8250 driver raises
// only for a port with an interrupt line: without one the carrier is low.
// A new interrupt line restarts the port, and the descriptor that asked for
// it then gives EIO: the modem lines are set through a second open.
int uart(const char *path, const char *irq, const char *loop) {
    constexpr int tiocm_loop = 0x8000; // TIOCM_LOOP of <asm/termios.h>, which <termios.h> excludes
    serial_struct s{};
    int bits = tiocm_loop;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool ok = ioctl(fd, TIOCGSERIAL, &s) == 0;
    s.irq = atoi(irq);
    ok = ok && ioctl(fd, TIOCSSERIAL, &s) == 0 && close(fd) == 0;
    fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ok = ok && ioctl(fd, atoi(loop) != 0 ? TIOCMBIS : TIOCMBIC, &bits) == 0 &&
         ioctl(fd, TIOCMGET, &bits) == 0 && ioctl(fd, TIOCGSERIAL, &s) == 0;
    if (!ok) {
        printf("@@UART error=%s\n", strerror(errno));
        return 1;
    }
    printf("@@UART irq=%d loop=%d carrier=%d\n", s.irq, (bits & tiocm_loop) != 0 ? 1 : 0,
           (bits & TIOCM_CAR) != 0 ? 1 : 0);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "run") {
        return run(argc - 2, argv + 2);
    }
    if (what == "serial" && argc == 3) {
        return serial(argv[2]);
    }
    if (what == "rs485" && argc == 3) {
        return rs485(argv[2]);
    }
    if (what == "image" && argc == 5) {
        return image(argv[2], argv[3], argv[4]);
    }
    if (what == "hangup" && argc == 4) {
        return hangup(argv[2], argv[3]);
    }
    if (what == "uart" && argc == 5) {
        return uart(argv[2], argv[3], argv[4]);
    }
    fprintf(stderr, "usage: vmprobe run|serial|rs485|image|hangup|uart ...\n");
    return 2;
}
