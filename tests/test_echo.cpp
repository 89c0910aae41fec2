// An adapter that echoes every byte the host writes: each tool gives the
// same output, status and wire bytes as on an adapter without echo, and
// says once on standard error that it sets the echo aside.
#include "frames.h"
#include "harness.h"

#include <functional>
#include <future>
#include <gtest/gtest.h>

using harness::TempDir;
using harness::TestBus;
using sim::Firmware;
using sim::MotorState;

namespace {

std::string note(const TestBus &line) {
    return "note: " + line.bus.slave_path + " echoes what is sent; the echo is set aside\n";
}

struct Case {
    const char *name;
    std::string program;
    std::vector<std::string> args;
    std::function<void(sim::Bus &)> motors;
    std::string out_end;                                  // how the output ends
    std::function<bool(const sim::Bus &)> held = nullptr; // what the motors hold after it
};

TEST(Echo, EveryToolRunsAsWithoutEcho) {
    TempDir dir;
    const auto image = sim::sample_image(1000, 11);
    const std::string path = dir.file("fw.bin", image);
    const std::vector<Case> cases = {
        {"ldrmode",
         "ldrmode",
         {"@"},
         [](sim::Bus &b) {
             harness::add_motor(b, 3, MotorState::firmware);
             harness::add_motor(b, 5, MotorState::bootloader, Firmware::none);
         },
         "1.Motor ID 3\n2.Motor ID 5\n---------------\nTotal 2 motors\n"},
        {"runmode",
         "runmode",
         {"@"},
         [](sim::Bus &b) {
             harness::add_motor(b, 2, MotorState::bootloader, Firmware::none);
             harness::add_motor(b, 5, MotorState::bootloader, Firmware::corrupt);
             harness::add_motor(b, 9, MotorState::bootloader);
         },
         "Motor 2 did not find firmware.\nMotor 5 firmware crc check error.\n"},
        {"fwburn",
         "fwburn",
         {"@", path, "4"},
         [](sim::Bus &b) { harness::add_motor(b, 4, MotorState::firmware); },
         "\nFlash successfully!\n",
         [&](const sim::Bus &b) { return b.motors[0].image == frames::padded(image); }},
        {"fwburn with no motor",
         "fwburn",
         {"@", path, "4"},
         [](sim::Bus &) {},
         "Wait for motor to reply ... Timeout\n"},
    };
    for (const Case &c : cases) {
        TestBus plain;
        TestBus echoing;
        echoing.bus.adapter.echo = true;
        c.motors(plain.bus);
        c.motors(echoing.bus);
        // Side by side: the flash without a motor waits out its ten seconds.
        auto reference =
            std::async(std::launch::async, [&] { return plain.run(c.program, c.args); });
        const auto got = echoing.run(c.program, c.args);
        const auto want = reference.get();
        EXPECT_TRUE(got.out.ends_with(c.out_end)) << c.name << "\n" << got.out;
        EXPECT_EQ(got.out, want.out) << c.name;
        EXPECT_EQ(got.exit_code, want.exit_code) << c.name;
        EXPECT_EQ(got.err, note(echoing) + want.err) << c.name;
        EXPECT_EQ(sim::host_stream(echoing.bus), sim::host_stream(plain.bus)) << c.name;
        EXPECT_NEAR(got.ms, want.ms, 500) << c.name;
        if (c.held) {
            EXPECT_TRUE(c.held(echoing.bus)) << c.name;
        }
    }
}

// An echo that differs from what was written is named, with the offset;
// the frame itself reached the motor, and the flash goes on. The trace
// records the echo as what it is.
TEST(Echo, ADamagedEchoIsNamed) {
    TempDir dir;
    const auto image = sim::sample_image(100, 3);
    const std::string trace = dir.path + "/trace";
    TestBus line;
    line.bus.adapter.echo = true;
    line.bus.adapter.echo_damage_at = static_cast<int64_t>(frames::flash_bytes(2) + 5);
    line.add_motor(6, MotorState::bootloader, Firmware::none);
    const auto r = line.run("fwburn", {"@", dir.file("fw.bin", image), "6"},
                            harness::shim({"MOTORBUS_TRACE=" + trace}));
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.err, note(line) + "warning: " + line.bus.slave_path +
                         ": the echo differs from what was sent at byte 5 of a 17-byte frame: the "
                         "frame was damaged on the bus (a collision or noise)\n");
    EXPECT_TRUE(line.bus.motors[0].image == frames::padded(image));
    const std::string text = harness::slurp(trace);
    EXPECT_NE(text.find(" C 4 FB 02 06 BB | echo of: download, id 6\n"), std::string::npos) << text;
    EXPECT_NE(text.find("| echo of: data chunk 3 of 8, sum "), std::string::npos) << text;
    EXPECT_NE(text.find(": differs at byte 5, damaged on the bus\n"), std::string::npos) << text;
}

} // namespace
