// Replay of a wire trace (MOTORBUS_TRACE) on the simulated bus: instead of
// motor models, the trace answers. Every byte the host writes is matched
// against the host writes the trace recorded, in order, as one byte stream
// (how the pty cuts it into pieces does not matter); when a recorded write is
// complete, the answers read after it in the recording go out with their
// recorded delays, and a recorded hang-up is replayed as one. When the host
// departs from the trace, the bus says where and stays silent from then on.
// A trace without its exit status ends before its run did: the command is
// interrupted where it ends, as the run most likely was.
#pragma once

#include "bus.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One recorded host write and what the recording saw after it.
struct ReplayStep {
    std::vector<uint8_t> host;
    int line = 0;                 // in the trace file
    bool patterns = false;        // a hold-off summary: any number of 18 18 18 18
    std::vector<Scheduled> after; // at_ms: the delay after the write
    // A hold-off summary: the pattern bytes recorded; what follows it goes
    // out once the host has written as many.
    uint64_t pattern_bytes = 0;
};

// What a trace may hold at most; a file past these is refused, not read.
constexpr size_t replay_max_file_bytes = 64u << 20;
constexpr size_t replay_max_line_bytes = 64u << 10;
constexpr size_t replay_max_record_bytes = 4096;      // bytes of one write or read
constexpr long long replay_max_delay_us = 3600000000; // between a write and what follows it
constexpr long long replay_max_time_us = 1LL << 50;   // about 35 years
constexpr long long replay_max_patterns = 1LL << 40;
// A trace that ends before its run did: the command is interrupted this long
// after the time of its last record, time to take in what that record holds
// (the run read it before it was stopped), well within the shortest wait of
// a tool (100 ms), which an interrupted wait in the field never reached.
constexpr double replay_end_grace_ms = 50;

struct Replay {
    std::string path;
    std::vector<ReplayStep> steps;
    std::vector<Scheduled> before; // answers and hang-ups before the first write
    size_t step = 0;               // the step being matched
    size_t at = 0;                 // its bytes matched so far
    uint64_t pattern_bytes = 0;    // in a hold-off summary: hold-off bytes matched
    bool echoed = false;           // recorded on an adapter that echoes: the trace holds the echo
    bool departed = false;
    std::string departure; // what was said when the host departed
    int exit_status = -1;  // the recorded run's, from the closing record
    std::string cut;       // why the recording ends before the run did; empty: it does not
    bool cut_off = false;  // the host wrote past the end of such a recording
};

// Reads a trace: a regular file of at most replay_max_file_bytes. False
// with a message in error when it cannot be used.
bool replay_load(const std::string &path, Replay &replay, std::string &error);

// Reads the text of a trace; path names it in messages.
bool replay_parse(std::string_view text, const std::string &path, Replay &replay,
                  std::string &error);

// Puts the replay on the bus: the answers due before the first write are
// scheduled, and every host byte goes to replay_host_bytes.
void replay_attach(Bus &bus, Replay &replay);

// Matches bytes the host wrote; schedules the recorded answers of every
// write completed. On departure writes a report to standard error.
void replay_host_bytes(Bus &bus, Replay &replay, std::span<const uint8_t> bytes);

// One line for motorsim's account.
std::string replay_describe(const Replay &replay);

} // namespace sim
