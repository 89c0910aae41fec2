// The start-and-query walk: each motor is told to leave its bootloader and
// start its firmware, then asked for its status. A motor whose firmware
// started no longer hears bootloader frames and stays silent; a bootloader
// that answers the query is still there, and its status says why.
//
// walk_bus() prints nothing: the answer to each query is handed to a
// callback. Each motor costs at most two 100 ms waits.
#pragma once

#include <cstdint>
#include <span>

// A bootloader answers well within this; a motor silent for this long is skipped.
constexpr int walk_reply_wait_ms = 100;

// The decoded query reply, or answered false when no 4-byte reply came.
struct WalkAnswer {
    uint8_t asked = 0;     // the id the walk asked
    bool answered = false; // a 4-byte reply came to the query
    uint8_t id = 0;        // the id the reply names (0 when it does not decode)
    uint8_t status = 0;    // its status nibble: BTSTAT_CRC_ERROR, BTSTAT_NO_FIRMWARE, ...
};

using WalkReport = void (*)(const WalkAnswer &answer, void *context);

// Every id 0 to 14, in order.
void walk_bus(int serial, int pollset, WalkReport report, void *context);

// The given ids, in order.
void walk_motors(int serial, int pollset, std::span<const uint8_t> ids, WalkReport report,
                 void *context);
