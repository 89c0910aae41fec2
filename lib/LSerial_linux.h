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
#pragma once

#include <cstdint>

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

// How many writes of the exchanges and broadcast() have failed since the
// program started: a run during which the adapter vanished is no success.
int write_failures();

// The status a run that ends well exits with: 0, or -1 when a write failed
// (a frame reached no motor) or the line showed bytes that could not be
// explained (its results may be wrong).
int line_status();

// How many times the line showed bytes that could not be explained.
int line_unexplained();

// A run in which no exchange got its reply ends with a hint on standard
// error that points to motorbus doctor. While on, exchanges are left out of
// that count: in runmode's walk a started motor's silence is its success.
void silence_expected(bool on);
