#include "trace.h"

#include "btcmd.h"
#include "crc_ccitt.h"
#include "ttyinfo.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

bool trace_on = false;

namespace {

// What the host wrote last, so that the reply read after it can be named.
enum class Sent : uint8_t { nothing, mode, command, data, scan, pattern, other };

// How long one write-out may wait for a pipe or FIFO whose reader lags:
// past this the trace stops rather than hold up the bus conversation.
constexpr int stall_ms = 100;

struct Trace {
    int fd = -1;
    const char *path = "";
    bool stream = false;      // a pipe, FIFO or socket: writes are bounded
    bool held = false;        // a regular file not yet ours: written once the device is
    bool last_newline = true; // the last byte that went out ended a line
    timespec t0{};
    char buf[16384];
    size_t used = 0;

    Sent sent = Sent::nothing;
    char sent_label[160] = ""; // the label of the last write, for its echo
    uint8_t sent_cmd = 0;
    uint8_t sent_sum = 0;
    uint16_t sent_crc = 0;
    bool downloading = false;
    int chunks = 0;      // told by fwburn
    int chunk = 0;       // 1-based number of the chunk last sent
    int retry = 0;       // sends of that chunk beyond the first
    bool resend = false; // its acknowledgement refused it

    // The event that ended a run before it had the device, for the warning
    // that an earlier trace is left as it was.
    char ended_by[512] = "";

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

// A pipe, FIFO or socket: its reader may lag, so its writes are bounded.
bool is_stream(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

void warn(const char *path, const char *why) {
    fprintf(stderr, "warning: cannot write the trace to %s: %s; running untraced\n", path, why);
}

// One write of the trace. A pipe's reader may have quit (SIGPIPE), a file
// may meet the size limit of `ulimit -f` (SIGXFSZ): the signal such a write
// raises would end the program, so it is held back, blocked for the write
// and the one raised taken off as pending, and the write fails with EPIPE or
// EFBIG instead. Only this write is covered; the program's own signal
// handling stays as it was, Ctrl+C included.
ssize_t write_holding_signals(const char *s, size_t n) {
    sigset_t held;
    sigset_t old;
    sigemptyset(&held);
    sigaddset(&held, SIGPIPE);
    sigaddset(&held, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &held, &old);
    const ssize_t w = write(tr.fd, s, n);
    const int err = errno;
    const int sig = err == EPIPE ? SIGPIPE : err == EFBIG ? SIGXFSZ : 0;
    if (w < 0 && sig != 0 && sigismember(&old, sig) == 0) {
        sigset_t raised;
        sigemptyset(&raised);
        sigaddset(&raised, sig);
        const timespec none{};
        while (sigtimedwait(&raised, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return w;
}

// The trace stops; the run goes on. The reason is named once on standard
// error, unless the trace is standard error itself, which has just failed
// (a message there would meet the same closed or stalled reader). A file cut
// off midway ends with a line that says so, so that a replay refuses it
// rather than play a cut flash as a failed one; where even that line cannot
// be written (a full disk), the last newline is taken off: a file that ends
// inside a line is incomplete too.
void stop(const char *reason) {
    if (tr.fd != STDERR_FILENO) {
        warn(tr.path, reason);
        struct stat st {};
        if (fstat(tr.fd, &st) == 0 && S_ISREG(st.st_mode)) {
            char mark[256];
            const int n = snprintf(mark, sizeof mark, "%s%s %s\n", tr.last_newline ? "" : "\n",
                                   trace_incomplete_line, reason);
            const off_t end = lseek(tr.fd, 0, SEEK_CUR);
            if (n > 0 && write_holding_signals(mark, static_cast<size_t>(n)) != n &&
                tr.last_newline && end > 0) {
                (void)!ftruncate(tr.fd, end - 1);
            }
        }
        close(tr.fd);
    }
    tr.fd = -1;
    trace_on = false;
}

// Writes out bytes. A regular file or a terminal is written as it is; a pipe
// or FIFO gets at most PIPE_BUF bytes at a time, up to a line end where one
// fits (so that a line is not split by other output into the same pipe), and
// only once poll says there is room, for at most stall_ms in all. So does
// any target that turns out to be non-blocking (standard error may be).
void put(const char *s, size_t n) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool wait_room = tr.stream;
    while (n > 0 && tr.fd >= 0) {
        size_t chunk = n;
        if (tr.stream) {
            chunk = std::min(n, static_cast<size_t>(PIPE_BUF));
            const char *nl = static_cast<const char *>(memrchr(s, '\n', chunk));
            chunk = nl != nullptr ? static_cast<size_t>(nl - s) + 1 : chunk;
        }
        if (wait_room) {
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC, &t);
            const long long waited_ms =
                (t.tv_sec - start.tv_sec) * 1000LL + (t.tv_nsec - start.tv_nsec) / 1000000;
            pollfd p{tr.fd, POLLOUT, 0};
            const int ready = poll(&p, 1, static_cast<int>(std::max(0LL, stall_ms - waited_ms)));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                stop("its reader does not keep up");
                return;
            }
        }
        const ssize_t w = write_holding_signals(s, chunk);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            wait_room = wait_room || errno == EAGAIN;
            continue;
        }
        if (w <= 0) {
            stop(w < 0 ? strerror(errno) : "nothing was written");
            return;
        }
        s += w;
        n -= static_cast<size_t>(w);
        tr.last_newline = s[-1] == '\n';
    }
}

// The hooks run between a failed call and the perror that reports it.
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

void flush_buffer() {
    if (tr.held) {
        return;
    }
    const KeepErrno keep;
    put(tr.buf, tr.used);
    tr.used = 0;
}

// True when n more bytes fit, after a flush if need be (a held trace keeps
// what fits and drops the rest).
bool room(size_t n) {
    if (sizeof tr.buf - tr.used < n) {
        flush_buffer();
    }
    return sizeof tr.buf - tr.used >= n;
}

void vappend(const char *fmt, va_list ap) {
    if (!room(512)) {
        return;
    }
    const int n = vsnprintf(tr.buf + tr.used, sizeof tr.buf - tr.used, fmt, ap);
    if (n > 0) {
        tr.used += std::min(static_cast<size_t>(n), sizeof tr.buf - tr.used - 1);
    }
}

__attribute__((format(printf, 1, 2))) void append(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vappend(fmt, ap);
    va_end(ap);
}

void append_hex(const uint8_t *d, size_t n) {
    constexpr char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        if (!room(4)) {
            return;
        }
        char *p = tr.buf + tr.used;
        p[0] = ' ';
        p[1] = digits[d[i] >> 4];
        p[2] = digits[d[i] & 15];
        tr.used += 3;
    }
}

// One line of bytes: time, kind, count, the bytes, and the label.
void bytes_line(char kind, const uint8_t *d, size_t n, const char *label) {
    append("%lld %c %zu", now_us(), kind, n);
    append_hex(d, n);
    append(" | %s\n", label);
}

const char *command_name(uint8_t cmd) {
    switch (cmd) {
    case BTCMD_SCAN:
        return "scan";
    case BTCMD_ID_PARAM:
        return "id/param";
    case BTCMD_DOWNLOAD:
        return "download";
    case BTCMD_QUERY:
        return "query";
    case BTCMD_START:
        return "start";
    case BTCMD_CRC:
        return "CRC";
    default:
        return "unknown command";
    }
}

bool is_mode_frame(const uint8_t *d, size_t n) {
    return n == 17 && d[0] == 0xFE && d[1] == 0xEE &&
           crc_ccitt(0, d, 15) == static_cast<uint16_t>(d[15] | d[16] << 8);
}

// Names a frame the host writes and notes it for the reply that follows.
void label_write(const uint8_t *d, size_t n, char *out, size_t size) {
    tr.sent = Sent::other;
    if (n == 17 && tr.downloading) {
        if (tr.resend) {
            ++tr.retry;
        } else {
            ++tr.chunk;
            tr.retry = 0;
        }
        tr.resend = false;
        tr.sent = Sent::data;
        tr.sent_sum = d[16];
        const int len =
            snprintf(out, size, "data chunk %d of %d, sum %02X", tr.chunk, tr.chunks, tr.sent_sum);
        if (tr.retry > 0 && len > 0) {
            snprintf(out + len, size - static_cast<size_t>(len), " (retry %d)", tr.retry);
        }
    } else if (is_mode_frame(d, n)) {
        tr.sent = Sent::mode;
        const int id = d[2] & 15;
        if (id == 15) {
            snprintf(out, size, "mode frame for every motor (id 15), mode %d", d[2] >> 4);
        } else {
            snprintf(out, size, "mode frame for id %d, mode %d", id, d[2] >> 4);
        }
    } else if (n == 4 && d[0] == 0xFB && (d[3] == 0xBB || d[1] == BTCMD_CRC)) {
        tr.sent = d[1] == BTCMD_SCAN ? Sent::scan : Sent::command;
        tr.sent_cmd = d[1];
        if (d[1] == BTCMD_CRC) {
            snprintf(out, size, "CRC request, value 0x%02X%02X", d[2], d[3]);
            tr.sent_crc = static_cast<uint16_t>(d[2] << 8 | d[3]);
            tr.downloading = false;
        } else if (d[1] == BTCMD_SCAN) {
            snprintf(out, size, "scan");
        } else {
            snprintf(out, size, "%s, id %d", command_name(d[1]), d[2] & 15);
            tr.downloading = tr.downloading || (d[1] == BTCMD_DOWNLOAD && tr.chunks > 0);
        }
    } else if (n == 4 && memcmp(d, "\x18\x18\x18\x18", 4) == 0) {
        tr.sent = Sent::pattern;
        snprintf(out, size, "hold-off pattern");
    } else {
        snprintf(out, size, "undecodable");
    }
}

// Names a whole reply by what it answers.
void label_reply(const uint8_t *r, size_t n, char *out, size_t size) {
    if (tr.sent == Sent::mode) {
        snprintf(out, size, "answer to the mode frame (not examined)");
    } else if (tr.sent == Sent::data && n == 2) {
        if (r[0] != tr.sent_sum) {
            snprintf(out, size, "ack of chunk %d: sum %02X, sent %02X: refused (bad sum)", tr.chunk,
                     r[0], tr.sent_sum);
        } else if (r[1] == 0xEE) {
            snprintf(out, size, "ack of chunk %d: sum %02X, code EE: refused", tr.chunk, r[0]);
        } else {
            snprintf(out, size, "ack of chunk %d: sum %02X, code %02X: ok", tr.chunk, r[0], r[1]);
        }
        tr.resend = r[0] != tr.sent_sum || r[1] == 0xEE;
    } else if (tr.sent == Sent::scan && n == 1) {
        snprintf(out, size, "scan answer: motor id %d", r[0]);
    } else if (n == 4) {
        btcmd_data rec{};
        Extract_btcmd_data(r, rec);
        if (rec.err != 0) {
            snprintf(out, size, "undecodable reply");
        } else if (r[0] == 0xFC && r[1] == BTCMD_CRC) {
            const bool asked = tr.sent == Sent::command && tr.sent_cmd == BTCMD_CRC;
            snprintf(out, size, "CRC reply, value 0x%04X%s", rec.value,
                     !asked                     ? ""
                     : rec.value == tr.sent_crc ? ": matches the image's"
                                                : ": differs from the image's");
        } else {
            snprintf(out, size, "reply id %d, cmd %d (%s), status %d, value 0x%04X, err %d", rec.id,
                     rec.cmd, command_name(rec.cmd), rec.status, rec.value, rec.err);
        }
    } else {
        snprintf(out, size, "undecodable");
    }
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
            append("%s", e);
        } else if (is_control(*p)) {
            append("\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(*p)));
        } else {
            append("%c", *p);
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
        append("$'");
        append_escaped(a, true);
        append("'");
    } else if (plain || !word) {
        append("%s", a);
    } else {
        append("'");
        for (const char *p = a; *p != '\0'; ++p) {
            if (*p == '\'') {
                append("'\\''");
            } else {
                append("%c", *p);
            }
        }
        append("'");
    }
}

void pattern_summary() {
    if (tr.patterns > 0) {
        append(
            "%lld S %lld 18 18 18 18 | hold-off pattern x%lld since the last line, %lld in all\n",
            now_us(), tr.patterns, tr.patterns, tr.patterns_total);
        tr.patterns = 0;
    }
}

// A file that held an earlier trace and whose run ended before it had the
// device (it was missing, in use, or no serial port) is left alone, and the
// warning names what ended the run; an empty one gets the header and the
// event that ended the run.
void release_held() {
    struct stat st {};
    if (fstat(tr.fd, &st) == 0 && st.st_size == 0) {
        tr.held = false;
        return;
    }
    if (tr.ended_by[0] != '\0') {
        fprintf(stderr, "warning: the trace %s is left as it was: %s\n", tr.path, tr.ended_by);
    } else {
        fprintf(stderr,
                "warning: the trace %s is left as it was: this run never opened the device\n",
                tr.path);
    }
    close(tr.fd);
    tr.fd = -1;
    trace_on = false;
}

// The closing record, with the status the program exits with as its parent
// sees it. A run ended by a signal never comes here: its trace has none.
void at_exit(int status, void *) {
    if (tr.fd >= 0 && tr.held) {
        release_held();
    }
    if (tr.fd < 0) {
        return;
    }
    pattern_summary();
    const int seen = status & 0xFF;
    append("%lld %c %d | exit status %d\n", now_us(), trace_kind_exit, seen, seen);
    flush_buffer();
}

// Why the trace must not go to the file open at fd (st: its status): it is
// a file the run itself works on, one an argument names (the device, and
// fwburn's image), or a regular file that holds something other than a
// trace, which the trace would destroy. nullptr when it may go there.
const char *unfit(const char *path, const struct stat &st, int argc, char *argv[], char *why,
                  size_t size) {
    for (int i = 1; i < argc; ++i) {
        struct stat a {};
        if (stat(argv[i], &a) == 0 && a.st_dev == st.st_dev && a.st_ino == st.st_ino) {
            snprintf(why, size, i == 1 ? "it is the device" : "it is the file given as argument %d",
                     i);
            return why;
        }
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        return nullptr;
    }
    // Its first line says whether it holds a trace; the trace's file is
    // open for writing only, so it is read through a second descriptor.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat again {};
    char head[64] = "";
    ssize_t n = -1;
    if (fd >= 0 && fstat(fd, &again) == 0 && again.st_dev == st.st_dev &&
        again.st_ino == st.st_ino) {
        n = pread(fd, head, sizeof head - 1, 0);
    }
    const int err = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (n < 0) {
        snprintf(why, size, "it cannot be read to see whether it holds a trace: %s", strerror(err));
        return why;
    }
    const size_t len = strlen(trace_format_line);
    const bool trace = static_cast<size_t>(n) > len && memcmp(head, trace_format_line, len) == 0 &&
                       (head[len] == '\n' || (head[len] == '\r' && head[len + 1] == '\n'));
    return trace ? nullptr : "it holds something other than a trace";
}

// Why an open() of the trace failed. ENXIO has several causes, told apart
// by what the path is.
const char *open_failure(const char *path, int err) {
    struct stat st {};
    if (err != ENXIO || stat(path, &st) != 0) {
        return strerror(err);
    }
    if (S_ISFIFO(st.st_mode)) {
        return "it is a FIFO that no program reads";
    }
    if (S_ISSOCK(st.st_mode)) {
        return "it is a socket, which is not opened as a file";
    }
    if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(5, 0)) {
        return "it is /dev/tty, and this run has no terminal";
    }
    return strerror(err);
}

// Opens the trace file without blocking (a FIFO nobody reads would hold the
// run at its start) and without emptying it: an earlier trace in it is
// replaced only once this run has the device (trace_device), so that a run
// refused the device does not destroy the trace of the one that has it. A
// file refused here is left as it was; one created only to be refused (it
// turned out to be an argument's, the image fwburn is about to read) is
// removed again.
int open_trace(const char *path, int argc, char *argv[]) {
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = open(path, flags);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
        fd = open(path, flags | O_CREAT | O_EXCL, 0644);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) { // a dangling symbolic link: its target is made
            fd = open(path, flags | O_CREAT, 0644);
        }
    }
    const char *why = nullptr;
    char reason[160];
    struct stat st {};
    if (fd < 0) {
        why = open_failure(path, errno);
    } else if (fstat(fd, &st) != 0) {
        why = strerror(errno);
    } else if (S_ISBLK(st.st_mode)) {
        why = "it is a block device";
    } else {
        why = unfit(path, st, argc, argv, reason, sizeof reason);
    }
    if (why != nullptr) {
        warn(path, why);
        if (created) {
            unlink(path);
        }
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    tr.stream = is_stream(fd);
    tr.held = S_ISREG(st.st_mode);
    if (!tr.stream) {
        // Only a FIFO needs the non-blocking writes; a terminal is written as usual.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

} // namespace

void trace_start(int argc, char *argv[]) {
    const char *path = getenv("MOTORBUS_TRACE");
    if (path == nullptr || *path == '\0') {
        return;
    }
    tr.path = path;
    if (strcmp(path, "-") == 0) {
        // Standard error is shared with the program's own messages and
        // whoever else holds it: its flags are left alone, and when it is a
        // pipe or socket, poll bounds each write.
        tr.fd = STDERR_FILENO;
        tr.stream = is_stream(tr.fd);
    } else if ((tr.fd = open_trace(path, argc, argv)) < 0) {
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
    append("%s\n# program ", trace_format_line);
    append_field(slash != nullptr ? slash + 1 : name, false);
    append("\n# args");
    for (int i = 1; i < argc; ++i) {
        append(" ");
        append_field(argv[i], true);
    }
    append("\n# version %s\n# start %s.%06ldZ\n", MOTORBUS_VERSION, when, wall.tv_nsec / 1000);
    // Out before anything the program prints, so that a trace on standard
    // error starts with its own first line.
    flush_buffer();
}

void trace_device(int fd, const char *path) {
    if (tr.held) {
        // The device is this run's: the file is its trace now.
        tr.held = ftruncate(tr.fd, 0) != 0;
        if (tr.held) {
            stop(strerror(errno));
            return;
        }
    }
    append("# device ");
    append_field(path, false);
    append("\n");
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        append("# speed %u\n", tty_baud(fd));
        append("# termios iflag=%#x oflag=%#x cflag=%#x lflag=%#x vmin=%u vtime=%u\n", tio.c_iflag,
               tio.c_oflag, tio.c_cflag, tio.c_lflag, tio.c_cc[VMIN], tio.c_cc[VTIME]);
    } else {
        append("# speed unknown (%s)\n", strerror(errno));
    }
    const int latency = tty_latency_timer_ms(fd);
    if (latency >= 0) {
        append("# latency-timer %d ms\n", latency);
    } else {
        append("# latency-timer none\n");
    }
    append("# columns: microseconds, W written / R read / X write failed / E event / "
           "S hold-off summary / C echo of the frame written, byte count, bytes, | label\n");
}

void trace_chunks(int count) {
    tr.chunks = count;
}

void trace_write(const uint8_t *data, size_t asked, ssize_t result, int err) {
    const KeepErrno keep;
    char label[160];
    label_write(data, asked, label, sizeof label);
    memcpy(tr.sent_label, label, sizeof label);
    if (result < 0) {
        char failed[224];
        snprintf(failed, sizeof failed, "%s: write failed: %s", label, strerror(err));
        bytes_line('X', data, asked, failed);
    } else if (static_cast<size_t>(result) < asked) {
        char shortw[224];
        snprintf(shortw, sizeof shortw, "%s: short write, %zd of %zu bytes", label, result, asked);
        bytes_line('W', data, static_cast<size_t>(result), shortw);
    } else {
        bytes_line('W', data, asked, label);
    }
}

void trace_read(const uint8_t *piece, size_t n, const uint8_t *reply, size_t have, size_t want) {
    const KeepErrno keep;
    char label[192];
    if (have < want) {
        snprintf(label, sizeof label, "part of a %zu-byte reply, %zu so far", want, have);
    } else {
        label_reply(reply, have, label, sizeof label);
        if (n < have) {
            char whole[96];
            snprintf(whole, sizeof whole, " (the last part of the %zu-byte reply)", have);
            strncat(label, whole, sizeof label - strlen(label) - 1);
        }
    }
    bytes_line('R', piece, n, label);
    if (have >= want) {
        // A whole reply goes out at once: a program may pause next (fwburn
        // sleeps a second after the mode frame), and Ctrl+C there must not
        // lose it.
        flush_buffer();
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
    bytes_line('C', piece, n, label);
}

void trace_unasked(const uint8_t *piece, size_t n) {
    const KeepErrno keep;
    bytes_line('R', piece, n, "arrived unasked, dropped");
}

void trace_event(const char *fmt, ...) {
    const KeepErrno keep;
    char text[sizeof tr.ended_by];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (tr.held) {
        // Before the device: the event ends the run (open_set exits).
        memcpy(tr.ended_by, text, sizeof text);
    }
    // A path in it may hold a newline: the event stays one line.
    append("%lld E ", now_us());
    append_escaped(text, false);
    append("\n");
    flush_buffer();
}

void trace_pattern(const uint8_t *data, size_t asked, ssize_t result, int err) {
    const KeepErrno keep;
    if (result < 0 || static_cast<size_t>(result) != asked || tr.patterns_total == 0) {
        pattern_summary();
        trace_write(data, asked, result, err);
        ++tr.patterns_total;
        tr.summary_us = now_us();
        flush_buffer();
        return;
    }
    ++tr.patterns;
    ++tr.patterns_total;
    const long long now = now_us();
    if (now - tr.summary_us >= 1000000) {
        pattern_summary();
        tr.summary_us = now;
        flush_buffer();
    }
}

void trace_flush() {
    flush_buffer();
}
