// The kernel's RS-485 mode of a serial port. With it on, the tty driver
// raises (or lowers) RTS around each write: a board's own UART whose
// transceiver has its direction pin on RTS then drives the bus only while
// it sends, and listens the rest of the time. A USB adapter's transceiver
// switches by itself, and its driver, like a PC's 16550, has no such mode.
//
//   rs485_read(fd)               the mode the driver keeps, or that it has none
//   rs485_set(fd, want)          sets a mode and reads back what the driver kept
//   rs485_asked(found, ...)      the mode `on` or `off` asks for, from the one found
//   rs485_differences(asked, kept)  each way the kept mode is not the one asked for
//   rs485_text(mode)             the mode in words
//   rs485_probe(device)          opens the device, reads its mode, closes it
//   rs485_verdict(adapter, probe)  doctor's verdict on it
//
// The kernel keeps a mode of its own per port, across opens, until it is set
// again or the machine restarts; it drops flags its driver lacks, picks one
// RTS polarity when asked for both or neither, and caps each delay (100 ms
// since Linux 6.0). Nothing here touches the line settings or the speed.
#pragma once

#include "host/setup.h"

#include <cstdint>
#include <string>
#include <vector>

// As struct serial_rs485 holds it.
struct Rs485 {
    uint32_t flags = 0;     // SER_RS485_*
    uint32_t before_ms = 0; // RTS switched this long before the first bit is sent
    uint32_t after_ms = 0;  // and held this long after the last one
};

enum class Rs485Has : uint8_t {
    mode,   // the driver has the mode; `mode` holds it
    none,   // the driver has none (ENOTTY)
    unknown // not looked at, or an ioctl failed with `error`
};

struct Rs485Probe {
    Rs485Has has = Rs485Has::unknown;
    Rs485 mode;
    int error = 0; // errno of the call that failed
};

// Whether fd's driver has the mode, and the mode it keeps. Changes nothing.
Rs485Probe rs485_read(int fd);

// Sets want on fd (TIOCSRS485), then reads back what the driver kept.
Rs485Probe rs485_set(int fd, const Rs485 &want);

// The mode `on` (rts_on_send: RTS high while sending, else low; the two
// delays) or `off` asks for. Flags of the found mode that the request does
// not name (receiving while sending, bus termination) are kept.
Rs485 rs485_asked(const Rs485 &found, bool on, bool rts_on_send, uint32_t before_ms,
                  uint32_t after_ms);

// One sentence per difference between what was asked and what the driver
// kept; none when the port reads back as asked.
std::vector<std::string> rs485_differences(const Rs485 &asked, const Rs485 &kept);

// "off", or "on, RTS high while sending, no delays", and so on.
std::string rs485_text(const Rs485 &m);

// doctor's look at a device: opened without waiting, left alone when another
// program holds its lock (as the tools take it) or it is no tty.
Rs485Probe rs485_probe(const std::string &device);

// doctor's rs485 verdict: the mode and, when it is off, the command that
// turns it on now and the device tree properties that turn it on at boot.
// No verdict (an empty check) for a USB adapter or a pty, which switch
// direction by themselves, or for a port whose driver has no mode or that
// was not probed.
Verdict rs485_verdict(const Adapter &a, const Rs485Probe &p);
