#include "LSerial_linux.h"

#include "console.h"
#include "trace.h"
#include "ttyinfo.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
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

// Failed writes to the bus since the program started.
int write_failures_seen = 0;

// Many USB-serial chips (and the 16550 UART) cannot run at 4,000,000 baud
// and silently keep or pick another rate; every exchange would then time out
// with no hint why. Name the rate the device reports.
void warn_if_slow(int fd, const char *path) {
    termios now{};
    if (tcgetattr(fd, &now) == 0 && cfgetospeed(&now) != B4000000) {
        console_error("warning: %s runs at %u baud, not 4000000; the adapter may not support this "
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
// that remains. True when the event is for fd. A pollset of -1 waits on fd
// alone (broadcast() has no poll set).
bool wait_readable(int fd, int pollset, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int wait_ms = timeout_ms;
    for (;;) {
        int n = 0;
        bool ours = false;
        if (pollset >= 0) {
            epoll_event event{};
            n = epoll_wait(pollset, &event, 1, wait_ms);
            ours = n > 0 && event.data.fd == fd;
        } else {
            pollfd p{fd, POLLIN, 0};
            n = poll(&p, 1, wait_ms);
            ours = n > 0;
        }
        if (n > 0) {
            return ours;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
        wait_ms = remaining_ms(deadline, timeout_ms);
    }
}

// Why a read of the line stopped before it had all it wanted.
enum class Stop : uint8_t { full, time_out, end_of_file, read_error };

// Reads into dst until it holds want bytes (have counts those there). The
// line is readable at the start when `readable`; every further piece must
// come before deadline. Each piece is traced as part of a reply of
// reply_len bytes; a reply_len of 0 traces nothing.
Stop collect(int fd, int pollset, uint8_t *dst, uint16_t &have, uint16_t want, bool readable,
             Clock::time_point deadline, int timeout_ms, uint16_t reply_len) {
    while (have < want) {
        if (!readable && !wait_readable(fd, pollset, remaining_ms(deadline, timeout_ms))) {
            return Stop::time_out;
        }
        readable = false;
        const ssize_t n = read(fd, dst + have, want - have);
        if (n < 0 && errno == EINTR) {
            readable = true;
            continue;
        }
        if (n <= 0) {
            return n == 0 ? Stop::end_of_file : Stop::read_error;
        }
        if (reply_len != 0 && trace_on) {
            trace_read(dst + have, static_cast<size_t>(n), dst, have + static_cast<size_t>(n),
                       reply_len);
        }
        have = static_cast<uint16_t>(have + n);
    }
    return Stop::full;
}

// Records in the trace why a read of `what` stopped after have of want
// bytes; errno still holds the read's error.
void trace_stop(Stop stop, const char *what, uint16_t have, uint16_t want) {
    if (stop == Stop::time_out) {
        trace_event("time-out: %s cut short, %u of %u bytes", what, have, want);
    } else if (stop != Stop::full) {
        const int err = errno;
        trace_event("%s: read %s after %u of %u bytes",
                    stop == Stop::end_of_file || err == EIO ? "hang-up" : "read failed",
                    stop == Stop::end_of_file ? "gave end of file" : strerror(err), have, want);
    }
}

// ---- Adapters that echo -------------------------------------------------------
//
// Many RS-485 adapters keep their receiver on while they transmit: every
// byte written comes straight back, ahead of any motor's answer. The run's
// first frame tells: when the bytes that come back first equal it, the
// adapter echoes, and from then on every write is followed by reading its
// echo (exactly as many bytes as were written, no more: answers stay
// queued) before the wait for the reply starts with its full time-out. The
// decision is made once: later frames are short enough that a real answer
// can look like their echo.

enum class Echo : uint8_t { undecided, echoes, none };

struct EchoState {
    Echo state = Echo::undecided;
    uint8_t first[64] = {}; // the run's first frame, while undecided
    uint16_t first_len = 0;
    char device[256] = "";
};
EchoState echo;

// A broadcast has no time-out of its own. Its echo comes as soon as the
// adapter hands back what it sent, within its USB latency timer (at most
// 255 ms on the chips that have one); a second, the wait of send_recv(),
// bounds it as an exchange bounds its reply.
constexpr int broadcast_echo_ms = 1000;

void decide(bool echoes) {
    echo.state = echoes ? Echo::echoes : Echo::none;
    if (echoes) {
        console_error("note: %s echoes what is sent; the echo is set aside\n", echo.device);
    }
    if (trace_on) {
        trace_event(echoes ? "the adapter echoes: the first frame came back as it was written"
                           : "the adapter does not echo");
    }
}

// Bytes waiting to be read; 0 when the driver cannot tell.
int queued_input(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? n : 0;
}

// Reads and drops n bytes that are waiting, without waiting for more.
void drop_queued(int fd, int n) {
    uint8_t piece[64];
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0) {
            return;
        }
        const ssize_t r = read(fd, piece, std::min(sizeof piece, static_cast<size_t>(n)));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return;
        }
        if (trace_on) {
            trace_unasked(piece, static_cast<size_t>(r));
        }
        n -= static_cast<int>(r);
    }
}

// Reads the echo of the len bytes just written (the first `have` of them
// read and found equal already), bounded by timeout_ms, and names an echo
// that differs. False when it did not come whole in time: the exchange then
// ends as a time-out.
bool set_echo_aside(int fd, int pollset, const uint8_t *sent, uint16_t len, uint16_t have,
                    int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    long damaged_at = -1;
    uint8_t piece[64];
    while (have < len) {
        Stop stop = Stop::time_out;
        if (wait_readable(fd, pollset, remaining_ms(deadline, timeout_ms))) {
            const ssize_t n =
                read(fd, piece, std::min(sizeof piece, static_cast<size_t>(len - have)));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n > 0) {
                for (ssize_t i = 0; i < n && damaged_at < 0; ++i) {
                    damaged_at = piece[i] != sent[have + i] ? have + i : -1;
                }
                if (trace_on) {
                    trace_echo(piece, static_cast<size_t>(n), have + static_cast<size_t>(n), len,
                               damaged_at);
                }
                have = static_cast<uint16_t>(have + n);
                continue;
            }
            stop = n == 0 ? Stop::end_of_file : Stop::read_error;
        }
        if (trace_on) {
            if (stop == Stop::time_out && have == 0) {
                trace_event("time-out: no echo of the %u-byte frame within %d ms", len, timeout_ms);
            } else {
                trace_stop(stop, "echo", have, len);
            }
        }
        return false;
    }
    if (damaged_at >= 0) {
        console_error(
            "warning: %s: the echo differs from what was sent at byte %ld of a %u-byte frame: "
            "the frame was damaged on the bus (a collision or noise)\n",
            echo.device, damaged_at, len);
    }
    return true;
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
        exit(-1);
    }
    // One program at a time on the bus: a second one would interleave its
    // frames with a flash in progress.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (trace_on) {
            trace_event("%s is in use by another program", path);
        }
        console_error("open serial error: %s is in use by another program\n", path);
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
    snprintf(echo.device, sizeof echo.device, "%s", path);
    if (trace_on) {
        trace_device(fd, path);
    }
    return fd;
}

int send_recv_timeout(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
                      uint16_t buf_len, int timeout_ms) {
    uint16_t written = 0;
    int queued = 0;
    const bool first = echo.state == Echo::undecided && echo.first_len == 0;
    if (data_len != 0) {
        if (echo.state == Echo::echoes) {
            queued = queued_input(fd);
        }
        const ssize_t w = write(fd, data, data_len);
        if (trace_on) {
            trace_write(data, data_len, w, errno);
        }
        if (w < 0) {
            ++write_failures_seen;
            console_perror("write err\n");
        }
        written = static_cast<uint16_t>(w > 0 ? w : 0);
    }
    if (trace_on) {
        trace_flush();
    }

    uint16_t got = 0;      // bytes of the reply in buf
    bool readable = false; // the line has a byte of the reply waiting
    auto deadline = Clock::now();
    if (written > 0 && echo.state == Echo::echoes) {
        // Bytes that were waiting before the write come back ahead of its
        // echo: they start the reply, as they would without echo. Any beyond
        // the reply's length are dropped, or the echo would be read as the
        // next reply.
        const auto start = static_cast<uint16_t>(std::min<int>(queued, buf_len));
        deadline += std::chrono::milliseconds(timeout_ms);
        if (start > 0 && collect(fd, pollset, buf, got, start, true, deadline, timeout_ms,
                                 buf_len) != Stop::full) {
            return 0;
        }
        drop_queued(fd, queued - start);
        if (!set_echo_aside(fd, pollset, data, written, 0, timeout_ms)) {
            return 0;
        }
    } else if (written > 0 && first) {
        memcpy(echo.first, data, std::min<size_t>(written, sizeof echo.first));
        echo.first_len = static_cast<uint16_t>(std::min<size_t>(written, sizeof echo.first));
        const auto probe_len = std::min(echo.first_len, buf_len);
        if (probe_len > 0) {
            // The run's first frame: the bytes that come back first, as many
            // as the reply and the frame both have, tell whether the adapter
            // echoes. They are traced once it is known what they are.
            uint8_t probe[sizeof echo.first];
            uint16_t have = 0;
            Stop stop = Stop::time_out;
            if (wait_readable(fd, pollset, timeout_ms)) {
                deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
                stop = collect(fd, pollset, probe, have, probe_len, true, deadline, timeout_ms, 0);
            }
            decide(stop == Stop::full && memcmp(probe, data, probe_len) == 0);
            if (echo.state == Echo::echoes) {
                if (trace_on) {
                    trace_echo(probe, have, have, written, -1);
                }
                if (!set_echo_aside(fd, pollset, data, written, have, timeout_ms)) {
                    return 0;
                }
            } else {
                memcpy(buf, probe, have);
                got = have;
                if (trace_on && have > 0) {
                    trace_read(buf, have, buf, have, buf_len);
                }
                if (stop == Stop::time_out && have == 0) {
                    if (trace_on) {
                        trace_event("time-out: no byte of a %u-byte reply within %d ms", buf_len,
                                    timeout_ms);
                    }
                    return 0;
                }
                if (stop != Stop::full) {
                    if (trace_on) {
                        trace_stop(stop, "reply", got, buf_len);
                    }
                    return 0;
                }
            }
        }
    }

    // The reply. Its first byte must come within the time-out, the rest
    // within the time-out counted from that byte; a reply cut short, a
    // hang-up (read gives 0, and epoll would report the descriptor readable
    // for ever after) or a read error gives 0, never a partial count.
    if (got == 0) {
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
        deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    } else if (echo.state == Echo::echoes) {
        // The reply started before the echo: the rest gets its full wait after it.
        deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    }
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

int send_recv(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
              uint16_t buf_len) {
    return send_recv_timeout(fd, pollset, data, data_len, buf, buf_len, 1000);
}

int broadcast(int fd, const uint8_t *data, uint16_t data_len) {
    const int queued = echo.state == Echo::echoes ? queued_input(fd) : 0;
    const ssize_t w = write(fd, data, data_len);
    if (trace_on) {
        trace_write(data, data_len, w, errno);
        trace_flush();
    }
    if (w < 0) {
        ++write_failures_seen;
        console_perror("write err\n");
        return 1;
    }
    if (w > 0 && echo.state == Echo::undecided && echo.first_len == 0) {
        // Nothing is read after a broadcast: discard_input() looks at its echo.
        echo.first_len =
            static_cast<uint16_t>(std::min<size_t>(static_cast<size_t>(w), sizeof echo.first));
        memcpy(echo.first, data, echo.first_len);
    } else if (w > 0 && echo.state == Echo::echoes) {
        // Nothing that was waiting is a reply to a broadcast.
        drop_queued(fd, queued);
        set_echo_aside(fd, -1, data, static_cast<uint16_t>(w), 0, broadcast_echo_ms);
    }
    return 0;
}

void discard_input(int fd) {
    if (echo.state == Echo::undecided && echo.first_len > 0) {
        // The first frame was a broadcast and nothing has been read since:
        // what is waiting begins with its echo if the adapter echoes.
        uint8_t seen[sizeof echo.first];
        uint16_t have = 0;
        while (have < echo.first_len) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0) {
                break;
            }
            const ssize_t n = read(fd, seen + have, echo.first_len - have);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            have = static_cast<uint16_t>(have + n);
        }
        decide(have == echo.first_len && memcmp(seen, echo.first, have) == 0);
        if (trace_on && have > 0) {
            if (echo.state == Echo::echoes) {
                trace_echo(seen, have, have, echo.first_len, -1);
            } else {
                trace_unasked(seen, have);
            }
        }
    }
    tcflush(fd, TCIFLUSH);
}

int close_serial(int fd) {
    return close(fd);
}

int write_failures() {
    return write_failures_seen;
}
