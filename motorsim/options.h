// motorsim's command line, read into a plain record and checked as a whole
// before anything is opened or started.
#pragma once

#include "adapter.h"
#include "motor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace motorsim {

// The exit status of a command line that is refused.
constexpr int usage_status = 2;

// The text of --help.
extern const char *const help_text;

// What a bus is given: its motors, its faults, its adapter.
struct BusOptions {
    std::vector<sim::Motor> motors; // with the faults given for each
    int64_t hangup_after = -1;      // >= 0: the adapter vanishes after this many host bytes
    int64_t stall_after = -1;       // >= 0: the adapter takes no more after this many
    sim::Adapter adapter;
};

struct Options {
    enum class Action : uint8_t { run, help, version };
    Action action = Action::run;
    // The first bus ("@" or "@1").
    std::vector<sim::Motor> motors; // with the faults given for each
    int64_t hangup_after = -1;      // >= 0: the adapter vanishes after this many host bytes
    int64_t stall_after = -1;       // >= 0: the adapter takes no more after this many
    long sigint_ms = -1;            // >= 0: the command is interrupted then
    bool quiet = false;
    bool replay = false;
    std::string replay_path;
    sim::Adapter adapter;
    // The buses after the first, each begun by --bus: "@2", "@3", ...
    std::vector<BusOptions> more_buses;
    std::vector<std::string> command; // COMMAND [ARGS...], "@" as given
};

// The device path that stands for word: "@" and "@1" name the first bus,
// "@N" the N-th; "@=..." and "@N=..." keep what follows the '='. Empty
// when word names no bus (or a bus beyond count).
std::string bus_word(const std::string &word, const std::vector<std::string> &paths);

// Reads the command line. False when it is refused, with what is wrong in
// error (one line, without the program's name).
bool parse_options(int argc, char *argv[], Options &o, std::string &error);

} // namespace motorsim
