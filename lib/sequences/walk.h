// The start-and-query walk: each motor is told to leave its bootloader and
// start its firmware, then asked for its status. A motor whose firmware
// started no longer hears bootloader frames and stays silent; a bootloader
// that answers the query is still there, and its status says why.
//
// The walks print nothing: the answer to each query is handed to a
// callback, which may end the walk. Each motor costs at most two 100 ms
// waits.
//
//   walk_bus()     every id 0 to 14, each answer reported as it comes
//                  (runmode prints the broken ones).
//   walk_motors()  the given ids, for a caller that keeps each motor's state
//                  (motorbus): an answer that rests on a guess about the line
//                  (see line_known()) is asked again once the line is known.
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

// Returns false to end the walk there.
using WalkReport = bool (*)(const WalkAnswer &answer, void *context);

// Every id 0 to 14, in order.
void walk_bus(int serial, int pollset, WalkReport report, void *context);

// The given ids. Answers are reported in the order of ids. One taken on a
// line not yet known to echo or not waits until the line is known, and the
// motor is walked again then: a start and a query are harmless to repeat.
// Should the walk end with the line still unknown, one query to an id not
// walked settles it (a second id whose command comes back exactly proves
// the echo).
void walk_motors(int serial, int pollset, std::span<const uint8_t> ids, WalkReport report,
                 void *context);
