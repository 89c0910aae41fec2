// The simulated motor bus: a pseudo-terminal whose slave side stands in for
// the USB-to-RS-485 adapter and whose master side is played by simulated
// motors. It records every byte that crosses it, with a time stamp.
#pragma once

#include "adapter.h"
#include "motor.h"

#include <chrono>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// Bytes read from (from_host) or written to the line at one moment,
// in milliseconds since the bus started.
struct WireChunk {
    double t_ms = 0;
    bool from_host = true;
    std::vector<uint8_t> bytes;
};

// Things that happen on the bus at a set time: scheduled by a test, or
// internally (delayed answers, power-up).
enum class Action : uint8_t { answer, stray, hangup, signal, power_on, power_check };
struct Scheduled {
    double at_ms = 0;
    Action action = Action::stray;
    std::vector<uint8_t> bytes; // answer, stray
    int motor = -1;             // power_on, power_check
    int sig = 0;                // signal: sent to the program under test
};

// The schedule, earliest first; actions due at the same time keep the order
// they were scheduled in (answers recorded in the same microsecond go out in
// their recorded order). Adding and taking the next one cost O(log n), so a
// replay of a long trace costs in proportion to its length.
struct Earlier {
    bool operator()(const Scheduled &a, const Scheduled &b) const { return a.at_ms < b.at_ms; }
};
using Schedule = std::multiset<Scheduled, Earlier>;

Scheduled stray_at(double at_ms, std::vector<uint8_t> bytes);
Scheduled hangup_at(double at_ms);
Scheduled signal_at(double at_ms, int sig);
Scheduled power_on_at(double at_ms, int motor);

struct Replay;

struct Bus {
    std::vector<Motor> motors;
    Schedule schedule; // through bus_schedule
    // >= 0: the line drops once the host wrote this many bytes.
    int64_t hangup_after_host_bytes = -1;
    // >= 0: the adapter takes no more bytes once the host wrote this many:
    // the host's writes block, and poll reports no room.
    int64_t stall_after_host_bytes = -1;
    // A frame that stops short is given up (or, while a motor downloads,
    // taken as a 4-byte command) after the line has been quiet this long.
    double frame_idle_ms = 5;
    Replay *replay = nullptr; // set: a recorded trace answers instead of the motors
    Adapter adapter;          // on: motor bytes wait for the adapter's latency timer

    // The line.
    int master = -1;
    int slave_keep = -1; // held open so that the master never reads a hang-up
    std::string slave_path;
    Clock::time_point t0;
    bool hung_up = false;
    bool stalled = false;

    // What crossed the line.
    std::vector<WireChunk> wire;
    int64_t host_bytes = 0;

    // Frame assembly of the host's byte stream.
    std::vector<uint8_t> pending;
    double last_rx_ms = 0;
    int pattern_run = 0;           // consecutive hold-off bytes seen
    double last_pattern_ms = -1e9; // when the hold-off pattern was last complete
};

// Creates the pseudo-terminal (raw, no echo, no translation). False on failure, errno set.
bool bus_open(Bus &bus);
void bus_close(Bus &bus);

double bus_now_ms(const Bus &bus);

// Adds an action to the schedule, after those due at the same time.
void bus_schedule(Bus &bus, Scheduled s);

// Feeds bytes the host wrote; motors answer through the schedule.
void bus_host_bytes(Bus &bus, std::span<const uint8_t> bytes);
// Runs every scheduled action that is due. child: the program under test (signals), or 0.
void bus_run_due(Bus &bus, pid_t child);
// Milliseconds until the bus next needs attention, -1 when nothing is pending.
double bus_next_wait_exact_ms(const Bus &bus);
// Reads whatever the host has written so far (non-blocking).
void bus_drain_master(Bus &bus);

// Everything the host wrote, in order, as one byte string.
std::vector<uint8_t> host_stream(const Bus &bus);
// Time (ms) of the first host chunk at or after byte offset `offset` of host_stream().
double host_time_at(const Bus &bus, size_t offset);

// The environment entries that make the pty shim play the adapters of these
// open buses: with one bus modelling an adapter, adapter_env()'s; with
// several, PTYSERIAL_ADAPTERS, each adapter named by its pty's device number.
std::vector<std::string> buses_adapter_env(std::span<Bus *const> buses);

// Starts the bus clock; motors that power up later are switched off until then.
void bus_start_clock(Bus &bus);
// Frames what the host wrote so far and runs every scheduled action that is due.
// child: the program under test (signals), or 0.
void bus_tick(Bus &bus, pid_t child);

} // namespace sim
