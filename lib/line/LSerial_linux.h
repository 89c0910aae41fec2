// Serial port layer: the only code that touches the RS-485 adapter.
//
// open_set() opens the tty raw 8N1 at 4,000,000 baud. The exchanges write a
// frame and wait for a reply of an exact length; broadcast() only writes.
// Lengths are unsigned 16-bit counts, so a count of 65536 or more is taken
// modulo 65536 where it is passed in.
//
// An adapter that echoes what is sent (its receiver stays on while it
// transmits) is recognised from what comes back after the writes, and named
// once on standard error; from then on each operation reads the echo of what
// it wrote and sets it aside, so that callers see the line as on an adapter
// without echo. Bytes the layer cannot explain (an echo that stops coming,
// an echo after silence proved there is none) are named once too, and turn
// line_status() to -1.
//
// No write waits for ever: one that finds the adapter taking no byte for
// write_stall_ms gives the line up as stalled (named once on standard
// error, the output queue discarded), and every later write fails at once.
#pragma once

#include <cstdint>

// How long a write may wait for the adapter to take a byte. poll reports
// room only once the driver's buffer is nearly empty, and a full buffer
// takes about 4 s to drain at 9600 baud: a slow line is not taken for a
// stalled one. holdoff's writes have the same limit.
constexpr int write_stall_ms = 10000;

// Opens and configures the device. Ends the process with status -1 when the
// device cannot be opened or another program holds it. Returns -1 (after
// closing the descriptor) when the device is not a serial port.
int open_set(const char *path);

// Writes data_len bytes (none when 0), then waits up to timeout_ms for the
// reply and collects exactly buf_len bytes into buf. Returns buf_len, or 0
// when nothing usable arrived (time-out, reply cut short, hang-up, read error,
// or buf_len 0). After a time-out buf is untouched.
int send_recv_timeout(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
                      uint16_t buf_len, int timeout_ms);

// send_recv_timeout() with a one-second wait.
int send_recv(int fd, int pollset, const uint8_t *data, uint16_t data_len, uint8_t *buf,
              uint16_t buf_len);

// One write, nothing read (but its echo). Returns 1 after reporting a failed
// write, else 0.
int broadcast(int fd, const uint8_t *data, uint16_t data_len);

// Drops input that arrived unasked. After a broadcast on a line not yet
// known to echo, first looks (without waiting) whether what is waiting
// begins with its echo.
void discard_input(int fd);

int close_serial(int fd);

// Why the line failed this run, or nullptr while it serves: a write that
// failed, a read that met a hang-up, an adapter that took no more bytes,
// bytes that could not be explained. The first cause, in words.
const char *line_failure();

// The status a run that ends well exits with: 0, or -1 once the line failed
// (line_failure): a frame reached no motor, the adapter went away, or the
// results rest on bytes that could not be explained.
int line_status();

// How many times the line showed bytes that could not be explained.
int line_unexplained();

// Whether the adapter is known to echo or not to (false until the line has
// shown which). While it is not known, a 4-byte command that comes back as
// written with nothing after it is taken as its reply, a guess: a
// bootloader may answer in the command form. line_guesses() counts them, so
// that a caller can ask again once the line is known.
bool line_known();
int line_guesses();

// A run in which no exchange got its reply ends with a hint on standard
// error that points to motorbus doctor. While on, exchanges are left out of
// that count: in runmode's walk a started motor's silence is its success.
void silence_expected(bool on);
