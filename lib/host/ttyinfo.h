// What the tty driver says about an open serial device: the rate it really
// runs at, and the latency timer of a USB-serial adapter that has one. Used
// for warnings and diagnostics only; nothing here changes the device.
#pragma once

#include <cstddef>
#include <termios.h>

// The rate in baud that a speed code stands for; 0 for a code without one.
unsigned baud_of(speed_t code);

// The output rate the driver reports for fd now; 0 when it cannot be read.
unsigned tty_baud(int fd);

// The sysfs attribute of fd's device that holds its USB latency timer, found
// from the device number (/sys/dev/char/MAJOR:MINOR/device/latency_timer),
// so any path to the device works, /dev/serial/by-id/... links included.
// Writes it into path (size bytes) and returns true when the attribute exists.
bool tty_latency_timer_path(int fd, char *path, size_t size);

// The latency timer of fd's USB adapter in milliseconds; -1 when the device
// has none (a pty, an on-board UART) or it cannot be read.
int tty_latency_timer_ms(int fd);

// A USB adapter holds every short reply for its latency timer: one longer
// than the wait_ms a tool gives a reply (runmode 100 ms, ldrmode a second)
// makes it miss motors without a word. Warns on standard error, with the
// fix, when the timer of device (open as fd) is that long.
void warn_latency_over(int fd, const char *device, int wait_ms);

// The serial adapters there are now under root ("/dev" but in tests): each
// ttyUSB* and ttyACM*, followed by its serial/by-id names in brackets, and
// any by-id name that leads elsewhere, joined by ", " into out (cut short at
// size bytes). Returns how many names of devices were listed, 0 for none.
int tty_adapters(const char *root, char *out, size_t size);

// After the open of path failed: when the device is not there (ENOENT,
// ENXIO, ENODEV), a line on standard error that names it and the serial
// adapters there are, or says there is none. errno is kept.
void tty_say_missing(const char *path);
