// The hold-off flood: the pattern written to the bus again and again, so
// that a motor powered up meanwhile stays in its bootloader instead of
// starting its firmware. holdoff floods one bus until it is interrupted;
// motorbus rescue floods every bus at once until the user is done.
//
// A flood writes one pattern, pauses hold_off_pause_us, and so on: a little
// under 500 patterns a second. Each write waits for room in the driver (at
// once when there is some) and gives up when the adapter took no byte for
// hold_off_stall_ms.
#pragma once

#include "line/LSerial_linux.h"

#include <cstdint>

// Pause after each pattern: short enough that a motor powering up hears the
// pattern many times while it listens for it.
constexpr int hold_off_pause_us = 2000;

// How long the adapter may take to accept a pattern: as long as any write
// of the tools may wait.
constexpr int hold_off_stall_ms = write_stall_ms;

enum class PatternWrite : uint8_t {
    written,      // the whole pattern is on its way
    stalled,      // the adapter took no byte for hold_off_stall_ms: the bus is not held, and
                  // what waited in the output queue is discarded
    poll_failed,  // the wait for room failed (errno says why)
    write_failed, // a write failed (errno says why): the adapter is gone
};

// Writes one whole pattern on serial, which must be non-blocking (O_NONBLOCK):
// the write waits in poll, never in write, so that a wedged USB adapter or a
// line held by flow control cannot block it for ever.
PatternWrite hold_off_write(int serial);
