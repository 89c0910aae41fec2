// Running a program against the simulated bus: it is started with the bus's
// device in its arguments, and one event loop serves the line, the program's
// output and its exit until it ends.
#pragma once

#include "bus.h"

#include <span>
#include <string>
#include <sys/epoll.h>
#include <vector>

namespace sim {

// One wait of an event loop that serves buses: waits on the epoll set ep for
// at most bound_ms (-1: no bound), and no longer than until the first of the
// buses needs attention (bus_tick); to the microsecond where the kernel
// allows. Returns what epoll_wait returns.
int wait_for_buses(int ep, std::span<epoll_event> events, std::span<const Bus *const> buses,
                   double bound_ms);

// Serves the bus until stop_fd becomes readable (for a program running in
// this process, from another thread).
void bus_serve(Bus &bus, int stop_fd);

struct RunOptions {
    std::string preload;          // library to preload into the program, if any
    std::vector<std::string> env; // extra NAME=value entries
    int timeout_ms = 60000;       // the program is killed after this long
    bool capture = true;          // false: the program writes to this process's stdout/stderr
    bool keep_stdin = false; // the program reads this process's standard input (else /dev/null)
    bool merged = false;     // standard error goes where standard output goes (2>&1)
    std::vector<int> closed; // standard descriptors the program starts without
    int relay_fd = -1;       // a signalfd: each signal read from it goes on to the program
};

struct RunResult {
    int exit_code = -1; // exit status, -1 when ended by a signal
    int term_signal = 0;
    bool timed_out = false;
    std::string out;
    std::string err;
    double ms = 0;       // from start to exit
    double start_ms = 0; // bus time of the start
    double cpu_ms = 0;   // user + system CPU time of the program
    double user_ms = 0;  // its two parts
    double sys_ms = 0;
    std::string spawn_error; // set when the program could not be started
};

// Runs argv[0] with its arguments against the bus and serves the bus until
// it ends. Its standard output and error are captured.
RunResult run_program(Bus &bus, const std::vector<std::string> &argv, const RunOptions &opt);

// The same with several buses served at once; the first one's schedule
// signals the program.
RunResult run_program(std::span<Bus *const> buses, const std::vector<std::string> &argv,
                      const RunOptions &opt);

} // namespace sim
