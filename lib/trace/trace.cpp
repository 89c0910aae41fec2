// The wire trace (trace.h): its header, one line per write, read and
// event, each with its label, written through the sink.
#include "trace/trace.h"

#include "host/ttyinfo.h"
#include "host/version.h"
#include "protocol/wire.h"
#include "trace/trace_format.h"
#include "trace/trace_labels.h"
#include "trace/trace_sink.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <termios.h>

bool trace_on = false;

namespace {

// What the records need besides the sink: the run's start, what the labels
// know of the conversation, and holdoff's count of patterns.
struct Trace {
    timespec t0{};
    LabelState labels;
    char sent_label[160] = ""; // the label of the last write, for its echo

    // holdoff: patterns written since the last line, and in all (64 bits:
    // a 32-bit long would wrap after seven weeks of flooding).
    long long patterns = 0;
    long long patterns_total = 0;
    long long summary_us = 0;
};
Trace tr;

long long now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - tr.t0.tv_sec) * 1000000LL + (t.tv_nsec - tr.t0.tv_nsec) / 1000;
}

// One line of bytes: time, kind, count, the bytes, and the label.
void bytes_line(char kind, const uint8_t *d, size_t n, const char *label) {
    sink_append("%lld %c %zu", now_us(), kind, n);
    sink_append_hex(d, n);
    sink_append(" | %s\n", label);
}

bool is_control(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// How a shell's $'...' quoting writes c, when not as itself: the control
// characters, and inside such quotes (quoted) also ' and \.
const char *escape_of(char c, bool quoted) {
    switch (c) {
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    case '\r':
        return "\\r";
    case '\x1B':
        return "\\e";
    case '\'':
        return quoted ? "\\'" : nullptr;
    case '\\':
        return quoted ? "\\\\" : nullptr;
    default:
        return nullptr;
    }
}

// Text whose control characters are written escaped, so that it stays on
// one line; any other control character as \xHH.
void append_escaped(const char *s, bool quoted) {
    for (const char *p = s; *p != '\0'; ++p) {
        if (const char *e = escape_of(*p, quoted)) {
            sink_append("%s", e);
        } else if (is_control(*p)) {
            sink_append("\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(*p)));
        } else {
            sink_append("%c", *p);
        }
    }
}

// A header field, always on one line: one that holds a control character
// (a file name may hold a newline) in $'...' quotes. An argument (word) that
// a shell would split or expand is quoted as it would need it, '...'.
void append_field(const char *a, bool word) {
    bool plain = *a != '\0';
    bool control = false;
    for (const char *p = a; *p != '\0'; ++p) {
        plain = plain && (isalnum(static_cast<unsigned char>(*p)) || strchr("@%+=:,./_-", *p));
        control = control || is_control(*p);
    }
    if (control) {
        sink_append("$'");
        append_escaped(a, true);
        sink_append("'");
    } else if (plain || !word) {
        sink_append("%s", a);
    } else {
        sink_append("'");
        for (const char *p = a; *p != '\0'; ++p) {
            if (*p == '\'') {
                sink_append("'\\''");
            } else {
                sink_append("%c", *p);
            }
        }
        sink_append("'");
    }
}

void pattern_summary() {
    if (tr.patterns > 0) {
        sink_append("%lld %c %lld", now_us(), trace_kind_summary, tr.patterns);
        sink_append_hex(hold_off_pattern.data(), hold_off_pattern.size());
        sink_append(" | hold-off pattern x%lld since the last line, %lld in all\n", tr.patterns,
                    tr.patterns_total);
        tr.patterns = 0;
    }
}

// The closing record, with the status the program exits with as its parent
// sees it. A run ended by a signal never comes here: its trace has none.
void at_exit(int status, void *) {
    if (!sink_closing()) {
        return;
    }
    pattern_summary();
    const int seen = status & 0xFF;
    sink_append("%lld %c %d | exit status %d\n", now_us(), trace_kind_exit, seen, seen);
    sink_flush();
}

} // namespace

void trace_start(int argc, char *argv[]) {
    const char *path = getenv("MOTORBUS_TRACE");
    if (path == nullptr || *path == '\0') {
        return;
    }
    if (!sink_open(path, argc, argv)) {
        return;
    }
    trace_on = true;
    clock_gettime(CLOCK_MONOTONIC, &tr.t0);
    on_exit(at_exit, nullptr);

    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    tm utc{};
    gmtime_r(&wall.tv_sec, &utc);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);

    const char *name = argc > 0 ? argv[0] : "?";
    const char *slash = strrchr(name, '/');
    sink_append("%s\n# program ", trace_format_line);
    append_field(slash != nullptr ? slash + 1 : name, false);
    sink_append("\n# args");
    for (int i = 1; i < argc; ++i) {
        sink_append(" ");
        append_field(argv[i], true);
    }
    sink_append("\n# version %s\n# start %s.%06ldZ\n", motorbus_version, when, wall.tv_nsec / 1000);
    // Out before anything the program prints, so that a trace on standard
    // error starts with its own first line.
    sink_flush();
}

void trace_device(int fd, const char *path) {
    if (!sink_take()) {
        return;
    }
    sink_append("# device ");
    append_field(path, false);
    sink_append("\n");
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        sink_append("# speed %u\n", tty_baud(fd));
        sink_append("# termios iflag=%#x oflag=%#x cflag=%#x lflag=%#x vmin=%u vtime=%u\n",
                    tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag, tio.c_cc[VMIN],
                    tio.c_cc[VTIME]);
    } else {
        sink_append("# speed unknown (%s)\n", strerror(errno));
    }
    const int latency = tty_latency_timer_ms(fd);
    if (latency >= 0) {
        sink_append("# latency-timer %d ms\n", latency);
    } else {
        sink_append("# latency-timer none\n");
    }
    sink_append("# columns: microseconds, %c written / %c read / %c write failed / %c event / "
                "%c hold-off summary / %c echo of the frame written, byte count, bytes, | label\n",
                trace_kind_write, trace_kind_read, trace_kind_failed, trace_kind_event,
                trace_kind_summary, trace_kind_echo);
}

void trace_chunks(int count) {
    tr.labels.chunks = count;
}

void trace_write(const uint8_t *data, size_t asked, ssize_t result, int err) {
    const KeepErrno keep;
    char label[160];
    label_write(tr.labels, data, asked, label, sizeof label);
    memcpy(tr.sent_label, label, sizeof label);
    if (result < 0) {
        char failed[224];
        snprintf(failed, sizeof failed, "%s: write failed: %s", label, strerror(err));
        bytes_line(trace_kind_failed, data, asked, failed);
    } else if (static_cast<size_t>(result) < asked) {
        char shortw[224];
        snprintf(shortw, sizeof shortw, "%s: short write, %zd of %zu bytes", label, result, asked);
        bytes_line(trace_kind_write, data, static_cast<size_t>(result), shortw);
    } else {
        bytes_line(trace_kind_write, data, asked, label);
    }
}

void trace_read(const uint8_t *piece, size_t n, const uint8_t *reply, size_t have, size_t want) {
    const KeepErrno keep;
    char label[192];
    if (have < want) {
        snprintf(label, sizeof label, "part of a %zu-byte reply, %zu so far", want, have);
    } else {
        label_reply(tr.labels, reply, have, label, sizeof label);
        if (n < have) {
            char whole[96];
            snprintf(whole, sizeof whole, " (the last part of the %zu-byte reply)", have);
            strncat(label, whole, sizeof label - strlen(label) - 1);
        }
    }
    bytes_line(trace_kind_read, piece, n, label);
    if (have >= want) {
        // A whole reply goes out at once: a program may pause next (fwburn
        // sleeps a second after the mode frame), and Ctrl+C there must not
        // lose it.
        sink_flush();
    }
}

void trace_echo(const uint8_t *piece, size_t n, size_t have, size_t want, long damaged_at) {
    const KeepErrno keep;
    char label[256];
    if (have < want) {
        snprintf(label, sizeof label, "part of the echo of a %zu-byte frame, %zu so far", want,
                 have);
    } else if (damaged_at >= 0) {
        snprintf(label, sizeof label, "echo of: %s: differs at byte %ld, damaged on the bus",
                 tr.sent_label, damaged_at);
    } else {
        snprintf(label, sizeof label, "echo of: %s", tr.sent_label);
    }
    bytes_line(trace_kind_echo, piece, n, label);
}

void trace_unasked(const uint8_t *piece, size_t n) {
    const KeepErrno keep;
    bytes_line(trace_kind_read, piece, n, "arrived unasked, dropped");
}

void trace_event(const char *fmt, ...) {
    const KeepErrno keep;
    char text[sink_event_size];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    sink_note_event(text);
    // A path in it may hold a newline: the event stays one line.
    sink_append("%lld %c ", now_us(), trace_kind_event);
    append_escaped(text, false);
    sink_append("\n");
    sink_flush();
}

void trace_pattern(const uint8_t *data, size_t asked, ssize_t result, int err) {
    const KeepErrno keep;
    if (result < 0 || static_cast<size_t>(result) != asked || tr.patterns_total == 0) {
        pattern_summary();
        trace_write(data, asked, result, err);
        ++tr.patterns_total;
        tr.summary_us = now_us();
        sink_flush();
        return;
    }
    ++tr.patterns;
    ++tr.patterns_total;
    const long long now = now_us();
    if (now - tr.summary_us >= 1000000) {
        pattern_summary();
        tr.summary_us = now;
        sink_flush();
    }
}

void trace_flush() {
    sink_flush();
}
