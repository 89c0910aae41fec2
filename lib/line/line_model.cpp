// The line model (line_model.h): what the adapter does with what is
// written, learnt from what comes back after every write, and the run's
// failures of the line.
#include "line/line_model.h"

#include "host/console.h"
#include "line/LSerial_linux.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace line_model {

// Failed writes to the bus since the program started.
int write_failures_seen = 0;

// The first reason the line failed, in words; empty while it serves.
char failure[256] = {};
bool line_lost = false; // a read met a hang-up or an error: the adapter went away
bool stalled = false;   // the adapter took no byte for write_stall_ms

void record_failure(const char *fmt, ...) {
    if (failure[0] != '\0') {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(failure, sizeof failure, fmt, ap);
    va_end(ap);
}

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

LineModel line;

void note_lost(bool end_of_file) {
    const int err = errno;
    if (!line_lost) {
        line_lost = true;
        // A hung-up tty reads as end of file or EIO (which comes first is
        // the driver's race); both mean the adapter went away.
        char what[160];
        if (end_of_file || err == EIO) {
            snprintf(what, sizeof what, "the line hung up: the adapter was unplugged or reset");
        } else {
            snprintf(what, sizeof what, "a read failed: %s", strerror(err));
        }
        // A write that failed first has said why already.
        if (write_failures_seen == 0) {
            console_error("error: %s: %s\n", line.device, what);
        }
        record_failure("%s", what);
    }
    errno = err;
}

// A write that failed: reported as the tools always have, and counted.
void write_failed() {
    const int err = errno;
    ++write_failures_seen;
    console_perror("write err\n");
    record_failure("a write failed: %s", strerror(err));
    errno = err;
}

void reset(const char *device) {
    line = LineModel{};
    snprintf(line.device, sizeof line.device, "%s", device);
}

// A broadcast has no time-out of its own. Its echo comes as soon as the
// adapter hands back what it sent, within its USB latency timer (at most
// 255 ms on the chips that have one); a second, the wait of send_recv(),
// bounds it as an exchange bounds its reply.
const int broadcast_echo_ms = 1000;

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

// After a write of `written` bytes at data on a line not yet known to echo
// (and not known to be clean): reads what comes back and judges it (see
// above). Bytes that are an answer are kept ahead for the reply, or, when
// they are taken as the reply, put into buf (got counts them).
Judged judge_write(int fd, int pollset, const uint8_t *data, uint16_t written, uint8_t *buf,
                   uint16_t &got, uint16_t buf_len, int timeout_ms) {
    Judged j;
    Look l;
    const Back b = look_back(fd, pollset, data, written, timeout_ms, true, l);
    j.waited = l.stop == Stop::time_out;
    if (b == Back::silence) {
        if (l.stop == Stop::time_out) {
            settle(Line::clean, true, "the adapter does not echo: nothing came back after a write");
            if (trace_on) {
                trace_event("time-out: no byte of a %u-byte reply within %d ms", buf_len,
                            timeout_ms);
            }
        } else if (trace_on) {
            trace_stop(l.stop, "reply", got, buf_len);
        }
        j.done = true;
        return j;
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
            j.readable = true;
        } else if (b == Back::whole && written == command_frame && line.weak_id >= 0 &&
                   line.weak_id != data[2]) {
            // A command to another id came back so before: no single
            // motor answers for two ids.
            j.waited = true;
            line.ahead_len = line.ahead_at = 0;
            settle(Line::echoes, true,
                   "the adapter echoes: commands to two ids came back as they were "
                   "written, with nothing after them");
        } else {
            j.waited = true;
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
    return j;
}

// A broadcast's echo, looked for in what is waiting when nothing more is
// read after it (discard_input): if the adapter echoes, it came long before.
void check_broadcast_echo(int fd) {
    if (line.pending_len == 0) {
        return;
    }
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
        settle(Line::clean, true, "the adapter does not echo: nothing came back after a broadcast");
    } else if (have == len && diffs <= 1) {
        if (line.known == Line::clean && line.proven) {
            unexplained("the %u-byte frame written last came back as its echo, though "
                        "silence after an earlier frame showed no echo",
                        len);
        }
        settle(Line::echoes, true, "the adapter echoes: a broadcast came back as it was written");
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

} // namespace line_model
