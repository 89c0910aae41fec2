// Helpers shared by the tests: where the programs are, a bus that closes
// itself, and byte formatting for readable failures.
#pragma once

#include "runner.h"

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace harness {

// Path of a program built by this project: one of the installed programs
// (build/bin), or a helper of the tests (build/tests/bin).
std::string tool(const std::string &name);

// True when the programs run under user-mode emulation (a cross build).
bool emulated();

// How much later than natively a program gets to open its device: under the
// emulator, on a loaded machine, seconds. Events meant to come after the
// open (an adapter that vanishes mid-run) are scheduled this much later.
double startup_ms();

// Options that preload the pty serial shim, with extra environment entries.
sim::RunOptions shim(std::vector<std::string> env = {});

// Puts a motor on the bus; one with firmware holds a 1024-byte sample image.
sim::Motor &add_motor(sim::Bus &bus, uint8_t id, sim::MotorState state,
                      sim::Firmware fw = sim::Firmware::valid);

// A simulated bus, open for the life of the object.
struct TestBus {
    sim::Bus bus;
    TestBus();
    ~TestBus();
    TestBus(const TestBus &) = delete;
    TestBus &operator=(const TestBus &) = delete;

    sim::Motor &add_motor(uint8_t id, sim::MotorState state,
                          sim::Firmware fw = sim::Firmware::valid);
    // Runs one of the programs with the given arguments; "@" stands for the bus's device.
    sim::RunResult run(const std::string &program, std::vector<std::string> args,
                       sim::RunOptions opt = shim());
};

// Runs motorsim with these arguments, as a user would: it makes its own
// buses (a bus the harness serves beside it stays unused).
sim::RunResult run_motorsim(std::vector<std::string> args, std::vector<std::string> env = {});

// A bus served from a thread, for exchanges made by this process itself.
struct ServedBus {
    TestBus line;
    int stop_fd = -1;
    std::thread thread;
    ServedBus();
    ~ServedBus();
    ServedBus(const ServedBus &) = delete;
    ServedBus &operator=(const ServedBus &) = delete;
    void start();
    void stop(); // after stop() the test may read line.bus
};

// A scratch directory, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // A file with this content; returns its path.
    std::string file(const std::string &name, const std::vector<uint8_t> &content) const;
    // A file of the given size that takes no room on the disk.
    std::string sparse(const std::string &name, int64_t size) const;
};

std::vector<uint8_t> bytes(std::initializer_list<int> list);
std::string hex(std::span<const uint8_t> data);
// The whole content of a file; empty when it cannot be read.
std::string slurp(const std::string &path);

// text with every from replaced by to (one bus's device name by another's).
std::string replace_all(std::string text, const std::string &from, const std::string &to);

// Milliseconds elapsed since `since`.
double ms_since(std::chrono::steady_clock::time_point since);

} // namespace harness
