// Bad input of every kind, across the four programs: command lines they must
// refuse, images and device paths that are not what they should be, and an
// adapter that vanishes in each phase of a run. Every run must end on its
// own, at once, with its message and status; a refused command line leaves
// the bus untouched (no byte written, line settings as they were).
#include "frames.h"
#include "harness.h"
#include "host/ttyinfo.h"
#include "sequences/image_format.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

using harness::TempDir;
using sim::Firmware;
using sim::MotorState;
using Bytes = std::vector<uint8_t>;
using frames::after_banner;
using frames::flash_bytes;

namespace {

const std::string fwburn_usage =
    "RS-485 firmware upgrade tool.\n"
    "Version: " MOTORBUS_VERSION "\n"
    "Support Device: RX-D4420-3\n"
    "\n"
    "example: fwburn [com_port] [upgrade .bin file] [motor id]\n"
    "example: fwburn /dev/ttyUSB0 ./RX_D4420_3_v1.0.bin 0: Upgrade firmware for Motor ID 0\n";
const std::string ldrmode_usage =
    "Switch to Bootloader mode to update the firmware or change the ID.\n"
    "Successful switching opportunities are displayed in the list.\n"
    "Version: " MOTORBUS_VERSION "\n"
    "\n"
    "usage: ldrmode [tty device]\n"
    "ex:    ldrmode /dev/ttyUSB0 :All motors switch to boot mode.\n";
const std::string runmode_usage = "Switch to motor mode so that the motor working and control it.\n"
                                  "\n"
                                  "Version: " MOTORBUS_VERSION "\n"
                                  "usage: runmode [tty device]\n"
                                  "ex:    runmode /dev/ttyUSB0 :All motors switch to motor mode.\n";
const std::string holdoff_usage =
    "Make all devices on a RS-485 bus disable boot firmware temporarily, \n"
    "which is suitable for rescue after the motor fails to upgrade firmware.\n"
    "Version: " MOTORBUS_VERSION "\n"
    "\n"
    "usage: holdoff [tty device]\n"
    "ex:    holdoff /dev/ttyUSB0 :Prevent bootloader from booting firmware.\n";

const char *const programs[] = {"fwburn", "ldrmode", "runmode", "holdoff"};
const std::string write_failed = "write err\n: Input/output error\n";

// Generous bounds for a run that must end at once (a loaded 2-core machine).
// Under an emulator the program's start alone takes seconds and most of
// this CPU time: the bounds take that in.
const double prompt_ms = 1500 + harness::startup_ms();
const double idle_cpu_ms = harness::emulated() ? 1000 : 200;

// Runs are killed after this long: a hang fails the test instead of stalling it.
sim::RunOptions bounded(sim::RunOptions opt = harness::shim()) {
    opt.timeout_ms = 8000;
    return opt;
}

// The settings of the bus's line as the host side sees them. The programs
// change them (4,000,000 baud, raw 8N1) as soon as they open the port.
struct LineSettings {
    tcflag_t iflag, oflag, cflag, lflag;
    speed_t ispeed, ospeed;
    bool operator==(const LineSettings &) const = default;
};

LineSettings line_settings(const sim::Bus &bus) {
    termios tio{};
    EXPECT_EQ(tcgetattr(bus.slave_keep, &tio), 0);
    return {tio.c_iflag, tio.c_oflag,       tio.c_cflag,
            tio.c_lflag, cfgetispeed(&tio), cfgetospeed(&tio)};
}

// ---- Command lines ----------------------------------------------------------

// Every wrong argument count of every program, motor ids and image paths
// refused while a real bus is named, and --help, -h and --version alone: the
// usage text, the refusal or the version, and the port is never opened.
TEST(BadCommandLine, RefusedWithoutTouchingTheBus) {
    TempDir dir;
    const std::string img = dir.file("fw.bin", sim::sample_image(64));
    const std::string open_failure =
        "Error in open file:\nFile type error or file doesn't exist.\n";
    struct Case {
        const char *program;
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    std::vector<Case> cases = {
        {"fwburn", {"--help", img, "3", "x"}, 255, fwburn_usage},
        {"fwburn", {"--version", "@"}, 255, fwburn_usage},
        {"ldrmode", {"--help", "@"}, 0, ldrmode_usage},
        {"motorsim", {"--version"}, 0, "motorsim " MOTORBUS_VERSION "\n"},
        {"ldrmode", {"-h", "@"}, 0, ldrmode_usage},
        {"fwburn", {}, 255, fwburn_usage},
        {"fwburn", {"@"}, 255, fwburn_usage},
        {"fwburn", {"@", img}, 255, fwburn_usage},
        {"fwburn", {"@", img, "3", "x"}, 255, fwburn_usage},
        {"fwburn", {"@", img, "3", "x", "y"}, 255, fwburn_usage},
        {"fwburn", {"@", img, "15"}, 255, "Motor ID must be in the range 0-14.\n"},
        {"fwburn", {"@", img, "3x"}, 255, "Motor ID must be in the range 0-14.\n"},
        {"fwburn", {"@", img, ""}, 255, "Motor ID must be in the range 0-14.\n"},
        {"fwburn", {"@", "", "3"}, 255, open_failure},
        {"ldrmode", {}, 0, ldrmode_usage},
        {"ldrmode", {"@", "x"}, 0, ldrmode_usage},
        {"ldrmode", {"@", "x", "y"}, 0, ldrmode_usage},
        {"runmode", {}, 0, runmode_usage},
        {"runmode", {"@", "x"}, 0, runmode_usage},
        {"runmode", {"@", "x", "y"}, 0, runmode_usage},
        {"holdoff", {}, 0, holdoff_usage},
        {"holdoff", {"@", "x"}, 0, holdoff_usage},
        {"holdoff", {"@", "x", "y"}, 0, holdoff_usage},
    };
    const std::string *const usages[] = {&fwburn_usage, &ldrmode_usage, &runmode_usage,
                                         &holdoff_usage};
    for (size_t k = 0; k < std::size(programs); ++k) {
        cases.push_back({programs[k], {"--help"}, 0, *usages[k]});
        cases.push_back({programs[k], {"-h"}, 0, *usages[k]});
        cases.push_back(
            {programs[k], {"--version"}, 0, std::string(programs[k]) + " " MOTORBUS_VERSION "\n"});
    }
    for (const auto &c : cases) {
        std::string trace = c.program;
        for (const std::string &a : c.args) {
            trace += " '" + a + "'";
        }
        SCOPED_TRACE(trace);
        harness::TestBus line;
        const LineSettings before = line_settings(line.bus);
        const auto r = line.run(c.program, c.args, bounded());
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sim::host_stream(line.bus).empty());
        EXPECT_TRUE(line_settings(line.bus) == before) << "the port was set up";
        EXPECT_LT(r.ms, prompt_ms);
    }
}

// Images that are not regular files, beyond the directory, FIFO, /dev/null and
// missing file of fwburn's own tests: refused before they are read and before
// the port is touched. Reading /dev/zero would never end.
TEST(BadImage, NotARegularFileIsRefusedBeforeThePort) {
    TempDir dir;
    const std::string socket_path = dir.path + "/fw.sock";
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof addr.sun_path);
    socket_path.copy(addr.sun_path, socket_path.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    const std::string to_dir = dir.path + "/dir.bin";
    const std::string dangling = dir.path + "/gone.bin";
    std::filesystem::create_directory_symlink(dir.path, to_dir);
    std::filesystem::create_symlink(dir.path + "/nothing", dangling);

    // A name with conversions in it must be printed as it stands.
    const std::string formats = dir.path + "/%s%n%d.bin";
    for (const std::string &p :
         {std::string("/dev/zero"), socket_path, to_dir, dangling, formats}) {
        SCOPED_TRACE(p);
        harness::TestBus line;
        const LineSettings before = line_settings(line.bus);
        const auto r = line.run("fwburn", {"@", p, "3"}, bounded());
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, "Error in open file:" + p + "\nFile type error or file doesn't exist.\n");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sim::host_stream(line.bus).empty());
        EXPECT_TRUE(line_settings(line.bus) == before) << "the port was set up";
        EXPECT_LT(r.ms, prompt_ms);
        EXPECT_LT(r.cpu_ms, idle_cpu_ms);
    }
    close(sock);
}

// Files that are plainly no raw image, whose download would erase a motor
// for bytes that can never run: refused before the port is opened by
// fwburn (on standard output, status 255) and by motorbus upgrade and
// rescue (status 2), with what the file is and the command that makes a
// raw image of it. Near misses are raw images, as any other bytes are.
TEST(BadImage, ForeignFormatsAreRefusedBeforeThePort) {
    TempDir dir;
    const auto text = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    const struct {
        const char *name;
        Bytes content;
        std::string says; // after "PATH "
    } files[] = {
        {"fw.elf", harness::bytes({0x7F, 'E', 'L', 'F', 2, 1, 1, 0}),
         "is an ELF file, not a raw image; make one with: objcopy -O binary "},
        {"fw.hex", text(":100000000C9434000C9446000C9446000C9446006A\r\n:00000001FF\r\n"),
         "is an Intel HEX file, not a raw image; make one with: objcopy -I ihex -O binary "},
        {"fw.s19", text("S00F000068656c6c6f202020202000003c\nS9030000FC\n"),
         "is a Motorola S-record file, not a raw image; make one with: objcopy -I srec -O "
         "binary "},
        {"run.trace", text("# motorbus-trace 1\n0 E start\n"),
         "is a wire trace of these tools (MOTORBUS_TRACE), not a raw image\n"},
    };
    for (const auto &f : files) {
        const std::string path = dir.file(f.name, f.content);
        const std::string told = path + " " + f.says;
        const std::pair<std::string, std::vector<std::string>> runs[] = {
            {"fwburn", {"@", path, "3"}},
            {"motorbus", {"upgrade", path, "@"}},
            {"motorbus", {"rescue", "--hold", "1", path, "@"}},
        };
        for (const auto &[program, args] : runs) {
            SCOPED_TRACE(program + " " + args[0] + " " + f.name);
            harness::TestBus line;
            const LineSettings before = line_settings(line.bus);
            const auto r = line.run(program, args, bounded());
            if (program == "fwburn") {
                EXPECT_EQ(r.exit_code, 255);
                EXPECT_TRUE(r.out.starts_with("Firmware file " + told)) << r.out;
            } else {
                EXPECT_EQ(r.exit_code, 2);
                EXPECT_TRUE(r.err.starts_with("motorbus: image " + told)) << r.err;
            }
            EXPECT_TRUE(sim::host_stream(line.bus).empty());
            EXPECT_TRUE(line_settings(line.bus) == before) << "the port was set up";
        }
    }
    for (const std::string &raw : {
             std::string(":100000000C9434000C9446000C9446000C9446006B\n"), // checksum off by one
             std::string(":0000000\n"),                                    // cut short
             std::string("S00F000068656C6C6F202020202000003C extra\n"),    // more than the count
             std::string("S\x01\x02\x03"), std::string("# a comment\n"),
             std::string("\x7F"
                         "EL"), // no room for the fourth byte
         }) {
        EXPECT_EQ(image_format(text(raw)), ImageFormat::raw) << raw;
    }
}

// ---- Device paths -----------------------------------------------------------

// Device paths that are no serial port, for every program. A path that
// cannot be opened ends in open_set; one that opens but is no serial port
// (a pty without the interposer refuses the serial ioctls like any other)
// fails the serial configuration read, and then the poll set registration;
// holdoff stops there, without the instructions that would claim the bus is
// held. Nothing is ever written, to the bus or to a regular file.
TEST(BadDevice, EveryProgramRefusesAPathThatIsNoSerialPort) {
    TempDir dir;
    const std::string img = dir.file("fw.bin", sim::sample_image(64));
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Bytes content = harness::bytes({0x42, 0x00, 0x17});
    const std::string ioctl_failed =
        "Ioctl error on getting serial configure: Inappropriate ioctl for device\n";
    // A device that is not there is named, with the adapters this machine has.
    char adapters[2048];
    const bool any = tty_adapters("/dev", adapters, sizeof adapters) > 0;
    auto not_there = [&](const std::string &path) {
        return "open serial error: No such file or directory\nthe device '" + path +
               "' is not there" +
               (any ? std::string("; the serial adapters here: ") + adapters
                    : ", nor any serial adapter (/dev/ttyUSB*, /dev/ttyACM*, "
                      "/dev/serial/by-id/*): is the adapter plugged in?") +
               "\n";
    };
    const struct {
        const char *kind;
        std::string path;
        std::string err;
    } devices[] = {
        {"missing path", "/dev/does-not-exist", not_there("/dev/does-not-exist")},
        {"directory", dir.path, "open serial error: Is a directory\n"},
        {"empty path", "", not_there("")},
        {"regular file", dir.path + "/file", ioctl_failed},
        {"fifo", fifo, ioctl_failed},
        {"char device", "/dev/null", ioctl_failed},
        {"pty without the interposer", "@", ioctl_failed},
    };
    for (const auto &d : devices) {
        for (const std::string program : programs) {
            SCOPED_TRACE(program + " on a " + d.kind);
            if (std::string(d.kind) == "regular file") {
                dir.file("file", content);
            }
            std::vector<std::string> args{d.path};
            if (program == "fwburn") {
                args.insert(args.end(), {img, "3"});
            }
            harness::TestBus line;
            const bool pty = d.path == "@";
            const auto r =
                line.run(program, args, bounded(pty ? sim::RunOptions{} : harness::shim()));
            const bool opened = d.err == ioctl_failed;
            EXPECT_EQ(r.exit_code, 255);
            EXPECT_EQ(r.err, d.err);
            EXPECT_EQ(r.out, opened && program != "holdoff"
                                 ? "[ERROR] Serial communication: epoll set error: -1\n"
                                 : "");
            EXPECT_LT(r.ms, prompt_ms);
            EXPECT_LT(r.cpu_ms, idle_cpu_ms);
            EXPECT_TRUE(sim::host_stream(line.bus).empty());
            if (std::string(d.kind) == "regular file") {
                std::error_code ec;
                EXPECT_EQ(std::filesystem::file_size(d.path, ec), content.size());
            }
        }
    }
}

// The adapters named beside a device that is not there, in trees made to
// look like /dev: the USB ones first, each with its by-id names, and by-id
// names that lead to no such adapter after them.
TEST(BadDevice, AdaptersThereAreListed) {
    TempDir dir;
    const std::string r = dir.path;
    const struct {
        std::vector<std::string> files;                         // made empty
        std::vector<std::pair<std::string, std::string>> links; // by-id name, target
        int count;
        std::string list;
    } trees[] = {
        {{}, {}, 0, ""},
        {{"ttyS0", "ttyUSB"}, {}, 1, "R/ttyUSB"},
        {{"ttyUSB1", "ttyACM0", "ttyUSB0"},
         {{"usb-FTDI_FT232R_A1-if00-port0", "../../ttyUSB1"},
          {"usb-Arduino_Uno_55-if00", "../../ttyACM0"},
          {"usb-FTDI_FT232R_A1-if00-port0.old", "../../ttyUSB1"},
          {"pci-0000:00:16.3", "../../ttyS4"}},
         4,
         "R/ttyUSB0, R/ttyUSB1 (R/serial/by-id/usb-FTDI_FT232R_A1-if00-port0 "
         "R/serial/by-id/usb-FTDI_FT232R_A1-if00-port0.old), R/ttyACM0 "
         "(R/serial/by-id/usb-Arduino_Uno_55-if00), R/serial/by-id/pci-0000:00:16.3"},
    };
    int n = 0;
    for (const auto &t : trees) {
        const std::string root = r + "/" + std::to_string(++n);
        std::filesystem::create_directories(root + "/serial/by-id");
        for (const std::string &f : t.files) {
            dir.file(std::to_string(n) + "/" + f, {});
        }
        for (const auto &[name, target] : t.links) {
            std::filesystem::create_symlink(target, root + "/serial/by-id/" + name);
        }
        std::string want = t.list;
        for (size_t at = 0; (at = want.find("R/", at)) != std::string::npos;) {
            want.replace(at, 1, root);
            at += root.size();
        }
        char out[1024];
        EXPECT_EQ(tty_adapters(root.c_str(), out, sizeof out), t.count) << root;
        EXPECT_EQ(out, want);
        // A list longer than the room for it is cut short, and ended.
        char small[12];
        tty_adapters(root.c_str(), small, sizeof small);
        EXPECT_EQ(small, want.substr(0, sizeof small - 1));
    }
}

// ---- Closed standard descriptors -------------------------------------------

// Started with standard input, output or error closed (cron, `>&-`), a
// program must not get the device as one of them: the bus gets its frames
// and nothing it prints (the listing, the speed warning).
TEST(ClosedDescriptors, OnlyTheFramesReachTheBus) {
    for (const std::vector<int> &closed : std::vector<std::vector<int>>{{0}, {1}, {2}, {0, 1, 2}}) {
        SCOPED_TRACE(testing::PrintToString(closed) + " closed");
        harness::TestBus line;
        line.add_motor(3, MotorState::firmware);
        sim::RunOptions opt = bounded(harness::shim({"PTYSERIAL_SPEED=9600"}));
        opt.closed = closed;
        const auto r = line.run("ldrmode", {"@"}, opt);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.empty(), std::ranges::count(closed, 1) != 0);
        EXPECT_EQ(r.err.empty(), std::ranges::count(closed, 2) != 0);
        EXPECT_EQ(harness::hex(sim::host_stream(line.bus)),
                  harness::hex(frames::mode_frame(15)) + " FB 00 00 BB");
    }
}

// ---- The adapter vanishing --------------------------------------------------

// The line drops once the host has written a given number of bytes. Phases
// covered elsewhere: fwburn's transfer, ldrmode's scan, holdoff's flood.
struct Vanish {
    const char *name;
    const char *program;
    long hangup_after;    // host bytes written when the line drops
    int status;           // exit status
    std::string (*out)(); // standard output (after the banner, for fwburn)
    int failed_writes;    // writes after the drop, each reported on standard error
    double sleeps_ms;     // designed sleeps still ahead when the line drops
    bool read_first;      // a read meets the drop before a write fails: it is named first
};

void PrintTo(const Vanish &v, std::ostream *os) {
    *os << v.name;
}

// fwburn flashes a 64-byte image into motor 3: the mode frame, the download
// command, four data frames, the CRC command, the start command and the query.
const Bytes image = sim::sample_image(64, 21);
constexpr uint8_t target = 3;
constexpr size_t four_chunks = frames::chunks_of(64);

std::string flash_head() {
    return frames::flash_head(image.size(), frames::padded(image), target);
}

std::string transferred() {
    return frames::transferred(image.size(), frames::padded(image), target, {1, 26, 51, 76});
}

std::string verified() {
    return transferred() + frames::crc_verdict(sim::crc16(image), true);
}

// Whether merged, standard output and error written to one file, holds out
// as it is with the messages put in, in their order, each on a line of its
// own: at the start of a line, or after a newline of its own where out had
// left a line open.
bool on_lines_of_their_own(const std::string &merged, const std::string &out,
                           const std::vector<std::string> &messages) {
    size_t i = 0;
    size_t j = 0;
    bool open = false; // out's line is open in merged
    size_t found = 0;
    while (i < merged.size()) {
        const std::string next = found < messages.size() ? messages[found] : "\x01";
        if (!open && merged.compare(i, next.size(), next) == 0) {
            i += next.size();
            ++found;
        } else if (j < out.size() && merged[i] == out[j]) {
            open = out[j] != '\n';
            ++i;
            ++j;
        } else if (open && merged.compare(i, next.size() + 1, "\n" + next) == 0) {
            i += next.size() + 1;
            open = false;
            ++found;
        } else {
            return false;
        }
    }
    return j == out.size() && found == messages.size();
}

class AdapterVanishes : public ::testing::TestWithParam<Vanish> {};

// Motor 3 runs its firmware, motor 2 sits in its bootloader without one.
TEST_P(AdapterVanishes, RunEndsAtOnceWithItsMessage) {
    const Vanish &v = GetParam();
    TempDir dir;
    const bool fwburn = std::string(v.program) == "fwburn";
    std::vector<std::string> args{"@"};
    if (fwburn) {
        args.insert(args.end(), {dir.file("fw.bin", image), std::to_string(target)});
    }
    auto run = [&](harness::TestBus &line, bool merged) {
        line.add_motor(target, MotorState::firmware);
        line.add_motor(2, MotorState::bootloader, Firmware::none);
        line.bus.hangup_after_host_bytes = v.hangup_after;
        sim::RunOptions opt = bounded();
        opt.merged = merged;
        return line.run(v.program, args, opt);
    };
    harness::TestBus line;
    const auto r = run(line, false);
    // What standard error holds: the hang-up, where a read meets it first
    // (a failed write says it otherwise), and each failed write.
    const auto said = [&](const harness::TestBus &bus) {
        std::vector<std::string> messages(static_cast<size_t>(v.failed_writes), write_failed);
        if (v.read_first) {
            messages.insert(messages.begin(), "error: " + bus.bus.slave_path +
                                                  ": the line hung up: the adapter was "
                                                  "unplugged or reset\n");
        }
        return messages;
    };

    EXPECT_EQ(r.exit_code, v.status);
    EXPECT_EQ(fwburn ? after_banner(r.out) : r.out, v.out());
    const std::vector<std::string> err = said(line);
    EXPECT_EQ(r.err, std::accumulate(err.begin(), err.end(), std::string()));
    ASSERT_EQ(static_cast<long>(sim::host_stream(line.bus).size()), v.hangup_after);
    const double after_drop =
        r.start_ms + r.ms - sim::host_time_at(line.bus, static_cast<size_t>(v.hangup_after - 1));
    EXPECT_LT(after_drop, v.sleeps_ms + prompt_ms) << "a wait outlived the line";
    EXPECT_LT(r.cpu_ms, idle_cpu_ms) << "spun on the dead line";

    // Both to one file (2>&1): the same bytes, each message on a line of its own.
    harness::TestBus again;
    const auto both = run(again, true);
    EXPECT_EQ(both.exit_code, v.status);
    EXPECT_TRUE(on_lines_of_their_own(both.out, r.out, said(again))) << both.out;
}

INSTANTIATE_TEST_SUITE_P(
    Phase, AdapterVanishes,
    ::testing::Values(
        // The download command cannot be written; its wait ends at once.
        Vanish{"FwburnModeSwitch", "fwburn", frames::mode_len, 255,
               [] { return flash_head() + "Timeout\n"; }, 1, 1000, true},
        Vanish{"FwburnDownload", "fwburn", flash_bytes(0), 255,
               [] { return flash_head() + "Timeout\n"; }, 0, 0, true},
        Vanish{"FwburnCrc", "fwburn", flash_bytes(four_chunks, 1), 255,
               [] { return transferred() + "\n\nWaiting CRC data ... Timeout\n"; }, 0, 0, true},
        // The image is written and verified: the start failure keeps status 0.
        Vanish{"FwburnStart", "fwburn", flash_bytes(four_chunks, 2), 0,
               [] {
                   return verified() + "But failed to start the motor, you can power off the "
                                       "motor and try again.\n";
               },
               4, 0, true},
        // The answer to the final query is not examined.
        Vanish{"FwburnFinalQuery", "fwburn", flash_bytes(four_chunks, 3), 0, verified, 0, 0, true},
        // The scan cannot be written: listening hears nothing, at once, and
        // the failed write fails the run.
        Vanish{"LdrmodeBeforeTheScan", "ldrmode", frames::mode_len, 255,
               [] { return std::string("---------------\nTotal 0 motors\n"); }, 1, 1000, false},
        // After the start command of id 3 the 23 frames left fail at once;
        // motor 2 was reported before the drop. The ids left unasked fail the run.
        Vanish{"RunmodeWalk", "runmode", 7 * frames::command_len, 255,
               [] { return std::string("Motor 2 did not find firmware.\n"); }, 23, 0, true}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
