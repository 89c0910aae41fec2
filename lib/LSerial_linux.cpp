#include "LSerial_linux.h"

#include "trace.h"
#include "ttyinfo.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The line settings: raw 8N1, receiver on, modem lines ignored, every byte
// passed through untouched, and a read that returns as soon as one byte is
// there. Bits not named here keep the values the device had.
//
// The second group of each mask are bits a terminal program may have left
// on the adapter, each of which breaks the protocol: ISTRIP clears bit 7 of
// every byte (the reply lead FC reads as 7C), PARMRK doubles every FF byte
// (an acknowledgement whose sum is FF shifts every later one), BRKINT
// flushes both queues on a break, and CRTSCTS holds every write until CTS,
// which an RS-485 adapter does not drive.
constexpr tcflag_t iflag_clear =
    INPCK | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF | IUTF8 | ISTRIP | PARMRK | BRKINT;
constexpr tcflag_t iflag_set = IGNPAR;
constexpr tcflag_t oflag_clear = OPOST;
constexpr tcflag_t cflag_clear = CSIZE | CSTOPB | PARENB | CRTSCTS;
constexpr tcflag_t cflag_set = CS8 | CREAD | CLOCAL;
constexpr tcflag_t lflag_clear = ISIG | ICANON | ECHO | ECHOE;
static_assert((iflag_clear & ~tcflag_t{ISTRIP | PARMRK | BRKINT}) == 0x5DD0 && iflag_set == 0x4);
static_assert((cflag_clear & ~tcflag_t{CRTSCTS}) == 0x170 && cflag_set == 0x8B0);
static_assert(lflag_clear == 0x1B);

// Failed writes to the bus since the program started.
int write_failures_seen = 0;

// Many USB-serial chips (and the 16550 UART) cannot run at 4,000,000 baud
// and silently keep or pick another rate; every exchange would then time out
// with no hint why. Name the rate the device reports.
void warn_if_slow(int fd, const char *path) {
    termios now{};
    if (tcgetattr(fd, &now) == 0 && cfgetospeed(&now) != B4000000) {
        fprintf(stderr,
                "warning: %s runs at %u baud, not 4000000; the adapter may not support this "
                "speed\n",
                path, baud_of(cfgetospeed(&now)));
    }
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, for a wait of timeout_ms that started
// earlier; a negative timeout_ms means "no limit" and stays so.
int remaining_ms(Clock::time_point deadline, int timeout_ms) {
    if (timeout_ms < 0) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits on the poll set for one event, at most timeout_ms. A wait that a
// stop and continue of the process interrupts (EINTR) goes on for the time
// that remains. True when the event is for fd.
bool wait_readable(int fd, int pollset, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int wait_ms = timeout_ms;
    for (;;) {
        epoll_event event{};
        const int n = epoll_wait(pollset, &event, 1, wait_ms);
        if (n > 0) {
            return event.data.fd == fd;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
        wait_ms = remaining_ms(deadline, timeout_ms);
    }
}

} // namespace

int open_set(const char *path) {
    // Not blocking: on a UART whose CLOCAL another program cleared, a
    // blocking open waits for a carrier that an RS-485 adapter never raises.
    // The descriptor blocks again once CLOCAL is set, before any exchange.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (trace_on) {
            trace_event("cannot open %s: %s", path, strerror(errno));
        }
        perror("open serial error");
        exit(-1);
    }
    // One program at a time on the bus: a second one would interleave its
    // frames with a flash in progress.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (trace_on) {
            trace_event("%s is in use by another program", path);
        }
        fprintf(stderr, "open serial error: %s is in use by another program\n", path);
        exit(-1);
    }

    termios tio{};
    tcgetattr(fd, &tio);
    cfsetispeed(&tio, B4000000);
    cfsetospeed(&tio, B4000000);
    tcsetattr(fd, TCSANOW, &tio);

    serial_struct serinfo{};
    const int r = ioctl(fd, TIOCGSERIAL, &serinfo);
    if (r < 0) {
        if (trace_on) {
            trace_event("%s is not a serial port: TIOCGSERIAL failed: %s", path, strerror(errno));
        }
        perror("Ioctl error on getting serial configure");
        close(fd);
        return r;
    }
    // The low-latency flag is one any user who may open the port can set.
    // Drivers with a latency timer (ftdi_sio) then pass short replies on
    // after 1 ms instead of their 16 ms default, which is what every
    // acknowledged exchange waits for; the adapter keeps it until unplugged.
    // Drivers without such a timer ignore it.
    serinfo.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serinfo) < 0) {
        perror("Ioctl error on setting serial configure");
    }

    tio.c_iflag = (tio.c_iflag & ~iflag_clear) | iflag_set;
    tio.c_oflag &= ~oflag_clear;
    tio.c_cflag = (tio.c_cflag & ~cflag_clear) | cflag_set;
    tio.c_lflag &= ~lflag_clear;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, &tio);
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) {
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    warn_if_slow(fd, path);
    if (trace_on) {
        trace_device(fd, path);
    }
    return fd;
}

int send_recv_timeout(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
                      uint16_t buf_len, int timeout_ms) {
    if (data_len != 0) {
        const ssize_t w = write(fd, data, data_len);
        if (trace_on) {
            trace_write(data, data_len, w, errno);
        }
        if (w < 0) {
            ++write_failures_seen;
            perror("write err\n");
        }
    }
    if (trace_on) {
        trace_flush();
    }
    if (!wait_readable(fd, pollset, timeout_ms)) {
        if (trace_on) {
            trace_event("time-out: no byte of a %u-byte reply within %d ms", buf_len, timeout_ms);
        }
        return 0;
    }
    if (buf_len == 0) {
        return 0;
    }

    // The first byte is there. The rest of the reply must follow within the
    // exchange's own time-out; a reply cut short, a hang-up (read gives 0,
    // and epoll would report the descriptor readable for ever after) or a
    // read error gives 0, never a partial count.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint16_t got = 0;
    for (;;) {
        const ssize_t n = read(fd, buf + got, buf_len - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (trace_on) {
                const int err = errno;
                trace_event("%s: read %s after %u of %u bytes",
                            n == 0 || err == EIO ? "hang-up" : "read failed",
                            n == 0 ? "gave end of file" : strerror(err), got, buf_len);
            }
            return 0;
        }
        if (trace_on) {
            trace_read(buf + got, static_cast<size_t>(n), buf, got + static_cast<size_t>(n),
                       buf_len);
        }
        got = static_cast<uint16_t>(got + n);
        if (got == buf_len) {
            return buf_len;
        }
        if (!wait_readable(fd, pollset, remaining_ms(deadline, timeout_ms))) {
            if (trace_on) {
                trace_event("time-out: reply cut short, %u of %u bytes", got, buf_len);
            }
            return 0;
        }
    }
}

int send_recv(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
              uint16_t buf_len) {
    return send_recv_timeout(fd, pollset, data, data_len, buf, buf_len, 1000);
}

int broadcast(int fd, const uint8_t *data, uint16_t data_len) {
    const ssize_t w = write(fd, data, data_len);
    if (trace_on) {
        trace_write(data, data_len, w, errno);
        trace_flush();
    }
    if (w < 0) {
        ++write_failures_seen;
        perror("write err\n");
        return 1;
    }
    return 0;
}

int close_serial(int fd) {
    return close(fd);
}

int write_failures() {
    return write_failures_seen;
}
