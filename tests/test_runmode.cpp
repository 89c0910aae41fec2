// runmode, the real program against the simulated bus.
#include "harness.h"

#include <gtest/gtest.h>

using harness::bytes;
using harness::hex;
using sim::Firmware;
using sim::MotorState;

namespace {

sim::Fault on_query(std::vector<uint8_t> answer) {
    sim::Fault f;
    f.on = sim::Frame::query;
    f.count = -1;
    f.replace = std::move(answer);
    return f;
}

// Without motors every id costs two 100 ms waits: start then query, ids 0 to
// 14 in order, each frame sent after the previous one's wait ran out.
TEST(Runmode, EmptyBusGetsThirtyFramesInOrderInAboutThreeSeconds) {
    harness::TestBus line;
    const auto r = line.run("runmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    std::vector<uint8_t> expected;
    for (int id = 0; id < 15; ++id) {
        for (int cmd : {4, 3}) {
            expected.insert(expected.end(),
                            {0xFB, static_cast<uint8_t>(cmd), static_cast<uint8_t>(id), 0xBB});
        }
    }
    const auto wire = sim::host_stream(line.bus);
    ASSERT_EQ(hex(wire), hex(expected));
    // The bus stamps a frame when it reads it, which a busy machine delays:
    // single gaps get a wide margin, the whole walk a narrow one.
    for (size_t frame = 1; frame < 30; ++frame) {
        const double gap =
            sim::host_time_at(line.bus, 4 * frame) - sim::host_time_at(line.bus, 4 * (frame - 1));
        EXPECT_GT(gap, 40) << "frame " << frame << " came before the previous wait ran out";
        EXPECT_LT(gap, 400) << "frame " << frame;
    }
    EXPECT_GT(sim::host_time_at(line.bus, 4 * 29) - sim::host_time_at(line.bus, 0), 2800);
    EXPECT_GT(r.ms, 2900);
    EXPECT_LT(r.ms, 4500);
}

// What a query reply makes runmode print. Each motor of one bus answers its
// query with the reply of one case; the number printed is the id the reply
// names, whichever id was asked.
TEST(Runmode, ReportsByTheQueryReply) {
    struct Case {
        uint8_t motor;
        std::vector<uint8_t> reply;
        std::string out;
    };
    const std::vector<Case> cases = {
        {0, bytes({0xFC, 0x03, 0xE2, 0x00}), "Motor 2 did not find firmware.\n"},
        {2, bytes({0xFC, 0x03, 0xE2, 0x00}), "Motor 2 did not find firmware.\n"},
        // Neither lead byte 0xFC nor trailing byte 0xBB: nothing to report.
        {3, bytes({0x00, 0x03, 0xC5, 0x00}), ""},
        // Decoded by its trailing byte alone.
        {4, bytes({0x00, 0x03, 0xEB, 0xBB}), "Motor 11 did not find firmware.\n"},
        {5, bytes({0xFC, 0x03, 0xC5, 0x00}), "Motor 5 firmware crc check error.\n"},
        // Other status values mean nothing to runmode.
        {6, bytes({0xFC, 0x03, 0xD6, 0x00}), ""},
        // The status of a query reply is next to the id, not in the last byte.
        {7, bytes({0xFC, 0x03, 0x07, 0xC0}), ""},
        {9, bytes({0xFC, 0x03, 0xC5, 0x00}), "Motor 5 firmware crc check error.\n"},
        {12, bytes({0xFD, 0x03, 0xE2, 0xBA}), ""},
        {14, bytes({0xFC, 0x03, 0xCE, 0xBB}), "Motor 14 firmware crc check error.\n"},
    };
    harness::TestBus line;
    std::string expected;
    for (const Case &c : cases) {
        sim::Motor &m = line.add_motor(c.motor, MotorState::bootloader, Firmware::none);
        m.faults.push_back(on_query(c.reply));
        expected += c.out;
    }
    const auto r = line.run("runmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

// A mixed bus: running motors ignore bootloader frames and print nothing,
// bootloaders with a good image start their firmware, the others are reported
// in id order.
TEST(Runmode, StartsGoodImagesAndReportsTheRest) {
    harness::TestBus line;
    line.add_motor(1, MotorState::firmware);
    line.add_motor(14, MotorState::bootloader, Firmware::corrupt);
    line.add_motor(0, MotorState::bootloader);
    line.add_motor(6, MotorState::bootloader, Firmware::none);
    line.add_motor(9, MotorState::bootloader);
    line.add_motor(3, MotorState::bootloader, Firmware::corrupt);
    const auto r = line.run("runmode", {"@"});

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Motor 3 firmware crc check error.\n"
                     "Motor 6 did not find firmware.\n"
                     "Motor 14 firmware crc check error.\n");
    EXPECT_EQ(r.err, "");
    for (const sim::Motor &m : line.bus.motors) {
        const MotorState expected =
            m.firmware == Firmware::valid ? MotorState::firmware : MotorState::bootloader;
        EXPECT_EQ(m.state, expected) << sim::describe(m);
        EXPECT_EQ(m.seen[static_cast<int>(sim::Frame::start)], m.id == 1 ? 0 : 1)
            << sim::describe(m);
    }
    EXPECT_LT(r.ms, 4500);
}

TEST(Runmode, HealthyBusPrintsNothing) {
    harness::TestBus line;
    for (uint8_t id : {0, 4, 7, 14}) {
        line.add_motor(id, MotorState::firmware);
    }
    const auto r = line.run("runmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    for (const sim::Motor &m : line.bus.motors) {
        EXPECT_EQ(m.state, MotorState::firmware) << sim::describe(m);
    }
}

// Nothing is discarded between the start and the query of an id: a start
// reply that misses its 100 ms wait, or bytes beyond the 4 the start exchange
// read, are read by the query exchange and decoded as a reply to command 4,
// whose status is the high nibble of the last byte. The motors' own query
// replies are muted.
TEST(Runmode, StartReplyLeftoversAreReadAsTheQueryReply) {
    struct Case {
        uint8_t motor;
        std::vector<uint8_t> start_reply;
        std::vector<uint8_t> extra;
        int delay_ms;
        std::string out;
    };
    const std::vector<Case> cases = {
        {5, bytes({0xFC, 0x04, 0x05, 0xBB}), {}, 140, ""}, // status 11
        {8, bytes({0xFC, 0x04, 0x08, 0xC0}), {}, 140, "Motor 8 firmware crc check error.\n"},
        {11, bytes({0xFC, 0x04, 0x0B, 0x00}), bytes({0xFC, 0x04, 0x0B, 0xE0}), 0,
         "Motor 11 did not find firmware.\n"},
    };
    harness::TestBus line;
    std::string expected;
    for (const Case &c : cases) {
        sim::Motor &m = line.add_motor(c.motor, MotorState::bootloader, Firmware::none);
        sim::Fault start;
        start.on = sim::Frame::start;
        start.replace = c.start_reply;
        start.extra = c.extra;
        start.delay_ms = c.delay_ms;
        m.faults.push_back(start);
        sim::Fault mute;
        mute.on = sim::Frame::query;
        mute.silent = true;
        m.faults.push_back(mute);
        expected += c.out;
    }
    const auto r = line.run("runmode", {"@"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, expected);
}

} // namespace
