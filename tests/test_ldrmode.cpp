// ldrmode, the real program against the simulated bus.
#include "harness.h"
#include "sequences/motorctrl.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/file.h>

using harness::bytes;
using harness::hex;
using sim::Firmware;
using sim::MotorState;

namespace {

// ldrmode keeps its frame for all motors as a constant; it must be the frame
// the mode frame builder makes for id 15.
const std::array<uint8_t, 17> all_motors = MotorCtrl_ModeFrame(15);
const std::vector<uint8_t> mode_frame_all(all_motors.begin(), all_motors.end());
const std::vector<uint8_t> scan = bytes({0xFB, 0x00, 0x00, 0xBB});

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A motor running its firmware and one already in its bootloader: the mode
// frame sends the first to its bootloader, and both answer the scan.
TEST(Ldrmode, SwitchesEveryMotorAndListsTheAnswers) {
    harness::TestBus line;
    line.add_motor(3, MotorState::firmware);
    line.add_motor(7, MotorState::bootloader);
    const auto r = line.run("ldrmode", {"@"});

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1.Motor ID 3\n2.Motor ID 7\n---------------\nTotal 2 motors\n");
    EXPECT_EQ(r.err, "");
    const auto wire = sim::host_stream(line.bus);
    EXPECT_EQ(hex(wire), hex(concat(mode_frame_all, scan)));
    const double gap = sim::host_time_at(line.bus, 17) - sim::host_time_at(line.bus, 0);
    EXPECT_GT(gap, 950) << "the scan must follow the mode frame after one second";
    EXPECT_LT(gap, 1600);
    EXPECT_GT(r.ms, 3900); // three silent seconds after the last answer
    EXPECT_LT(r.ms, 6000);
    EXPECT_EQ(line.bus.motors[0].state, MotorState::bootloader);
}

TEST(Ldrmode, EmptyBusListsNothingAfterAboutFourSeconds) {
    harness::TestBus line;
    const auto r = line.run("ldrmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "---------------\nTotal 0 motors\n");
    // Not one answer: one line points to the check of the set-up.
    EXPECT_TRUE(r.err.starts_with("hint: none of the ") &&
                r.err.ends_with("'motorbus doctor " + line.bus.slave_path +
                                "' checks the adapter's set-up\n") &&
                std::count(r.err.begin(), r.err.end(), '\n') == 1)
        << r.err;
    EXPECT_GT(r.ms, 3900);
    EXPECT_LT(r.ms, 6000);
}

// Bytes that arrive before the scan (here during the one-second sleep) are
// not answers to it and must not be listed as motors.
TEST(Ldrmode, BytesBeforeTheScanAreNotListed) {
    harness::TestBus line;
    sim::bus_schedule(line.bus, sim::stray_at(300, bytes({0x05, 0x09})));
    line.add_motor(2, MotorState::bootloader);
    const auto r = line.run("ldrmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1.Motor ID 2\n---------------\nTotal 1 motors\n");
}

// An answer resets the misses, and an id that answers twice is listed twice.
TEST(Ldrmode, LateAnswerResetsTheMissesAndRepeatsAreListed) {
    harness::TestBus line;
    line.add_motor(4, MotorState::bootloader);
    // Two silent seconds after the scan, then another answer of 4.
    sim::bus_schedule(line.bus, sim::stray_at(3500, bytes({0x04})));
    const auto r = line.run("ldrmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "1.Motor ID 4\n2.Motor ID 4\n---------------\nTotal 2 motors\n");
    EXPECT_GT(r.ms, 6000); // listening ends three seconds after the last answer
    EXPECT_LT(r.ms, 8500);
}

TEST(Ldrmode, AnswerBytesAreListedAsTheirValue) {
    harness::TestBus line;
    sim::Motor &m = line.add_motor(1, MotorState::bootloader);
    sim::Fault f;
    f.on = sim::Frame::scan;
    f.replace = bytes({0xFF, 0x80});
    m.faults.push_back(f);
    const auto r = line.run("ldrmode", {"@"});
    EXPECT_EQ(r.out, "1.Motor ID 255\n2.Motor ID 128\n---------------\nTotal 2 motors\n");
}

TEST(Ldrmode, SerialConfigurationWriteBackFailureIsReportedAndIgnored) {
    harness::TestBus line;
    line.add_motor(9, MotorState::bootloader);
    const auto r = line.run("ldrmode", {"@"}, harness::shim({"PTYSERIAL_FAIL=set"}));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Ioctl error on setting serial configure: Operation not permitted\n");
    EXPECT_EQ(r.out, "1.Motor ID 9\n---------------\nTotal 1 motors\n");
}

// An adapter that cannot run at 4,000,000 baud is named, and the run goes on.
TEST(Ldrmode, AdapterAtAnotherSpeedIsNamed) {
    harness::TestBus line;
    line.add_motor(6, MotorState::bootloader);
    const auto r = line.run("ldrmode", {"@"}, harness::shim({"PTYSERIAL_SPEED=3000000"}));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "warning: " + line.bus.slave_path +
                         " runs at 3000000 baud, not 4000000; the adapter may not support this "
                         "speed\n");
    EXPECT_EQ(r.out, "1.Motor ID 6\n---------------\nTotal 1 motors\n");
}

TEST(Ldrmode, DeviceInUseByAnotherProgram) {
    harness::TestBus line;
    const int holder = open(line.bus.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const auto r = line.run("ldrmode", {"@"});
    close(holder);
    EXPECT_EQ(r.exit_code, 255);
    // The holder is this test, by the name /proc gives it (under user-mode
    // emulation the emulator's).
    std::string name = harness::slurp("/proc/self/comm");
    name.erase(name.find_last_not_of('\n') + 1);
    EXPECT_EQ(r.err, "open serial error: " + line.bus.slave_path +
                         " is in use by another program\n" + "hint: " + name + " (pid " +
                         std::to_string(getpid()) + ") holds its lock\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(sim::host_stream(line.bus).empty());
}

// The adapter vanishes right after the scan: listening ends at once, the
// hang-up is named, and the total, which counts no motor, fails the run.
TEST(Ldrmode, HangUpDuringTheScanEndsPromptly) {
    harness::TestBus line;
    line.bus.hangup_after_host_bytes = 21;
    const auto r = line.run("ldrmode", {"@"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "---------------\nTotal 0 motors\n");
    EXPECT_EQ(r.err, "error: " + line.bus.slave_path +
                         ": the line hung up: the adapter was unplugged or reset\n");
    EXPECT_LT(r.ms, 2500);
    EXPECT_LT(r.cpu_ms, 200);
}

// The list is ldrmode's result, and runmode's report its own: one that
// could not be written to standard output fails the run, named.
TEST(Ldrmode, AListThatCannotBeWrittenFailsTheRun) {
    if (harness::emulated()) {
        GTEST_SKIP() << "the shell would start the target's programs itself";
    }
    for (const std::string program : {"ldrmode", "runmode"}) {
        const auto r =
            harness::run_motorsim({"--quiet", "--motor", "2:boot:none", "--", "sh", "-c",
                                   harness::tool(program) + " \"$MOTORSIM_DEVICE\" >/dev/full"});
        EXPECT_EQ(r.exit_code, 255) << program;
        EXPECT_EQ(r.err,
                  program + ": standard output could not be written: No space left on device\n");
    }
}

} // namespace
