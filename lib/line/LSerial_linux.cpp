// The serial port layer (LSerial_linux.h): the line set up raw at
// 4,000,000 baud, the exchanges, broadcast, and writes with a limit. What
// comes back after a write is judged by the line model (line_model.h).
#include "line/LSerial_linux.h"

#include "host/console.h"
#include "host/setup.h"
#include "host/ttyinfo.h"
#include "line/line_model.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace line_model;

namespace {

// The line settings: raw 8N1, receiver on, modem lines ignored, every byte
// passed through untouched, and a read that returns as soon as one byte is
// there. Bits not named here keep the values the device had.
//
// The second group of each mask are bits a terminal program may have left
// on the adapter, each of which breaks the protocol: ISTRIP clears bit 7 of
// every byte (the reply lead FC reads as 7C), PARMRK doubles every FF byte
// (an acknowledgement whose sum is FF shifts every later one), IUCLC turns
// the bytes 41 to 5A into 61 to 7A (IEXTEN, which is kept, lets it act in
// raw mode too), BRKINT flushes both queues on a break, and CRTSCTS holds
// every write until CTS, which an RS-485 adapter does not drive.
constexpr tcflag_t iflag_leftovers = ISTRIP | PARMRK | IUCLC | BRKINT;
constexpr tcflag_t iflag_clear =
    INPCK | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF | IUTF8 | iflag_leftovers;
constexpr tcflag_t iflag_set = IGNPAR;
constexpr tcflag_t oflag_clear = OPOST;
constexpr tcflag_t cflag_clear = CSIZE | CSTOPB | PARENB | CRTSCTS;
constexpr tcflag_t cflag_set = CS8 | CREAD | CLOCAL;
constexpr tcflag_t lflag_clear = ISIG | ICANON | ECHO | ECHOE;
static_assert((iflag_clear & ~iflag_leftovers) == 0x5DD0 && iflag_set == 0x4);
static_assert((cflag_clear & ~tcflag_t{CRTSCTS}) == 0x170 && cflag_set == 0x8B0);
static_assert(lflag_clear == 0x1B);

// Many USB-serial chips (and the 16550 UART) cannot run at 4,000,000 baud
// and silently keep or pick another rate; every exchange would then time out
// with no hint why. Name the rate the device reports.
void warn_if_slow(int fd, const char *path) {
    termios now{};
    if (tcgetattr(fd, &now) == 0 && cfgetospeed(&now) != B4000000) {
        console_error("warning: %s runs at %u baud, not 4000000; the adapter may not support this "
                      "speed\n",
                      path, baud_of(cfgetospeed(&now)));
    } else {
        setup_warn_clamp(fd, path);
    }
}

// Exchanges that wanted a reply, and those that got one: a run in which not
// one was answered ends with a pointer to motorbus doctor (at exit).
int exchanges_asked = 0;
int exchanges_answered = 0;
bool silence_ok = false;
char silent_device[128] = {};

void point_to_doctor() {
    // Not after a failed write or a hang-up: the adapter went away.
    if (exchanges_asked > 0 && exchanges_answered == 0 && write_failures_seen == 0 && !line_lost) {
        console_error("hint: none of the %d exchanges on %s was answered; if motors are "
                      "connected and powered, 'motorbus doctor %s' checks the adapter's set-up\n",
                      exchanges_asked, silent_device, silent_device);
    }
}

// A write of len bytes that waits for room as long as the adapter keeps
// taking bytes, and at most write_stall_ms after the last one it took. The
// descriptor is made non-blocking for the write, so that a driver without
// room never holds it inside write(). Returns the bytes written, or -1 with
// errno when the write failed. An adapter that took none for write_stall_ms
// stalls the line: named once, its output queue discarded (a real UART or
// USB adapter would otherwise hold the close for its closing_wait, 30 s by
// default), and every later write fails at once.
ssize_t put(int fd, const uint8_t *data, size_t len) {
    if (stalled) {
        if (trace_on) {
            trace_event("not written: the adapter took no more bytes earlier");
        }
        errno = EAGAIN;
        return -1;
    }
    const int fl = fcntl(fd, F_GETFL);
    const bool blocking = fl >= 0 && (fl & O_NONBLOCK) == 0;
    if (blocking) {
        fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    }
    size_t done = 0;
    int err = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(write_stall_ms);
    while (done < len) {
        const ssize_t w = write(fd, data + done, len - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            deadline = Clock::now() + std::chrono::milliseconds(write_stall_ms);
            continue;
        }
        if (w < 0 && errno != EINTR && errno != EAGAIN) {
            err = errno;
            break;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        // No room: wait until there is some, or until the limit.
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline, write_stall_ms));
        if (ready == 0) {
            stalled = true;
            break;
        }
        if (ready < 0 && errno != EINTR) {
            err = errno;
            break;
        }
    }
    if (blocking) {
        fcntl(fd, F_SETFL, fl);
    }
    if (stalled) {
        tcflush(fd, TCOFLUSH);
        ++write_failures_seen;
        if (trace_on) {
            trace_write(data, len, static_cast<ssize_t>(done), 0);
            trace_event("stall: the adapter took no byte for %d ms", write_stall_ms);
        }
        console_error("error: %s: the adapter takes no more bytes (it accepted none for %d s)\n",
                      line.device, write_stall_ms / 1000);
        record_failure("the adapter takes no more bytes (it accepted none for %d s)",
                       write_stall_ms / 1000);
        errno = EAGAIN;
        return -1;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return static_cast<ssize_t>(done);
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
        console_perror("open serial error");
        tty_say_missing(path);
        setup_hint_access(path);
        if (errno == EBUSY) {
            setup_hint_holder(path); // opened exclusively (TIOCEXCL) by another program
        }
        exit(-1);
    }
    // One program at a time on the bus: a second one would interleave its
    // frames with a flash in progress.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (trace_on) {
            trace_event("%s is in use by another program", path);
        }
        console_error("open serial error: %s is in use by another program\n", path);
        setup_hint_holder(path);
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
        console_perror("Ioctl error on getting serial configure");
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
        console_perror("Ioctl error on setting serial configure");
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
    // A new port is a new line: nothing is known of it yet.
    reset(path);
    if (silent_device[0] == '\0') {
        snprintf(silent_device, sizeof silent_device, "%s", path);
        atexit(point_to_doctor);
    }
    if (trace_on) {
        trace_device(fd, path);
    }
    return fd;
}

namespace {

int exchange(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
             uint16_t buf_len, int timeout_ms) {
    uint16_t got = 0; // bytes of the reply in buf
    const bool looking = data_len != 0 && line.known != Line::clean;
    if (looking) {
        take_waiting(fd, buf, got, buf_len);
    }
    uint16_t written = 0;
    if (data_len != 0) {
        const ssize_t w = put(fd, data, data_len);
        if (stalled) {
            return 0; // nothing that follows a frame the adapter did not take is its reply
        }
        if (trace_on) {
            trace_write(data, data_len, w, errno);
        }
        if (w < 0) {
            write_failed();
        }
        written = static_cast<uint16_t>(w > 0 ? w : 0);
    }
    if (trace_on) {
        trace_flush();
    }

    bool readable = false; // the line has a byte of the reply waiting
    bool waited = false;   // the time-out ran out while looking at what came back
    if (written > 0 && line.known == Line::echoes) {
        if (!set_echo_aside(fd, pollset, data, written, timeout_ms)) {
            return 0;
        }
    } else if (written > 0 && looking && got < buf_len) {
        const Judged j = judge_write(fd, pollset, data, written, buf, got, buf_len, timeout_ms);
        if (j.done) {
            return 0;
        }
        readable = j.readable;
        waited = j.waited;
    } else if (data_len == 0 && line.pending_len > 0) {
        look_for_broadcast_echo(fd, pollset, timeout_ms);
        if (line.ahead_len == 0 && line.known != Line::echoes) {
            if (trace_on) {
                trace_event("time-out: no byte of a %u-byte reply within %d ms", buf_len,
                            timeout_ms);
            }
            return 0;
        }
    }

    // Bytes read while looking for an echo that were none: the reply's start.
    if (line.ahead_len > line.ahead_at && got < buf_len) {
        const uint16_t from = got;
        got = static_cast<uint16_t>(got + take_ahead(buf + got, buf_len - got));
        if (trace_on) {
            trace_read(buf + from, got - from, buf, got, buf_len);
        }
    }
    if (got > 0 && got == buf_len) {
        return buf_len;
    }
    if (waited) {
        // The time-out already ran out while the bytes were looked at.
        if (trace_on) {
            trace_stop(Stop::time_out, "reply", got, buf_len);
        }
        return 0;
    }

    // The reply. Its first byte must come within the time-out, the rest
    // within the time-out counted from that byte (or from the echo, when the
    // reply started before it); a reply cut short, a hang-up (read gives 0,
    // and epoll would report the descriptor readable for ever after) or a
    // read error gives 0, never a partial count.
    if (got == 0 && !readable) {
        if (!wait_readable(fd, pollset, timeout_ms)) {
            if (trace_on) {
                trace_event("time-out: no byte of a %u-byte reply within %d ms", buf_len,
                            timeout_ms);
            }
            return 0;
        }
        if (buf_len == 0) {
            return 0;
        }
        readable = true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const Stop stop =
        collect(fd, pollset, buf, got, buf_len, readable, deadline, timeout_ms, buf_len);
    if (stop != Stop::full) {
        if (trace_on) {
            trace_stop(stop, "reply", got, buf_len);
        }
        return 0;
    }
    return buf_len;
}

} // namespace

int send_recv_timeout(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
                      uint16_t buf_len, int timeout_ms) {
    const int n = exchange(fd, pollset, data, data_len, buf, buf_len, timeout_ms);
    if (buf_len > 0 && !silence_ok) {
        ++exchanges_asked;
        exchanges_answered += n > 0 ? 1 : 0;
    }
    return n;
}

int send_recv(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
              uint16_t buf_len) {
    return send_recv_timeout(fd, pollset, data, data_len, buf, buf_len, 1000);
}

int broadcast(int fd, const uint8_t *data, uint16_t data_len) {
    if (line.known == Line::echoes) {
        // Nothing that was waiting is an answer to a broadcast, nor its echo.
        line.ahead_len = line.ahead_at = 0;
        drop_waiting(fd, queued_input(fd));
    }
    const ssize_t w = put(fd, data, data_len);
    if (stalled) {
        return 1;
    }
    if (trace_on) {
        trace_write(data, data_len, w, errno);
        trace_flush();
    }
    if (w < 0) {
        write_failed();
        return 1;
    }
    if (w > 0 && line.known == Line::echoes) {
        set_echo_aside(fd, -1, data, static_cast<uint16_t>(w), broadcast_echo_ms);
    } else if (w > 0) {
        // Nothing is read after a broadcast: the next read looks for its echo.
        line.pending_len =
            static_cast<uint16_t>(std::min<size_t>(static_cast<size_t>(w), look_max));
        memcpy(line.pending, data, line.pending_len);
    }
    return 0;
}

void discard_input(int fd) {
    const int waiting = queued_input(fd) + (line.ahead_len - line.ahead_at);
    if (trace_on && waiting > 0) {
        trace_event("waiting: %d byte%s arrived before this point", waiting,
                    waiting == 1 ? "" : "s");
    }
    if (trace_on && line.ahead_len > line.ahead_at) {
        trace_unasked(line.ahead + line.ahead_at, line.ahead_len - line.ahead_at);
    }
    line.ahead_len = line.ahead_at = 0;
    check_broadcast_echo(fd);
    if (trace_on) {
        drop_waiting(fd, queued_input(fd));
    }
    tcflush(fd, TCIFLUSH);
}

void silence_expected(bool on) {
    silence_ok = on;
}

int close_serial(int fd) {
    return close(fd);
}

int line_unexplained() {
    return line.unexplained;
}

const char *line_failure() {
    return failure[0] != '\0' ? failure : nullptr;
}

int line_status() {
    return line_failure() == nullptr ? 0 : -1;
}

bool line_known() {
    return line.known != Line::unknown;
}

int line_guesses() {
    return line.guesses;
}
