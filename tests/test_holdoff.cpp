// holdoff, the real program against the simulated bus.
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <vector>

using sim::Firmware;
using sim::MotorState;

namespace {

// No newline at the end: the cursor waits after "exit" while the bus is held.
const std::string instructions =
    "Now, power-off motor, you can plug in the XT30 (2x2) cable and turn on the power. \n"
    "When the LED flashes quickly for 3 times, it successfully enters the factory mode. \n"
    "You can then update the motor firmware or change the motor ID.\n"
    "\n"
    "Press CTRL+C to exit";

// holdoff ends only by a signal or a failure. Every run here is interrupted
// at interrupt_ms, so a program that should have stopped earlier shows as
// ended by SIGINT instead of hanging the test.
sim::RunResult run_holdoff(harness::TestBus &line, std::vector<std::string> args,
                           double interrupt_ms, sim::RunOptions opt = harness::shim()) {
    sim::bus_schedule(line.bus, sim::signal_at(interrupt_ms, SIGINT));
    opt.timeout_ms = static_cast<int>(interrupt_ms) + 5000;
    return line.run("holdoff", std::move(args), opt);
}

// The flood itself: the instructions, all of them on screen although only
// SIGINT ends the run, then one 4-byte pattern per write at a little under
// 500 a second.
TEST(Holdoff, FloodsThePatternUntilInterrupted) {
    harness::TestBus line;
    const auto r = run_holdoff(line, {"@"}, 2200);
    EXPECT_EQ(r.term_signal, SIGINT);
    EXPECT_EQ(r.out, instructions);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.ms, 3200) << "SIGINT must end the run at once";
    EXPECT_LT(r.cpu_ms, 0.3 * r.ms) << "the pauses between patterns must be sleeps";

    size_t total = 0;
    size_t single = 0;
    size_t chunks = 0;
    double first_ms = -1;
    double last_ms = -1;
    std::vector<double> gaps; // before each pattern that reached the bus on its own
    for (const sim::WireChunk &c : line.bus.wire) {
        ASSERT_TRUE(c.from_host);
        ASSERT_TRUE(!c.bytes.empty() && c.bytes.size() % 4 == 0)
            << "a pattern was split: " << harness::hex(c.bytes);
        for (uint8_t b : c.bytes) {
            ASSERT_EQ(b, 0x18);
        }
        total += c.bytes.size();
        single += c.bytes.size() == 4 ? 1 : 0;
        if (c.bytes.size() == 4 && last_ms >= 0) {
            gaps.push_back(c.t_ms - last_ms);
        }
        ++chunks;
        first_ms = first_ms < 0 ? c.t_ms : first_ms;
        last_ms = c.t_ms;
    }
    // Writes close together may reach the bus as one chunk when the machine
    // is busy; most must arrive on their own.
    EXPECT_GT(single, chunks / 2) << single << " of " << chunks << " chunks hold one pattern";
    ASSERT_GT(last_ms - first_ms, 1500);
    const double rate = static_cast<double>(total / 4) / ((last_ms - first_ms) / 1000);
    std::printf("holdoff: %zu patterns in %.0f ms, %.1f patterns/s, %zu of %zu chunks single\n",
                total / 4, last_ms - first_ms, rate, single, chunks);
    EXPECT_LT(rate, 500);
    // Late wake-ups on a busy machine pull the average rate down; the median
    // gap between writes, 2 ms and the write's own time, they leave alone.
    ASSERT_FALSE(gaps.empty());
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    const double median = gaps[gaps.size() / 2];
    EXPECT_TRUE(median > 1.9 && median < 3.0) << "median gap " << median << " ms";
}

// A motor powered up while the pattern is on the bus stays in its
// bootloader, although its image is good.
TEST(Holdoff, MotorPoweredUpDuringTheFloodEntersItsBootloader) {
    harness::TestBus line;
    sim::Motor &m = line.add_motor(6, MotorState::firmware);
    m.power_on_ms = 500;
    const auto r = run_holdoff(line, {"@"}, 1000);
    EXPECT_EQ(r.term_signal, SIGINT);
    const sim::Motor &after = line.bus.motors[0];
    EXPECT_EQ(after.state, MotorState::bootloader) << sim::describe(after);
    EXPECT_TRUE(after.held_off);
    EXPECT_EQ(after.firmware, Firmware::valid);
}

// The adapter goes away during the flood: the failed write is reported and
// the run ends instead of looping silently. With standard output and error
// in one file (2>&1, a terminal) the report starts a line of its own, after
// the instructions' last line, which is left open.
TEST(Holdoff, FailedWriteEndsTheRun) {
    const std::string report = "write err\n: Input/output error\n";
    for (const bool merged : {false, true}) {
        SCOPED_TRACE(merged ? "in one file" : "apart");
        harness::TestBus line;
        const double gone_at = 500 + harness::startup_ms();
        sim::bus_schedule(line.bus, sim::hangup_at(gone_at));
        sim::RunOptions opt = harness::shim();
        opt.merged = merged;
        const auto r = run_holdoff(line, {"@"}, gone_at + 2500, opt);
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, merged ? instructions + "\n" + report : instructions);
        EXPECT_EQ(r.err, merged ? "" : report);
        EXPECT_LT(r.ms, gone_at + 1000);
        EXPECT_FALSE(sim::host_stream(line.bus).empty());
    }
}

// An adapter that stops taking bytes: holdoff waits for room ten seconds,
// without spinning, then says so and fails, instead of blocking for ever.
TEST(Holdoff, StalledAdapterEndsTheRunAfterTenSeconds) {
    harness::TestBus line;
    line.bus.stall_after_host_bytes = 400;
    const auto r = run_holdoff(line, {"@"}, 15000 + harness::startup_ms());
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, instructions);
    EXPECT_EQ(r.err, "holdoff: the adapter takes no more bytes (" + line.bus.slave_path +
                         " accepted none for 10 s); the bus is not held\n");
    const double waited = r.start_ms + r.ms -
                          sim::host_time_at(line.bus, static_cast<size_t>(line.bus.host_bytes - 1));
    EXPECT_GT(waited, 9900);
    EXPECT_LT(waited, 12000);
    EXPECT_LT(r.cpu_ms, 500) << "waited for room by spinning";
    EXPECT_GE(line.bus.host_bytes, 400);
    EXPECT_EQ(line.bus.host_bytes % 4, 0) << "a pattern was cut";
}

} // namespace
