// Replay of a wire trace (MOTORBUS_TRACE) on the simulated bus: instead of
// motor models, the trace answers. Every byte the host writes is matched
// against the host writes the trace recorded, in order, as one byte stream
// (how the pty cuts it into pieces does not matter); when a recorded write is
// complete, the answers read after it in the recording go out with their
// recorded delays, and a recorded hang-up is replayed as one. When the host
// departs from the trace, the bus says where and stays silent from then on.
#pragma once

#include "bus.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

// One recorded host write and what the recording saw after it.
struct ReplayStep {
    std::vector<uint8_t> host;
    int line = 0;                 // in the trace file
    bool patterns = false;        // a hold-off summary: any number of 18 18 18 18
    std::vector<Scheduled> after; // at_ms: the delay after the write
};

struct Replay {
    std::string path;
    std::vector<ReplayStep> steps;
    std::vector<Scheduled> before; // answers and hang-ups before the first write
    size_t step = 0;               // the step being matched
    size_t at = 0;                 // its bytes matched so far
    bool departed = false;
    std::string departure; // what was said when the host departed
};

// Reads a trace. False with a message in error when it cannot be used.
bool replay_load(const std::string &path, Replay &replay, std::string &error);

// Puts the replay on the bus: the answers due before the first write are
// scheduled, and every host byte goes to replay_host_bytes.
void replay_attach(Bus &bus, Replay &replay);

// Matches bytes the host wrote; schedules the recorded answers of every
// write completed. On departure writes a report to standard error.
void replay_host_bytes(Bus &bus, Replay &replay, std::span<const uint8_t> bytes);

// One line for motorsim's account.
std::string replay_describe(const Replay &replay);

} // namespace sim
