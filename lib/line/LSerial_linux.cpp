// The serial port layer (LSerial_linux.h): the line set up raw at
// 4,000,000 baud, the exchanges, broadcast, and writes with a limit. What
// comes back after a write is judged by the line model (line_model.h).
#include "line/LSerial_linux.h"

#include "host/console.h"
#include "host/setup.h"
#include "host/ttyinfo.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
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

// The first reason the line failed, in words; empty while it serves.
char failure[256] = {};
bool line_lost = false; // a read met a hang-up or an error: the adapter went away
bool stalled = false;   // the adapter took no byte for write_stall_ms

void record_failure(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void record_failure(const char *fmt, ...) {
    if (failure[0] != '\0') {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(failure, sizeof failure, fmt, ap);
    va_end(ap);
}

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

// A read met end of file or an error: the line is lost (see below).
void note_lost(bool end_of_file);

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
            note_lost(n == 0);
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

// ---- What the line is known to do -------------------------------------------
//
// Many RS-485 adapters keep their receiver on while they transmit: every
// byte written comes straight back, ahead of any motor's answer. Whether
// this adapter does is learnt from what the line shows after each write,
// and checked again after every later one:
//
// - Silence after a write proves there is no echo: an adapter that echoes
//   always hands the frame back.
// - Bytes equal to the frame, or to the frame with one byte damaged (a
//   collision or noise), are its echo where no answer could look like them:
//   after a 17-byte frame (a mode frame, a data frame), and after a
//   broadcast, which only the scan's one-byte motor ids answer (0 to 14: FB
//   and BB never are one). That decides.
// - A 4-byte command that comes back so is weak evidence: a bootloader may
//   answer in the command form. The exchange then waits its time-out for a
//   reply after those bytes: one that comes proves the echo; none leaves the
//   question open, and the bytes are taken as the reply (a guess, counted
//   for the callers that ask again once the line is known). A second
//   command, to another id, that comes back exactly with nothing after it
//   proves the echo: no single motor answers for two ids.
// - Bytes that differ from the frame in more than one byte, or fewer bytes
//   than the frame that are not its start, are no echo of it: they are an
//   answer, and are used as one. They also tell that no echo came first.
//
// Once the adapter is known to echo, every write is followed by reading its
// echo and setting it aside before the reply is waited for, with its full
// time-out; once it is known not to, nothing is compared any more (but the
// echo of a broadcast, which the scan's answers cannot hide). Bytes that
// fit neither (no echo where every earlier frame had one, an answer where
// the echo belongs, an echo after silence proved there is none) are named
// once on standard error, and the run's status says its results rest on a
// line that could not be explained; an answer among them is still used as
// one (a scan answer where the echo of the scan command belongs is a motor).

enum class Line : uint8_t { unknown, echoes, clean };

// What came back after a write, compared with what was written.
enum class Back : uint8_t {
    silence, // nothing within the wait
    whole,   // the frame as written
    damaged, // the frame with one byte different
    other,   // bytes that differ in two or more: an answer
    cut,     // fewer bytes than the frame, all equal to its start, then nothing
};

// Bytes read while comparing what came back; those that are no echo are
// handed to whatever reads next.
constexpr size_t look_max = 64;
struct Look {
    uint8_t bytes[look_max] = {};
    uint16_t have = 0;    // bytes read (those past look_max are compared, not kept)
    long first_diff = -1; // the first byte that differs from what was written
    int diffs = 0;
    Stop stop = Stop::full;
};

struct LineModel {
    Line known = Line::unknown;
    bool proven = false; // decided by silence or by a frame no answer looks like
    bool named = false;  // the echo was named on standard error
    int unexplained = 0;
    // A broadcast whose echo nobody has looked for yet (nothing is read
    // after a broadcast on a line not known to echo).
    uint8_t pending[look_max] = {};
    uint16_t pending_len = 0;
    // Answers read while looking for an echo, not yet handed out.
    uint8_t ahead[look_max] = {};
    uint16_t ahead_len = 0;
    uint16_t ahead_at = 0;
    // Replies taken on a guess: a 4-byte command that came back as written
    // with nothing after it, on a line not yet known. weak_id: the id of
    // the last such command.
    int guesses = 0;
    int weak_id = -1;
    char device[256] = "";
};
LineModel line;

void note_lost(bool end_of_file) {
    const int err = errno;
    if (!line_lost) {
        line_lost = true;
        const char *why = end_of_file ? "end of file" : strerror(err);
        // A write that failed first has said why already.
        if (write_failures_seen == 0) {
            console_error("error: %s: the line hung up (%s): the adapter was unplugged or reset\n",
                          line.device, why);
        }
        record_failure("the line hung up (%s): the adapter was unplugged or reset", why);
    }
    errno = err;
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

// A write that failed: reported as the tools always have, and counted.
void write_failed() {
    const int err = errno;
    ++write_failures_seen;
    console_perror("write err\n");
    record_failure("a write failed: %s", strerror(err));
    errno = err;
}

// A broadcast has no time-out of its own. Its echo comes as soon as the
// adapter hands back what it sent, within its USB latency timer (at most
// 255 ms on the chips that have one); a second, the wait of send_recv(),
// bounds it as an exchange bounds its reply.
constexpr int broadcast_echo_ms = 1000;

// Frames this long cannot be mistaken for any answer of a motor.
constexpr uint16_t long_frame = 17;

// A bootloader command (FB cmd id BB): its byte 2 names the motor.
constexpr uint16_t command_frame = 4;

void settle(Line known, bool proven, const char *why) {
    if (line.known == known && line.proven) {
        return;
    }
    line.known = known;
    line.proven = proven;
    if (known == Line::echoes && !line.named) {
        line.named = true;
        console_error("note: %s echoes what is sent; the echo is set aside\n", line.device);
    }
    if (trace_on) {
        trace_event("%s", why);
    }
}

// Bytes on the line that fit no model of it: named once, counted always.
void unexplained(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void unexplained(const char *fmt, ...) {
    char what[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    if (line.unexplained++ == 0) {
        console_error("warning: %s: %s; the results of this run may be wrong\n", line.device, what);
    }
    record_failure("bytes on the line could not be explained: %s", what);
    if (trace_on) {
        trace_event("unexplained: %s", what);
    }
}

void warn_damaged(long at, uint16_t len) {
    console_error(
        "warning: %s: the echo differs from what was sent at byte %ld of a %u-byte frame: "
        "the frame was damaged on the bus (a collision or noise)\n",
        line.device, at, len);
}

Back verdict(const Look &l, uint16_t len) {
    if (l.have == 0) {
        return Back::silence;
    }
    // An echo that stops short is the frame's start: bytes that differ
    // from it there (a scan answer in place of FB 00 00 BB) are an answer.
    if (l.diffs >= 2 || (l.have < len && l.diffs > 0)) {
        return Back::other;
    }
    if (l.have < len) {
        return Back::cut;
    }
    return l.diffs == 0 ? Back::whole : Back::damaged;
}

// Reads what comes back after a write of len bytes at sent: the first byte
// within timeout_ms, then up to len bytes, each within timeout_ms of the
// one before, stopping early once two bytes differ from the frame. When
// not `patient`, only bytes already there are read after the first, unless
// every byte so far equals the frame (an echo on its way).
Back look_back(int fd, int pollset, const uint8_t *sent, uint16_t len, int timeout_ms, bool patient,
               Look &l) {
    l = Look{};
    uint8_t piece[look_max];
    bool readable = false;
    while (l.have < len && l.diffs < 2) {
        if (!readable) {
            const bool more_now = l.have > 0 && !patient && l.diffs > 0;
            if (!wait_readable(fd, pollset, more_now ? 0 : timeout_ms)) {
                l.stop = Stop::time_out;
                break;
            }
        }
        readable = false;
        const ssize_t n = read(fd, piece, std::min<size_t>(sizeof piece, len - l.have));
        if (n < 0 && errno == EINTR) {
            readable = true;
            continue;
        }
        if (n <= 0) {
            note_lost(n == 0);
            l.stop = n == 0 ? Stop::end_of_file : Stop::read_error;
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const size_t at = l.have + static_cast<size_t>(i);
            if (piece[i] != sent[at]) {
                l.first_diff = l.first_diff < 0 ? static_cast<long>(at) : l.first_diff;
                ++l.diffs;
            }
            if (at < look_max) {
                l.bytes[at] = piece[i];
            }
        }
        l.have = static_cast<uint16_t>(l.have + n);
    }
    return verdict(l, len);
}

// Records bytes read while looking as the echo of the frame written last.
void trace_look_as_echo(const Look &l, uint16_t len) {
    if (trace_on) {
        trace_echo(l.bytes, std::min<size_t>(l.have, look_max), l.have, len,
                   l.diffs > 0 ? l.first_diff : -1);
    }
}

// Hands bytes read while looking to the readers that follow, as answers.
void keep_ahead(const Look &l) {
    line.ahead_len = static_cast<uint16_t>(std::min<size_t>(l.have, look_max));
    line.ahead_at = 0;
    memcpy(line.ahead, l.bytes, line.ahead_len);
}

// Takes up to `want` bytes kept ahead into dst.
uint16_t take_ahead(uint8_t *dst, uint16_t want) {
    const auto n = static_cast<uint16_t>(std::min<int>(want, line.ahead_len - line.ahead_at));
    memcpy(dst, line.ahead + line.ahead_at, n);
    line.ahead_at = static_cast<uint16_t>(line.ahead_at + n);
    if (line.ahead_at == line.ahead_len) {
        line.ahead_len = line.ahead_at = 0;
    }
    return n;
}

// Bytes waiting to be read; 0 when the driver cannot tell.
int queued_input(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? n : 0;
}

// Reads up to cap bytes that are waiting, without waiting for more.
uint16_t read_waiting(int fd, uint8_t *dst, uint16_t cap) {
    uint16_t have = 0;
    while (have < cap) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0) {
            break;
        }
        const ssize_t r = read(fd, dst + have, cap - have);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        have = static_cast<uint16_t>(have + r);
    }
    return have;
}

// Reads and drops what is waiting, for the trace as bytes that arrived
// unasked. Returns how many.
int drop_waiting(int fd, int n) {
    int dropped = 0;
    uint8_t piece[64];
    while (n > dropped) {
        const uint16_t r = read_waiting(
            fd, piece, static_cast<uint16_t>(std::min<int>(sizeof piece, n - dropped)));
        if (r == 0) {
            break;
        }
        if (trace_on) {
            trace_unasked(piece, r);
        }
        dropped += r;
    }
    return dropped;
}

// Before a write whose echo is looked for: bytes already waiting are no
// echo. Up to buf_len of them start the reply (a late reply, as without
// echo). On a line known to echo the rest are dropped, or they would be read
// as the echo; on one not yet known they stay queued for the next read, and
// nothing is compared after this write. They are read before the write, so
// that the trace shows them where they were.
void take_waiting(int fd, uint8_t *buf, uint16_t &got, uint16_t buf_len) {
    int queued = queued_input(fd);
    const int ahead = line.ahead_len - line.ahead_at;
    const bool drop = line.known == Line::echoes;
    const int taken = drop ? queued + ahead : std::min<int>(queued + ahead, buf_len);
    if (taken == 0) {
        return;
    }
    if (trace_on) {
        trace_event("waiting: %d byte%s arrived before this point", taken, taken == 1 ? "" : "s");
    }
    got = take_ahead(buf, buf_len);
    if (trace_on && got > 0) {
        trace_read(buf, got, buf, got, buf_len);
    }
    if (drop && line.ahead_len > line.ahead_at) {
        if (trace_on) {
            trace_unasked(line.ahead + line.ahead_at, line.ahead_len - line.ahead_at);
        }
        line.ahead_len = line.ahead_at = 0;
    }
    while (got < buf_len && queued > 0) {
        const uint16_t r = read_waiting(fd, buf + got, static_cast<uint16_t>(buf_len - got));
        if (r == 0) {
            break;
        }
        if (trace_on) {
            trace_read(buf + got, r, buf, got + r, buf_len);
        }
        got = static_cast<uint16_t>(got + r);
        queued -= r;
    }
    if (drop) {
        drop_waiting(fd, queued);
    }
}

// On a line known to echo: sets aside the echo of the len bytes just
// written. False when it did not come: the exchange then ends as a
// time-out. Bytes that are no echo are kept as the start of the reply.
bool set_echo_aside(int fd, int pollset, const uint8_t *sent, uint16_t len, int timeout_ms) {
    Look l;
    switch (look_back(fd, pollset, sent, len, timeout_ms, true, l)) {
    case Back::whole:
        trace_look_as_echo(l, len);
        return true;
    case Back::damaged:
        trace_look_as_echo(l, len);
        warn_damaged(l.first_diff, len);
        return true;
    case Back::silence:
        if (l.stop == Stop::time_out) {
            unexplained("no echo of a %u-byte frame came back within %d ms, though the adapter "
                        "echoed the frames before it",
                        len, timeout_ms);
        } else if (trace_on) {
            trace_stop(l.stop, "echo", 0, len);
        }
        return false;
    case Back::cut:
        trace_look_as_echo(l, len);
        if (trace_on) {
            trace_stop(l.stop, "echo", l.have, len);
        }
        return false;
    case Back::other:
        unexplained("%u byte%s came back after a %u-byte frame that %s not its echo, though the "
                    "adapter echoed the frames before it",
                    l.have, l.have == 1 ? "" : "s", len, l.have == 1 ? "is" : "are");
        keep_ahead(l);
        return true;
    }
    return false;
}

// The first read after a broadcast on a line not known to echo: looks for
// its echo ahead of the answers, without waiting for more than is there
// unless what came so far is the frame's start.
void look_for_broadcast_echo(int fd, int pollset, int timeout_ms) {
    const uint16_t len = line.pending_len;
    line.pending_len = 0;
    Look l;
    const Back b = look_back(fd, pollset, line.pending, len, timeout_ms, false, l);
    if (b == Back::whole || b == Back::damaged) {
        if (line.known == Line::clean && line.proven) {
            unexplained("the %u-byte frame written last came back as its echo, though silence "
                        "after an earlier frame showed no echo",
                        len);
        }
        settle(Line::echoes, true, "the adapter echoes: a broadcast came back as it was written");
        trace_look_as_echo(l, len);
        if (b == Back::damaged) {
            warn_damaged(l.first_diff, len);
        }
        return;
    }
    if (b == Back::silence && l.stop == Stop::time_out) {
        settle(Line::clean, true, "the adapter does not echo: nothing came back after a broadcast");
    } else if (b != Back::silence && line.known == Line::unknown) {
        settle(Line::clean, false, "the adapter does not echo: a broadcast was answered first");
    }
    keep_ahead(l);
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
    line = LineModel{};
    snprintf(line.device, sizeof line.device, "%s", path);
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
        Look l;
        const Back b = look_back(fd, pollset, data, written, timeout_ms, true, l);
        waited = l.stop == Stop::time_out;
        if (b == Back::silence) {
            if (l.stop == Stop::time_out) {
                settle(Line::clean, true,
                       "the adapter does not echo: nothing came back after a write");
                if (trace_on) {
                    trace_event("time-out: no byte of a %u-byte reply within %d ms", buf_len,
                                timeout_ms);
                }
            } else if (trace_on) {
                trace_stop(l.stop, "reply", got, buf_len);
            }
            return 0;
        }
        if ((b == Back::whole || b == Back::damaged) && written >= long_frame) {
            settle(Line::echoes, true,
                   "the adapter echoes: a frame no answer looks like came back as it was written");
            trace_look_as_echo(l, written);
            if (b == Back::damaged) {
                warn_damaged(l.first_diff, written);
            }
        } else if (b == Back::whole || b == Back::damaged) {
            // A short command that came back as written: its echo, or a
            // bootloader's answer in the command form. A reply after it
            // tells; without one, the bytes are the reply.
            keep_ahead(l);
            if (trace_on) {
                trace_read(l.bytes, line.ahead_len, l.bytes, line.ahead_len, buf_len);
            }
            if (wait_readable(fd, pollset, timeout_ms)) {
                line.ahead_len = line.ahead_at = 0;
                settle(Line::echoes, true,
                       "the adapter echoes: the bytes read last came back as the frame was "
                       "written, and a reply followed them");
                if (b == Back::damaged) {
                    warn_damaged(l.first_diff, written);
                }
                readable = true;
            } else if (b == Back::whole && written == command_frame && line.weak_id >= 0 &&
                       line.weak_id != data[2]) {
                // A command to another id came back so before: no single
                // motor answers for two ids.
                waited = true;
                line.ahead_len = line.ahead_at = 0;
                settle(Line::echoes, true,
                       "the adapter echoes: commands to two ids came back as they were "
                       "written, with nothing after them");
            } else {
                waited = true;
                if (trace_on) {
                    trace_event("the bytes that came back equal the frame written and nothing "
                                "followed them: they are taken as the reply");
                }
                got = static_cast<uint16_t>(got + take_ahead(buf + got, buf_len - got));
                line.ahead_len = line.ahead_at = 0;
                ++line.guesses;
                if (b == Back::whole && written == command_frame) {
                    line.weak_id = data[2];
                }
            }
        } else {
            if (b == Back::other) {
                settle(Line::clean, false,
                       "the adapter does not echo: an answer came back ahead of any echo");
            }
            keep_ahead(l);
        }
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
        line_lost = line_lost || stop == Stop::end_of_file || stop == Stop::read_error;
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
    if (line.pending_len > 0) {
        // What is waiting after a broadcast begins with its echo, if the
        // adapter echoes: it came long before now.
        const uint16_t len = line.pending_len;
        line.pending_len = 0;
        uint8_t seen[look_max];
        const uint16_t have = read_waiting(fd, seen, len);
        long first_diff = -1;
        int diffs = 0;
        for (uint16_t i = 0; i < have; ++i) {
            if (seen[i] != line.pending[i]) {
                first_diff = first_diff < 0 ? i : first_diff;
                ++diffs;
            }
        }
        if (have == 0) {
            settle(Line::clean, true,
                   "the adapter does not echo: nothing came back after a broadcast");
        } else if (have == len && diffs <= 1) {
            if (line.known == Line::clean && line.proven) {
                unexplained("the %u-byte frame written last came back as its echo, though "
                            "silence after an earlier frame showed no echo",
                            len);
            }
            settle(Line::echoes, true,
                   "the adapter echoes: a broadcast came back as it was written");
            if (trace_on) {
                trace_echo(seen, have, have, len, diffs > 0 ? first_diff : -1);
            }
            if (diffs > 0) {
                warn_damaged(first_diff, len);
            }
        } else {
            if (line.known == Line::unknown) {
                settle(Line::clean, false,
                       "the adapter does not echo: what came back after a broadcast is no echo");
            }
            if (trace_on) {
                trace_unasked(seen, have);
            }
        }
    }
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

int write_failures() {
    return write_failures_seen;
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
