// Where the wire trace goes (trace_sink.h): its target opened, checked and
// written without ever holding up the run.
#include "trace/trace_sink.h"

#include "host/console.h"
#include "trace/trace.h"
#include "trace/trace_format.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// How long one write-out may wait for a pipe or FIFO whose reader lags:
// past this the trace stops rather than hold up the bus conversation.
constexpr int stall_ms = 100;

// Where the trace goes.
struct Sink {
    int fd = -1;
    const char *path = "";
    bool stream = false;      // a pipe, FIFO or socket: writes are bounded
    bool held = false;        // a regular file not yet ours: written once the device is
    bool last_newline = true; // the last byte that went out ended a line
    char buf[16384];
    size_t used = 0;

    // The event that ended a run before it had the device, for the warning
    // that an earlier trace is left as it was.
    char ended_by[sink_event_size] = "";
};
Sink tr;

// A pipe, FIFO or socket: its reader may lag, so its writes are bounded.
bool is_stream(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

void warn(const char *path, const char *why) {
    console_error("warning: cannot write the trace to %s: %s; running untraced\n", path, why);
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
        console_error("warning: the trace %s is left as it was: %s\n", tr.path, tr.ended_by);
    } else {
        console_error("warning: the trace %s is left as it was: this run never opened the device\n",
                      tr.path);
    }
    close(tr.fd);
    tr.fd = -1;
    trace_on = false;
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

bool sink_open(const char *path, int argc, char *argv[]) {
    tr.path = path;
    if (strcmp(path, "-") == 0) {
        // Standard error is shared with the program's own messages and
        // whoever else holds it: its flags are left alone, and when it is a
        // pipe or socket, poll bounds each write.
        tr.fd = STDERR_FILENO;
        tr.stream = is_stream(tr.fd);
        return true;
    }
    tr.fd = open_trace(path, argc, argv);
    return tr.fd >= 0;
}

bool sink_take() {
    if (tr.held) {
        // The device is this run's: the file is its trace now.
        tr.held = ftruncate(tr.fd, 0) != 0;
        if (tr.held) {
            stop(strerror(errno));
            return false;
        }
    }
    return true;
}

void sink_note_event(const char *text) {
    if (tr.held) {
        // Before the device: the event ends the run (open_set exits).
        snprintf(tr.ended_by, sizeof tr.ended_by, "%s", text);
    }
}

void sink_append(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vappend(fmt, ap);
    va_end(ap);
}

void sink_append_hex(const uint8_t *d, size_t n) {
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

void sink_flush() {
    flush_buffer();
}

bool sink_closing() {
    if (tr.fd >= 0 && tr.held) {
        release_held();
    }
    return tr.fd >= 0;
}
