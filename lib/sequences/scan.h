// The broadcast and the scan: every motor on the bus is sent into its
// bootloader with one broadcast mode frame, and after a second the
// bootloaders are asked who is there; each answers with one byte, its id.
//
// scan_bus() prints nothing: each answer is handed to a callback, in
// arrival order (an id answered twice comes twice). Listening ends after
// three consecutive one-second waits without an answer, so a scan takes
// about four seconds plus one per answer at most.
#pragma once

#include <cstdint>

// Each wait for an answer to the scan.
constexpr int scan_answer_wait_ms = 1000;

// answer: the byte received (0 to 255; an id is 0 to 14); count: how many
// answers so far, this one included.
using ScanReport = void (*)(uint8_t answer, int count, void *context);

// Returns the number of answers.
int scan_bus(int serial, int pollset, ScanReport report, void *context);
