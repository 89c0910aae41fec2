// Messages on standard error on a line of their own (console.h): a stream
// in place of standard output that notes whether its last byte ended a line.
#include "host/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Descriptors 1 and 2 are one file (a terminal, a file, a pipe).
bool one_file = false;
// The last byte standard output put out was not a newline.
bool line_open = false;

// The write of the stream that stands in for standard output: every byte
// goes to descriptor 1 as before, and the last one is noted. Returns the
// bytes written; fewer than size marks the stream's error, as a failed
// write marks standard output's.
ssize_t write_out(void *, const char *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t w = write(STDOUT_FILENO, buf + done, size - done);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (done > 0) {
        line_open = buf[done - 1] != '\n';
    }
    return static_cast<ssize_t>(done);
}

// Puts out what standard output holds, then ends a line it left open.
void begin_line() {
    if (!one_file) {
        return;
    }
    const int saved = errno;
    fflush(stdout);
    if (line_open) {
        fputc('\n', stderr);
        line_open = false;
    }
    errno = saved;
}

} // namespace

void console_start() {
    struct stat out {};
    struct stat err {};
    if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0 ||
        out.st_dev != err.st_dev || out.st_ino != err.st_ino) {
        return;
    }
    // Standard output is replaced by a stream that writes to the same
    // descriptor, buffered as glibc buffers standard output: by lines on a
    // terminal, in blocks elsewhere.
    FILE *tracked =
        fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, write_out, nullptr, nullptr});
    if (tracked == nullptr) {
        return;
    }
    setvbuf(tracked, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ);
    fflush(stdout);
    stdout = tracked;
    one_file = true;
}

void console_perror(const char *what) {
    begin_line();
    // perror may leave errno changed (glibc's tries a stream of its own on
    // descriptor 2 first).
    const int saved = errno;
    perror(what);
    errno = saved;
}

void console_error(const char *format, ...) {
    begin_line();
    const int saved = errno;
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    errno = saved;
}

bool console_flush_output(const char *program) {
    errno = 0;
    const bool flushed = fflush(stdout) == 0;
    if (flushed && ferror(stdout) == 0) {
        return true;
    }
    const int err = errno;
    console_error("%s: standard output could not be written%s%s\n", program, err != 0 ? ": " : "",
                  err != 0 ? strerror(err) : "");
    return false;
}
