// Where the wire trace goes: the target MOTORBUS_TRACE names, opened and
// checked before anything is written to it, and the buffered writes to it.
// Whatever the target does (a pipe whose reader quits or lags, a FIFO
// nobody reads, a full disk, a file size limit), the run goes on: the trace
// stops, says why once on standard error, and a file cut off midway is
// marked incomplete. Used by the trace's hooks (trace.cpp) only.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

// The hooks run between a failed call and the perror that reports it:
// whatever the trace does, errno is as it was.
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

// The longest event text the sink keeps (sink_note_event), terminator included.
constexpr size_t sink_event_size = 512;

// Opens the target at path, or standard error for "-". False when it is
// refused (it cannot be opened, or it is the device, an argument's file or
// a file that holds something other than a trace): the reason is named on
// standard error and the run goes on untraced. A regular file is held: it
// keeps what it holds until sink_take().
bool sink_open(const char *path, int argc, char *argv[]);

// The run has the device: a held file is emptied and from now on written.
// False when that failed; the trace has stopped.
bool sink_take();

// An event, recorded while the file is still held: should the run end
// before it has the device, the warning that the file is left as it was
// names it.
void sink_note_event(const char *text);

// Text in the buffer, printf-style; what does not fit in a held trace is dropped.
void sink_append(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The n bytes at d, each as a blank and two upper-case hex digits.
void sink_append_hex(const uint8_t *d, size_t n);

// Writes out what is buffered (nothing while the file is held).
void sink_flush();

// At exit: a file still held is left as it was, with a warning that says
// why. True when the trace is open for its closing record.
bool sink_closing();
