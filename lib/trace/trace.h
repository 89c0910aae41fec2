// Wire trace: with MOTORBUS_TRACE set (a file path, or "-" for standard
// error) a program records what it writes to and reads from the bus, one
// line each, with a decoded label, after a header that names the program,
// its arguments, the device and its settings. The format is described in
// docs/motorbus-trace.5.
//
// Tracing is off unless trace_start() found the variable. Every hook is
// guarded by trace_on at its call site, so an untraced run does no work and
// no extra system call. A trace that cannot be written never changes the run:
// the trace stops and the program goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

extern bool trace_on;

// Reads MOTORBUS_TRACE and, when it is set, opens the trace and writes the
// first part of the header. A trace that cannot be opened is named once on
// standard error and the run goes on untraced; so is a target that is one of
// the files the arguments name (the device, fwburn's image) or a regular
// file that holds something other than a trace, which is left untouched.
void trace_start(int argc, char *argv[]);

// The rest of the header, after the device has been set up: its path, the
// speed and line settings the driver reports, its USB latency timer. From
// here on the run has the device, and a trace file is emptied and written.
void trace_device(int fd, const char *path);

// fwburn tells the number of data chunks of its image, so that data frames
// are labelled "chunk k of n".
void trace_chunks(int count);

// One write to the bus: `asked` bytes at data, and what write() returned
// (with errno saved in err when it failed).
void trace_write(const uint8_t *data, size_t asked, ssize_t result, int err);

// One read of an exchange: `n` new bytes at piece; reply holds the `have`
// bytes gathered so far of the `want` the exchange expects.
void trace_read(const uint8_t *piece, size_t n, const uint8_t *reply, size_t have, size_t want);

// The echo of the frame written last, read back from an adapter that
// echoes: n new bytes at piece, `have` of the `want` echo bytes so far;
// damaged_at >= 0: the first byte that differs from what was written.
void trace_echo(const uint8_t *piece, size_t n, size_t have, size_t want, long damaged_at);

// Bytes that arrived unasked and are dropped unread by any exchange.
void trace_unasked(const uint8_t *piece, size_t n);

// Something that happened without bytes: a time-out, a hang-up, a failure.
void trace_event(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// holdoff's pattern, written about 500 times a second: the first one and
// every failure are recorded in full, the rest as one line per second.
void trace_pattern(const uint8_t *data, size_t asked, ssize_t result, int err);

// Writes out what is buffered; called before every wait on the bus so that
// a run stopped by a signal loses nothing it had sent.
void trace_flush();
