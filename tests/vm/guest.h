// The host's side of the guest's protocol over the console. The guest's
// /init (init.sh) runs each line sent as a shell command and ends its answer
// with "@@RC <status>"; vmprobe (vmprobe.cpp, the other half of this
// protocol) reports a program's run as an "@@RUN" line followed by its
// output in "@@OUT <length>" and "@@ERR <length>" blocks.
#pragma once

#include "machine.h"

#include <string>

// One command's answer: what it printed and its status.
struct GuestReply {
    std::string text;
    int rc = -1;
    Clock::time_point at{}; // when the answer was complete
};

// Runs a shell command in the guest and waits up to timeout_ms for its
// answer, serving the lines meanwhile. A missing answer is a test failure.
GuestReply guest(const std::string &command, int timeout_ms = 30000);

// A program's run inside the guest, as vmprobe reports it.
struct GuestRun {
    int status = -999; // exit status, or minus the signal that ended it
    double ms = 0;
    double cpu_ms = 0;
    bool killed = false;
    std::string out;
    std::string err;
    Clock::time_point reported{}; // host time the report was complete
};

// The run vmprobe reported in text; a missing or short report is a test failure.
GuestRun parse_run(const std::string &text);

// Runs /bin/program with args under vmprobe run with its options.
GuestRun run_in_guest(const std::string &program, const std::string &args,
                      const std::string &options = "");
