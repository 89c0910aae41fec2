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
    std::string adapter = "echo";                         // the line under test; "" for none
    std::function<void(sim::Bus &)> fault = nullptr;      // what only that line's motors do
    std::string err_has; // empty: stderr is the note, if any, and the reference's
    int exit_code = -1;  // -1: the reference's
};

// Each case runs on the line under test and, side by side, on a line
// without echo or fault: output, wire bytes and waits must be the same.
TEST(Echo, EveryToolRunsAsWithoutEcho) {
    TempDir dir;
    const auto image = sim::sample_image(1000, 11);
    const std::string path = dir.file("fw.bin", image);
    const auto scan_bus = [](sim::Bus &b) {
        harness::add_motor(b, 3, MotorState::firmware);
        harness::add_motor(b, 5, MotorState::bootloader, Firmware::none);
    };
    const auto walk_bus = [](sim::Bus &b) {
        harness::add_motor(b, 2, MotorState::bootloader, Firmware::none);
        harness::add_motor(b, 5, MotorState::bootloader, Firmware::corrupt);
        harness::add_motor(b, 9, MotorState::bootloader);
    };
    // A bootloader that acknowledges its start with the command's own bytes.
    const auto command_form_bus = [](sim::Bus &b) {
        harness::add_motor(b, 0, MotorState::bootloader);
        harness::add_motor(b, 2, MotorState::bootloader, Firmware::corrupt);
        harness::add_motor(b, 4, MotorState::bootloader, Firmware::none);
    };
    const auto command_form = [](sim::Bus &b) { b.motors[0].command_form = true; };
    const auto flash_bus = [](sim::Bus &b) { harness::add_motor(b, 4, MotorState::firmware); };
    const auto flashed = [&](const sim::Bus &b) {
        return b.motors[0].image == frames::padded(image);
    };
    const std::string walk_end =
        "Motor 2 did not find firmware.\nMotor 5 firmware crc check error.\n";
    const std::string scan_end = "1.Motor ID 3\n2.Motor ID 5\n---------------\nTotal 2 motors\n";
    const std::string damaged = "the echo differs from what was sent at byte ";
    const std::vector<Case> cases = {
        {"ldrmode", "ldrmode", {"@"}, scan_bus, scan_end, nullptr, "echo", nullptr, "", -1},
        {"runmode", "runmode", {"@"}, walk_bus, walk_end, nullptr, "echo", nullptr, "", -1},
        {"fwburn",
         "fwburn",
         {"@", path, "4"},
         flash_bus,
         "\nFlash successfully!\n",
         flashed,
         "echo",
         nullptr,
         "",
         -1},
        {"fwburn with no motor",
         "fwburn",
         {"@", path, "4"},
         [](sim::Bus &) {},
         "Wait for motor to reply ... Timeout\n",
         nullptr,
         "echo",
         nullptr,
         "",
         -1},
        // The first frame's echo damaged: still known for an echo.
        {"ldrmode, first echo damaged",
         "ldrmode",
         {"@"},
         scan_bus,
         scan_end,
         nullptr,
         "echo:damage@3",
         nullptr,
         damaged + "3 of a 17-byte frame",
         -1},
        {"runmode, first echo damaged",
         "runmode",
         {"@"},
         walk_bus,
         walk_end,
         nullptr,
         "echo:damage@1",
         nullptr,
         "echoes what is sent",
         -1},
        {"fwburn, first echo damaged",
         "fwburn",
         {"@", path, "4"},
         flash_bus,
         "\nFlash successfully!\n",
         flashed,
         "echo:damage@4",
         nullptr,
         damaged + "4 of a 17",
         -1},
        {"fwburn with no motor, first echo damaged",
         "fwburn",
         {"@", path, "4"},
         [](sim::Bus &) {},
         "Wait for motor to reply ... Timeout\n",
         nullptr,
         "echo:damage@16",
         nullptr,
         damaged + "16 of a 17",
         -1},
        // A motor answering in the command form is no echo, on a clean line...
        {"runmode, command-form motor",
         "runmode",
         {"@"},
         command_form_bus,
         "Motor 2 firmware crc check error.\nMotor 4 did not find firmware.\n",
         nullptr,
         "",
         command_form,
         "",
         -1},
        // ... nor does it hide the echo of one that echoes.
        {"runmode, command-form motor, echo",
         "runmode",
         {"@"},
         command_form_bus,
         "Motor 2 firmware crc check error.\nMotor 4 did not find firmware.\n",
         nullptr,
         "echo",
         command_form,
         "echoes what is sent",
         -1},
        // The scan's echo never comes: named, and the run is no sure one.
        {"ldrmode, echo stops",
         "ldrmode",
         {"@"},
         scan_bus,
         scan_end,
         nullptr,
         "echo:stop@17",
         nullptr,
         "the results of this run may be wrong\n",
         255},
    };
    for (const Case &c : cases) {
        TestBus plain;
        TestBus tested;
        if (!c.adapter.empty()) {
            ASSERT_TRUE(sim::adapter_parse(c.adapter, tested.bus.adapter)) << c.name;
        }
        c.motors(plain.bus);
        c.motors(tested.bus);
        if (c.fault) {
            c.fault(tested.bus);
        }
        // Side by side: the flash without a motor waits out its ten seconds.
        auto reference =
            std::async(std::launch::async, [&] { return plain.run(c.program, c.args); });
        const auto got = tested.run(c.program, c.args);
        const auto want = reference.get();
        EXPECT_TRUE(got.out.ends_with(c.out_end)) << c.name << "\n" << got.out;
        EXPECT_EQ(got.out, want.out) << c.name;
        EXPECT_EQ(got.exit_code, c.exit_code >= 0 ? c.exit_code : want.exit_code) << c.name;
        if (c.err_has.empty()) {
            // The reference ran on another pty: its messages name that one.
            const std::string want_err =
                harness::replace_all(want.err, plain.bus.slave_path, tested.bus.slave_path);
            EXPECT_EQ(got.err, (c.adapter.empty() ? "" : note(tested)) + want_err) << c.name;
        } else {
            EXPECT_NE(got.err.find(c.err_has), std::string::npos) << c.name << "\n" << got.err;
        }
        EXPECT_EQ(sim::host_stream(tested.bus), sim::host_stream(plain.bus)) << c.name;
        EXPECT_NEAR(got.ms, want.ms, 500) << c.name;
        if (c.held) {
            EXPECT_TRUE(c.held(tested.bus)) << c.name;
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
