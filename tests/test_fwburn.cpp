// fwburn, the real program against the simulated bus.
#include "frames.h"
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using harness::bytes;
using harness::hex;
using harness::TempDir;
using sim::Firmware;
using sim::Frame;
using sim::MotorState;
using namespace frames;

namespace {

const std::string bad_id = "Motor ID must be in the range 0-14.\n";
const std::string no_device = "/dev/no-such-adapter";

// fwburn flashing an image into motor `id`, the first motor on the bus.
struct Flash {
    TempDir dir;
    harness::TestBus line;
    Bytes image;
    Bytes pad;
    uint8_t id;

    Flash(Bytes img, uint8_t motor_id, std::vector<sim::Fault> faults = {},
          MotorState state = MotorState::firmware)
        : image(std::move(img)), pad(padded(image)), id(motor_id) {
        const Firmware fw = state == MotorState::firmware ? Firmware::valid : Firmware::none;
        line.add_motor(id, state, fw).faults = std::move(faults);
    }
    sim::RunResult run(sim::RunOptions opt = harness::shim()) {
        return line.run("fwburn", {"@", dir.file("fw.bin", image), std::to_string(id)}, opt);
    }
    const sim::Motor &motor() const { return line.bus.motors[0]; }
    std::string wire() const { return hex(sim::host_stream(line.bus)); }
    // The console after the banner up to the end of a transfer that drew these percentages.
    std::string transferred(const std::vector<int> &percents) const {
        return frames::transferred(image.size(), pad, id, percents);
    }
    // The host's bytes up to the CRC command, then `starts` start commands and the query.
    std::string wire_with_start(int starts) const {
        Bytes w = wire_to_crc(id, pad);
        for (int i = 0; i < starts; ++i) {
            append(w, command(start, id));
        }
        append(w, command(query, id));
        return hex(w);
    }
    // Bus time at which the program ended.
    double end_ms(const sim::RunResult &r) const { return r.start_ms + r.ms; }
};

size_t count_of(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// ---- Refusals before the port is touched ------------------------------------

// The id is checked first (here the image is missing too); an accepted id
// lets the run go on to the image.
TEST(FwburnStart, MotorIdIsAWholeNumberFrom0To14) {
    const std::string missing = "/nonexistent/fw.bin";
    const std::string open_failure =
        "Error in open file:" + missing + "\nFile type error or file doesn't exist.\n";
    const struct {
        const char *arg;
        bool accepted;
    } cases[] = {
        {"0", true},
        {"14", true},
        {" 7", true},
        {"+7", true},
        {"-0", true},
        {"014", true},
        {"15", false},
        {"-1", false},
        {"256", false},
        {"abc", false},
        {"3x", false},
        {"", false},
        {" ", false},
        {"+", false},
        {"7 ", false},
        {"0x3", false},
        {"1.0", false},
        {"99999999999999999999", false},
        {"-99999999999999999999", false},
    };
    for (const auto &c : cases) {
        harness::TestBus line;
        const auto r = line.run("fwburn", {no_device, missing, c.arg});
        EXPECT_EQ(r.exit_code, 255) << '"' << c.arg << '"';
        EXPECT_EQ(r.out, c.accepted ? open_failure : bad_id) << '"' << c.arg << '"';
        EXPECT_EQ(r.err, "") << '"' << c.arg << '"';
    }
}

// Anything but a regular file is refused before it is read; a FIFO without
// a writer must not block the program.
TEST(FwburnStart, ImageMustBeAnExistingRegularFile) {
    TempDir dir;
    const std::string fifo = dir.path + "/fifo.bin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string unreadable = dir.file("locked.bin", sim::sample_image(64));
    chmod(unreadable.c_str(), 0);
    std::vector<std::string> paths = {dir.path + "/missing.bin", dir.path, fifo, "/dev/null"};
    if (geteuid() != 0) {
        paths.push_back(unreadable); // root reads it anyway
    }
    for (const std::string &p : paths) {
        harness::TestBus line;
        const auto r = line.run("fwburn", {no_device, p, "3"});
        EXPECT_EQ(r.exit_code, 255) << p;
        EXPECT_EQ(r.out, "Error in open file:" + p + "\nFile type error or file doesn't exist.\n")
            << p;
        EXPECT_EQ(r.err, "") << p;
        EXPECT_LT(r.ms, 5000) << p;
    }
}

// Sizes are 64-bit: 4 GiB + 100 bytes must not pass as a 100-byte image.
TEST(FwburnStart, ImageLargerThan60KiBIsRefused) {
    TempDir dir;
    const struct {
        int64_t size;
        const char *kb;
    } cases[] = {
        {61441, "60"},
        {int64_t{3} << 30, "3145728"},
        {(int64_t{4} << 30) + 100, "4194304"},
        {int64_t{5} << 30, "5242880"},
    };
    for (const auto &c : cases) {
        const std::string p = dir.sparse("big" + std::to_string(c.size) + ".bin", c.size);
        harness::TestBus line;
        const auto r = line.run("fwburn", {no_device, p, "3"});
        EXPECT_EQ(r.exit_code, 255) << c.size;
        EXPECT_EQ(r.out, "Firmware too large,are you sure this is Tarvo firmware package?\nFile:" +
                             p + ", size:" + c.kb + "KB > Tarvo firmware max size:60KB\n")
            << c.size;
        EXPECT_EQ(r.err, "") << c.size;
    }
}

TEST(FwburnStart, EmptyImageIsRefused) {
    TempDir dir;
    const std::string p = dir.file("empty.bin", {});
    harness::TestBus line;
    const auto r = line.run("fwburn", {no_device, p, "3"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "Firmware file " + p + " is empty, nothing to flash.\n");
    EXPECT_EQ(r.err, "");
}

// A file that reads shorter than its size: sysfs reports 4096 bytes for every
// attribute.
TEST(FwburnStart, ShortReadIsAReadingError) {
    const std::string attr = "/sys/devices/system/cpu/online";
    struct stat st {};
    if (stat(attr.c_str(), &st) != 0 || st.st_size != 4096) {
        GTEST_SKIP() << attr << " is not a 4096-byte sysfs attribute here";
    }
    harness::TestBus line;
    const auto r = line.run("fwburn", {no_device, attr, "3"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Reading error, try using sudo execute.: Success\n");
}

// ---- A whole flash ----------------------------------------------------------

// 300 bytes: 20 chunks, the last one wholly in the padding. A second motor on
// the bus hears nothing addressed to it.
TEST(FwburnFlash, FlashesAMotorEndToEnd) {
    Flash f(sim::sample_image(300, 7), 3);
    f.line.add_motor(5, MotorState::bootloader, Firmware::none);
    const auto r = f.run();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(after_banner(r.out), f.transferred({0,  5,  11, 16, 21, 27, 32, 37, 43, 48,
                                                  53, 58, 64, 69, 75, 80, 85, 91, 96, 100}) +
                                       crc_verdict(sim::crc16(f.pad), true));
    EXPECT_EQ(f.wire(), f.wire_with_start(1));

    // One second after the mode frame, one after the download reply.
    const double download_at = sim::host_time_at(f.line.bus, mode_len);
    const double mode_to_download = download_at - sim::host_time_at(f.line.bus, 0);
    const double download_to_data = sim::host_time_at(f.line.bus, flash_bytes(0)) - download_at;
    EXPECT_GT(mode_to_download, 990);
    EXPECT_LT(mode_to_download, 1600);
    EXPECT_GT(download_to_data, 990);
    EXPECT_LT(download_to_data, 1600);

    EXPECT_EQ(f.motor().state, MotorState::firmware);
    EXPECT_EQ(f.motor().firmware, Firmware::valid);
    EXPECT_EQ(f.motor().image, f.pad);
    EXPECT_EQ(f.line.bus.motors[1].seen[static_cast<int>(Frame::download)], 0);
}

// The largest image, into a motor that already sits in its bootloader (it
// does not answer the mode frame): the bar ends at 99.
TEST(FwburnFlash, FullSizeImageIntoABootloader) {
    Flash f(sim::sample_image(61440, 11), 0, {}, MotorState::bootloader);
    const auto r = f.run();

    EXPECT_EQ(r.exit_code, 0);
    const std::string rest = after_banner(r.out);
    const std::string head = f.transferred({});
    EXPECT_EQ(rest.substr(0, head.size()), head);
    EXPECT_EQ(count_of(rest, "%]"), 3840u);
    EXPECT_EQ(count_of(rest, "[100%]"), 0u);
    const std::string tail = "[99%]" + crc_verdict(sim::crc16(f.image), true);
    EXPECT_EQ(rest.substr(rest.size() - std::min(rest.size(), tail.size())), tail);
    EXPECT_EQ(f.wire(), f.wire_with_start(1));
    EXPECT_EQ(f.motor().image, f.image);
    EXPECT_EQ(f.motor().state, MotorState::firmware);
}

// Behind an FTDI adapter every acknowledgement waits for its latency timer.
// fwburn's low-latency flag brings the timer to 1 ms; where the driver
// ignores the flag the timer stays at 16 ms, and fwburn says what it costs.
TEST(FwburnFlash, LowLatencyFlagShortensTheWaitOfAnFtdiAdapter) {
    for (const bool ignored : {false, true}) {
        Flash f(sim::sample_image(1024, 5), 2);
        sim::Adapter &adapter = f.line.bus.adapter;
        ASSERT_TRUE(sim::adapter_parse(ignored ? "ftdi:16:ignore-flag" : "ftdi", adapter));
        ASSERT_TRUE(sim::adapter_open(adapter));
        const auto r = f.run(harness::shim(sim::adapter_env(adapter)));
        const int timer_after = sim::adapter_timer_now(adapter);
        sim::adapter_close(adapter);

        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_EQ(f.motor().image, f.pad);
        EXPECT_EQ(timer_after, ignored ? 16 : 1);
        EXPECT_EQ(r.err.find("its USB latency timer of 16 ms; this flash of 64 chunks") !=
                      std::string::npos,
                  ignored)
            << r.err;
        const double chunk_ms = (sim::host_time_at(f.line.bus, flash_bytes(64)) -
                                 sim::host_time_at(f.line.bus, flash_bytes(0))) /
                                64;
        EXPECT_TRUE(ignored ? chunk_ms >= 15.0 : chunk_ms < 10.0) << chunk_ms << " ms a chunk";
    }
}

// Two refusals (a wrong sum, then the refusal code with the right sum) and
// an acceptance: the count starts again, so the next chunk has three tries
// too. A download reply that decodes opens the download whatever its id and
// command.
TEST(FwburnFlash, RefusedChunksAreSentAgainAndAnAcceptanceResetsTheCount) {
    Flash f(sim::sample_image(100, 3), 6,
            {{.on = Frame::download, .replace = bytes({0xFC, 0x09, 0x0B, 0x00})},
             {.on = Frame::data, .first = 1, .patch = {0x00, 0x00}, .refuse = true},
             {.on = Frame::data, .first = 2, .refuse = true},
             {.on = Frame::data, .first = 4, .count = 2, .refuse = true}});
    ASSERT_NE(data_frame(f.pad, 16)[16], 0) << "the patched sum must be wrong";
    const auto r = f.run();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_banner(r.out), f.transferred({1, 17, 33, 49, 65, 81, 97, 100}) +
                                       crc_verdict(sim::crc16(f.pad), true));
    Bytes wire = mode_frame(6);
    append(wire, command(download, 6));
    for (size_t at : {0, 16, 16, 16, 32, 32, 32, 48, 64, 80, 96, 112}) {
        append(wire, data_frame(f.pad, at));
    }
    append(wire, crc_command(sim::crc16(f.pad)));
    append(wire, command(start, 6));
    append(wire, command(query, 6));
    EXPECT_EQ(f.wire(), hex(wire));
    EXPECT_EQ(f.motor().firmware, Firmware::valid);
}

// ---- Failures of the flash sequence -----------------------------------------

TEST(FwburnFail, NoDownloadReplyWithinTenSeconds) {
    Flash f(sim::sample_image(64), 2, {{.on = Frame::download, .silent = true}});
    const auto r = f.run();
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r.out), flash_head(64, f.pad, 2) + "Timeout\n");
    Bytes wire = mode_frame(2);
    append(wire, command(download, 2));
    EXPECT_EQ(f.wire(), hex(wire));
    const double waited = f.end_ms(r) - sim::host_time_at(f.line.bus, mode_len);
    EXPECT_GT(waited, 9900);
    EXPECT_LT(waited, 12000);
}

// A reply that does not decode is refused for every target, motor 0 included.
TEST(FwburnFail, DownloadReplyThatDoesNotDecodeIsRefused) {
    for (const uint8_t id : {0, 9}) {
        Flash f(sim::sample_image(64), id,
                {{.on = Frame::download, .replace = bytes({'E', 'R', 'R', '!'})}});
        const auto r = f.run();
        EXPECT_EQ(r.exit_code, 255) << int{id};
        EXPECT_EQ(after_banner(r.out),
                  flash_head(64, f.pad, id) + "Error\nBootloader err msg:ERR!, len:4\n")
            << int{id};
        Bytes wire = mode_frame(id);
        append(wire, command(download, id));
        EXPECT_EQ(f.wire(), hex(wire)) << int{id};
    }
}

TEST(FwburnFail, NoAcknowledgementEndsTheTransfer) {
    Flash f(sim::sample_image(300), 4, {{.on = Frame::data, .first = 2, .silent = true}});
    const auto r = f.run();
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r.out),
              f.transferred({0, 5}) +
                  "\n[Error] 32/320 b Flash transfer interrupted or timed out!\n");
    const Bytes wire = sim::host_stream(f.line.bus);
    ASSERT_EQ(wire.size(), flash_bytes(3));
    EXPECT_EQ(hex(Bytes(wire.end() - data_len, wire.end())), hex(data_frame(f.pad, 32)));
}

// The third refusal in a row ends the run; the message shows the image
// length, our sum and the acknowledgement.
TEST(FwburnFail, ThirdRefusalInARowEndsTheRun) {
    const Bytes image = sim::sample_image(100, 5);
    const int sum = data_frame(padded(image), 16)[16];
    Flash f(image, 8,
            {{.on = Frame::data, .first = 1, .count = 2, .refuse = true},
             {.on = Frame::data, .first = 3, .patch = {sum ^ 0x5A, 0x00}, .refuse = true}});
    const auto r = f.run();

    char msg[160];
    snprintf(msg, sizeof msg,
             "\n[Error] Flash fail at 16/100 b, Transmission data check result "
             "error.CRC:%02X/%02X ErrCode:00\n",
             sum, sum ^ 0x5A);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r.out), f.transferred({1}) + msg);
    Bytes wire = mode_frame(8);
    append(wire, command(download, 8));
    for (size_t at : {0, 16, 16, 16}) {
        append(wire, data_frame(f.pad, at));
    }
    EXPECT_EQ(f.wire(), hex(wire));
}

TEST(FwburnFail, NoCrcReplyWithinTenSeconds) {
    Flash f(sim::sample_image(64), 1, {{.on = Frame::crc, .silent = true}});
    const auto r = f.run();
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r.out),
              f.transferred({1, 26, 51, 76}) + "\n\nWaiting CRC data ... Timeout\n");
    EXPECT_EQ(f.wire(), hex(wire_to_crc(1, f.pad)));
    const double waited = f.end_ms(r) - sim::host_time_at(f.line.bus, flash_bytes(4));
    EXPECT_GT(waited, 9900);
    EXPECT_LT(waited, 12000);
}

// The motor stored a chunk wrongly: its CRC differs, the run fails with
// status 255 and nothing is started.
TEST(FwburnFail, CrcMismatchFails) {
    Flash f(sim::sample_image(64), 12, {{.on = Frame::data, .first = 2, .corrupt_store = true}});
    const auto r = f.run();

    const uint16_t motor_crc = sim::crc16(f.motor().image);
    ASSERT_NE(motor_crc, sim::crc16(f.pad));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r.out), f.transferred({1, 26, 51, 76}) + crc_verdict(motor_crc, false));
    EXPECT_EQ(f.wire(), hex(wire_to_crc(12, f.pad)));
    EXPECT_EQ(f.motor().state, MotorState::bootloader);
}

// An image whose CRC is 0 (its last two bytes are the CRC of the rest): a
// reply that decodes without a CRC, or not at all, has the value 0 and still
// must not pass for a confirmation.
TEST(FwburnFail, OnlyACrcReplyCanConfirmTheImage) {
    Bytes image = sim::sample_image(62, 9);
    const uint16_t tail = sim::crc16(image);
    append(image, bytes({tail & 0xFF, tail >> 8}));
    ASSERT_EQ(sim::crc16(image), 0);
    for (const Bytes &reply : {bytes({0x00, 0x06, 0x0A, 0xBB}), bytes({0x00, 0x06, 0x00, 0x00})}) {
        Flash f(image, 10, {{.on = Frame::crc, .replace = reply}});
        const auto r = f.run();
        EXPECT_EQ(r.exit_code, 255) << hex(reply);
        EXPECT_EQ(after_banner(r.out), f.transferred({1, 26, 51, 76}) + crc_verdict(0, false))
            << hex(reply);
        EXPECT_EQ(f.wire(), hex(wire_to_crc(10, f.pad))) << hex(reply);
    }
}

// Start attempts that go unanswered (the motor does not hear them): four
// failures give the start-failure message and still status 0; a start
// confirmed at the fourth attempt gives none.
class FwburnStartAttempts : public ::testing::TestWithParam<int> {};

TEST_P(FwburnStartAttempts, StartIsTriedFourTimes) {
    const int unanswered = GetParam();
    Flash f(sim::sample_image(64), 13, {{.on = Frame::start, .count = unanswered, .deaf = true}});
    const auto r = f.run();

    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_banner(r.out),
              f.transferred({1, 26, 51, 76}) + crc_verdict(sim::crc16(f.pad), true) +
                  (unanswered == 4 ? "But failed to start the motor, you can power off the "
                                     "motor and try again.\n"
                                   : ""));
    EXPECT_EQ(f.wire(), f.wire_with_start(4));
    EXPECT_EQ(f.motor().state, unanswered == 4 ? MotorState::bootloader : MotorState::firmware);
}

INSTANTIATE_TEST_SUITE_P(Unanswered, FwburnStartAttempts, ::testing::Values(3, 4));

// ---- Stale input and a vanishing adapter ------------------------------------

// The answer to the mode frame comes with four bytes too many, or so late
// that the mode switch stopped waiting for it. Either would be read as the
// download reply (and refused) unless pending input is dropped first.
struct Stale {
    const char *name;
    sim::Fault fault;
};

void PrintTo(const Stale &s, std::ostream *os) {
    *os << s.name;
}

class FwburnStale : public ::testing::TestWithParam<Stale> {};

TEST_P(FwburnStale, InputBeforeTheDownloadIsDiscarded) {
    Flash f(sim::sample_image(64), 3, {GetParam().fault});
    const auto r = f.run();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_banner(r.out),
              f.transferred({1, 26, 51, 76}) + crc_verdict(sim::crc16(f.pad), true));
    EXPECT_EQ(f.motor().firmware, Firmware::valid);
}

INSTANTIATE_TEST_SUITE_P(
    ModeAnswer, FwburnStale,
    ::testing::Values(Stale{"OverLong", {.on = Frame::mode, .extra = bytes({'E', 'R', 'R', '!'})}},
                      Stale{"Late", {.on = Frame::mode, .delay_ms = 1500}}),
    [](const auto &info) { return std::string(info.param.name); });

// A lost terminal, reader or file size (SIGHUP, SIGPIPE, SIGXFSZ) during the
// transfer, with the motor's flash erased, leaves the flash to finish; Ctrl+C
// ends it. 40 late acknowledgements keep the transfer on from about 2 s to 8 s.
TEST(FwburnSignals, OnlyAnInterruptEndsAFlash) {
    const double at_ms = 3500 + harness::startup_ms() / 2;
    for (const bool interrupt : {false, true}) {
        SCOPED_TRACE(interrupt ? "SIGINT" : "SIGHUP, SIGPIPE, SIGXFSZ");
        Flash f(sim::sample_image(1024, 8), 3, {{.on = Frame::data, .count = 40, .delay_ms = 150}});
        for (const int sig :
             interrupt ? std::vector{SIGINT} : std::vector{SIGHUP, SIGPIPE, SIGXFSZ}) {
            sim::bus_schedule(f.line.bus, sim::signal_at(at_ms, sig));
        }
        const auto r = f.run();
        const size_t sent = sim::host_stream(f.line.bus).size();
        EXPECT_GT(sent, flash_bytes(0));
        EXPECT_LT(sim::host_time_at(f.line.bus, flash_bytes(0)), at_ms) << "before the transfer";
        if (interrupt) {
            EXPECT_EQ(r.term_signal, SIGINT);
            EXPECT_LT(sent, flash_bytes(64)) << "the signal came after the transfer";
            EXPECT_NE(f.motor().firmware, Firmware::valid);
        } else {
            EXPECT_GT(sim::host_time_at(f.line.bus, flash_bytes(64) - 1), at_ms) << "after it";
            EXPECT_EQ(r.exit_code, 0) << "signal " << r.term_signal;
            EXPECT_TRUE(after_banner(r.out).ends_with(crc_verdict(sim::crc16(f.pad), true)));
            EXPECT_EQ(f.motor().image, f.pad);
        }
    }
}

// The line drops after the fifth data frame: the transfer ends at once with
// the interrupted message, without spinning on the dead descriptor.
TEST(FwburnFail, HangUpDuringTheTransferEndsPromptly) {
    Flash f(sim::sample_image(300), 3);
    f.line.bus.hangup_after_host_bytes = flash_bytes(5);
    const auto r = f.run();

    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r.out),
              f.transferred({0, 5, 11, 16}) +
                  "\n[Error] 64/320 b Flash transfer interrupted or timed out!\n");
    EXPECT_LT(f.end_ms(r) - sim::host_time_at(f.line.bus, flash_bytes(4)), 500);
    EXPECT_LT(r.cpu_ms, 200);
}

} // namespace
