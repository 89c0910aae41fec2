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

struct Options {
    enum class Action : uint8_t { run, help, version };
    Action action = Action::run;
    std::vector<sim::Motor> motors; // with the faults given for each
    int64_t hangup_after = -1;      // >= 0: the adapter vanishes after this many host bytes
    int64_t stall_after = -1;       // >= 0: the adapter takes no more after this many
    long sigint_ms = -1;            // >= 0: the command is interrupted then
    bool quiet = false;
    bool replay = false;
    std::string replay_path;
    sim::Adapter adapter;
    std::vector<std::string> command; // COMMAND [ARGS...], "@" as given
};

// Reads the command line. False when it is refused, with what is wrong in
// error (one line, without the program's name).
bool parse_options(int argc, char *argv[], Options &o, std::string &error);

} // namespace motorsim
