// The VM tests: the real programs, unmodified and with no preloaded shim,
// inside a QEMU virtual machine running Debian's kernel, against two real
// tty drivers: the second 16550A UART (8250 driver, /dev/ttyS1) and an FTDI
// adapter (QEMU's usb-serial on an xHCI controller, ftdi_sio, /dev/ttyUSB0).
// The far end of both lines is the simulated motor bus, served here on the
// host through QEMU's socket character devices (machine.h); the guest shell
// is driven over the console (guest.h). Every program's standard output and
// status are compared with the same program's run against the pty bus.
//
//   test_vm VMLINUZ INITRAMFS [gtest options]
#include "driver_facts.h"
#include "guest.h"
#include "harness.h"
#include "machine.h"

#include <algorithm>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

using harness::TempDir;
using sim::Firmware;
using sim::MotorState;

namespace {

const char *kernel_path = nullptr;
const char *initrd_path = nullptr;

// Equal texts, or where they part (a flash's output is hundreds of KB long).
::testing::AssertionResult same_text(const std::string &got, const std::string &want) {
    if (got == want) {
        return ::testing::AssertionSuccess();
    }
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) {
        ++at;
    }
    const size_t from = at > 80 ? at - 80 : 0;
    return ::testing::AssertionFailure()
           << "texts of " << got.size() << " and " << want.size() << " bytes part at " << at
           << "\n  got:  " << ::testing::PrintToString(got.substr(from, 200))
           << "\n  want: " << ::testing::PrintToString(want.substr(from, 200));
}

// ---- The devices --------------------------------------------------------------------

struct Device {
    const char *name;
    const char *path;
    bool usb;
};
const Device uart{"Uart", "/dev/ttyS1", false};
const Device ftdi{"Ftdi", "/dev/ttyUSB0", true};

sim::Bus &bus_of(const Device &d) {
    return d.usb ? vm.usb : vm.uart;
}

// A fresh line with these motors on it.
void reset_bus(sim::Bus &b, std::vector<sim::Motor> motors) {
    b.motors = std::move(motors);
    b.schedule.clear();
    b.pending.clear();
    b.wire.clear();
    b.host_bytes = 0;
    b.pattern_run = 0;
    b.last_pattern_ms = -1e9;
    sim::bus_start_clock(b);
}

long motor_bytes(const sim::Bus &b) {
    long n = 0;
    for (const sim::WireChunk &c : b.wire) {
        n += c.from_host ? 0 : static_cast<long>(c.bytes.size());
    }
    return n;
}

sim::Motor motor(uint8_t id, MotorState state, Firmware fw) {
    sim::Motor m;
    m.id = id;
    m.state = state;
    m.firmware = fw;
    if (fw != Firmware::none) {
        m.image = sim::sample_image(1024, id);
    }
    return m;
}

// The same program against the pty bus with the same motors: what the
// console, the status and the wire must show in the VM too.
struct Reference {
    sim::RunResult run;
    std::vector<uint8_t> wire; // what the program wrote
};
Reference reference(const std::string &program, std::vector<std::string> args,
                    std::vector<sim::Motor> motors) {
    harness::TestBus line;
    line.bus.motors = std::move(motors);
    Reference r;
    r.run = line.run(program, std::move(args));
    r.wire = sim::host_stream(line.bus);
    return r;
}
// The reference runs on the host while the VM runs the same program.
std::future<Reference> reference_async(const std::string &program, std::vector<std::string> args,
                                       std::vector<sim::Motor> motors) {
    return std::async(std::launch::async, reference, program, std::move(args), std::move(motors));
}

// The 8250's counters of ttyS1 in /proc/tty/driver/serial.
struct UartCounts {
    long tx = -1;
    long rx = -1;
};
UartCounts uart_counts() {
    const GuestReply g = guest("grep '^1:' /proc/tty/driver/serial");
    UartCounts c;
    std::smatch m;
    if (std::regex_search(g.text, m, std::regex("tx:(\\d+) rx:(\\d+)"))) {
        c.tx = std::stol(m[1]);
        c.rx = std::stol(m[2]);
    } else {
        ADD_FAILURE() << "no counters for ttyS1: " << g.text;
    }
    return c;
}

// The line settings every program leaves: raw 8N1, VMIN 1, VTIME 0, and
// none of the bits that terminal_leftovers sets, as stty -a reads them back
// from the driver. Returns the speed stty reports.
unsigned check_line_settings(const Device &d, const std::string &after) {
    const GuestReply g = guest(std::string("stty -a -F ") + d.path);
    EXPECT_EQ(g.rc, 0) << g.text;
    std::string words = " ";
    for (char c : g.text) {
        words += c == '\n' || c == ';' ? ' ' : c;
    }
    words += ' ';
    for (const char *w :
         {"-parenb", "cs8",     "-cstopb", "cread",   "clocal",  "ignpar",  "-inpck",
          "-inlcr",  "-igncr",  "-icrnl",  "-ixon",   "-ixany",  "-ixoff",  "-iutf8",
          "-opost",  "-isig",   "-icanon", "-echo",   "-echoe",  "min = 1", "time = 0",
          "-istrip", "-parmrk", "-iuclc",  "-brkint", "-crtscts"}) {
        EXPECT_NE(words.find(std::string(" ") + w + " "), std::string::npos)
            << d.path << " after " << after << ": no '" << w << "' in\n"
            << g.text;
    }
    unsigned speed = 0;
    std::smatch m;
    if (std::regex_search(g.text, m, std::regex("speed (\\d+) baud"))) {
        speed = static_cast<unsigned>(std::stoul(m[1]));
    }
    EXPECT_NE(speed, 0u) << g.text;
    return speed;
}

std::string serial_config(const Device &d) {
    const GuestReply g = guest(std::string("vmprobe serial ") + d.path);
    EXPECT_EQ(g.rc, 0) << g.text;
    return g.text;
}

const std::string latency_timer = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";

// Waits in the guest until /dev/ttyUSB0 is there (present) or gone.
bool adapter_is(bool present) {
    const std::string test = present ? "[ ! -e /dev/ttyUSB0 ]" : "[ -e /dev/ttyUSB0 ]";
    return guest("n=0; while " + test + " && [ $n -lt 50 ]; do sleep 0.1; n=$((n+1)); done; " +
                     (present ? "[ -e /dev/ttyUSB0 ]" : "[ ! -e /dev/ttyUSB0 ]"),
                 30000)
               .rc == 0;
}

// Plugs the adapter back in. QEMU refuses the id while the pulled device is
// still being taken down, so the plug is tried again until it holds.
bool replug() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        vm.mon_buf.clear();
        plug_adapter();
        if (adapter_is(true)) {
            // As udev would set it up: group dialout may use it.
            return guest("chgrp dialout /dev/ttyUSB0 && chmod 0660 /dev/ttyUSB0").rc == 0;
        }
        const bool duplicate = vm.mon_buf.find("Duplicate") != std::string::npos;
        printf("[vm] the adapter is not back%s; plugging it again\n",
               duplicate ? " (QEMU still removes the old one)" : "");
    }
    return false;
}

// vmprobe run's option that runs the program as the guest's ordinary user,
// a member of group dialout only.
const std::string as_dialout_user = "-u 1000:20";

// A serial configuration as vmprobe prints it, with the low-latency flag
// added, as every program leaves it.
std::string with_low_latency(const std::string &config) {
    std::smatch m;
    if (!std::regex_search(config, m, std::regex("flags=(0x[0-9a-f]+|0)"))) {
        return config;
    }
    char flags[32];
    snprintf(flags, sizeof flags, "flags=%#lx", std::stoul(m[1], nullptr, 16) | ASYNC_LOW_LATENCY);
    return m.prefix().str() + flags + m.suffix().str();
}

// No newline at the end: holdoff's cursor waits after "exit".
const std::string holdoff_instructions =
    "Now, power-off motor, you can plug in the XT30 (2x2) cable and turn on the power. \n"
    "When the LED flashes quickly for 3 times, it successfully enters the factory mode. \n"
    "You can then update the motor firmware or change the motor ID.\n"
    "\n"
    "Press CTRL+C to exit";

std::string speed_warning(const Device &d, unsigned speed) {
    return std::string("warning: ") + d.path + " runs at " + std::to_string(speed) +
           " baud, not 4000000; the adapter may not support this speed\n";
}

// A program run on a device, with what the driver holds before and after.
struct Checked {
    GuestRun run;
    unsigned speed = 0; // what stty reads back after the run
};

// Settings a terminal program may leave on the device, each of which breaks
// the protocol (bit 7 stripped, FF doubled, capitals made small, a break
// flushing the queues, writes held for CTS): every checked run starts with
// them set.
const std::string terminal_leftovers = "istrip parmrk iuclc brkint crtscts";

// Runs program with args (the device first) on d with these motors, after
// setting terminal_leftovers, and checks what every run must leave: the line raw 8N1 as the driver
// holds it, the driver's serial configuration unchanged but for the low-latency flag, the counters
// of the 8250 equal to what crossed the line.
Checked checked_run(const Device &d, const std::string &program, const std::string &args,
                    std::vector<sim::Motor> motors, const std::string &options = "") {
    const std::string before = serial_config(d);
    const UartCounts c0 = d.usb ? UartCounts{} : uart_counts();
    // busybox stty may complain of a difference it reads back; stty -a tells.
    guest(std::string("stty -F ") + d.path + " " + terminal_leftovers);
    EXPECT_NE(guest(std::string("stty -a -F ") + d.path).text.find(" istrip"), std::string::npos);
    reset_bus(bus_of(d), std::move(motors));
    Checked c;
    c.run = run_in_guest(program, std::string(d.path) + " " + args, options);
    // Bytes written just before the exit may still be on their way.
    pump([] { return false; }, 200);
    c.speed = check_line_settings(d, program);
    EXPECT_EQ(serial_config(d), with_low_latency(before))
        << program << " changed more than the low-latency flag";
    if (!d.usb) {
        const UartCounts c1 = uart_counts();
        EXPECT_EQ(c1.tx - c0.tx, bus_of(d).host_bytes) << program << ": 8250 tx counter";
        EXPECT_EQ(c1.rx - c0.rx, motor_bytes(bus_of(d))) << program << ": 8250 rx counter";
    }
    return c;
}

Guest guest_kind = Guest::pc;

class VmEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        const auto t0 = Clock::now();
        ASSERT_TRUE(boot(kernel_path, initrd_path, guest_kind)) << vm.boot_error;
        printf("[vm] booted in %.1f s\n", harness::ms_since(t0) / 1e3);
    }
    void TearDown() override { shut_down(); }
};

class OnDevice : public ::testing::TestWithParam<Device> {};

std::string device_name(const ::testing::TestParamInfo<Device> &info) {
    return info.param.name;
}

} // namespace

// ldrmode sends the motors into their bootloader and lists them.
TEST_P(OnDevice, LdrmodeListsTheMotors) {
    const Device &d = GetParam();
    const std::vector<sim::Motor> motors = {motor(3, MotorState::firmware, Firmware::valid),
                                            motor(7, MotorState::firmware, Firmware::valid)};
    auto want = reference_async("ldrmode", {"@"}, motors);
    const Checked c = checked_run(d, "ldrmode", "", motors);
    const Reference w = want.get();
    EXPECT_TRUE(same_text(c.run.out, w.run.out));
    EXPECT_EQ(c.run.status, w.run.exit_code);
    EXPECT_EQ(c.run.err, speed_warning(d, c.speed));
    // Neither driver runs at 4,000,000 baud: the 8250 keeps its old rate,
    // ftdi_sio falls back to 9600 for this chip.
    EXPECT_EQ(c.speed, d.usb ? 9600u : 115200u);
    EXPECT_EQ(sim::host_stream(bus_of(d)), w.wire);
    EXPECT_EQ(bus_of(d).motors[0].state, MotorState::bootloader);
}

// A full-size flash: the motor then holds exactly the image, its CRC
// confirmed, and runs it. On a freshly plugged FTDI adapter at its default
// latency timer of 16 ms, an ordinary user's flash sets the low-latency flag:
// the timer reads 1 ms after it, and nothing warns about it.
TEST_P(OnDevice, FwburnFlashesAFullSizeImage) {
    const Device &d = GetParam();
    constexpr size_t size = 61440;
    const std::vector<uint8_t> image = sim::sample_image(size, 42);
    TempDir dir;
    const std::vector<sim::Motor> motors = {motor(5, MotorState::firmware, Firmware::valid)};
    auto want = reference_async("fwburn", {"@", dir.file("fw.bin", image), "5"}, motors);
    ASSERT_EQ(guest("vmprobe image /tmp/fw.bin 61440 42").rc, 0);
    if (d.usb) {
        // A real FT232 starts at 16 ms; QEMU's emulated chip reports 0.
        pull_adapter();
        ASSERT_TRUE(adapter_is(false));
        ASSERT_TRUE(replug()) << "the adapter did not come back";
        ASSERT_EQ(guest("echo 16 >" + latency_timer).rc, 0);
        ASSERT_EQ(guest("cat " + latency_timer).text, "16\n");
    }
    const Checked c =
        checked_run(d, "fwburn", "/tmp/fw.bin 5", motors, d.usb ? as_dialout_user : "");
    const Reference w = want.get();
    EXPECT_EQ(c.run.status, 0);
    EXPECT_TRUE(same_text(c.run.out, w.run.out));
    EXPECT_EQ(c.run.err, speed_warning(d, c.speed));
    if (d.usb) {
        const std::string timer = guest("cat " + latency_timer).text;
        EXPECT_EQ(timer, "1\n") << "the latency timer after the flash";
        printf(
            "[vm] Ftdi: latency timer 16 ms before the flash as uid 1000 (dialout), %s ms after\n",
            timer.substr(0, timer.find('\n')).c_str());
        // While the flag is set it overrides a value written to the attribute.
        ASSERT_EQ(guest("echo 16 >" + latency_timer).rc, 0);
        EXPECT_EQ(guest("cat " + latency_timer).text, "1\n") << "after writing 16 to it";
    }
    const sim::Motor &m = bus_of(d).motors[0];
    EXPECT_TRUE(m.image == image) << "the motor holds " << m.image.size() << " bytes";
    EXPECT_EQ(m.firmware, Firmware::valid);
    EXPECT_EQ(m.state, MotorState::firmware);
    const std::vector<uint8_t> sent = sim::host_stream(bus_of(d));
    EXPECT_EQ(sent.size(), 17u + 4 + 3840 * 17 + 4 + 4 + 4);
    EXPECT_TRUE(sent == w.wire) << "the wire differs from the pty run's";
    printf("[vm] %s: full flash in %.1f s (CPU %.1f s)\n", d.name, c.run.ms / 1e3,
           c.run.cpu_ms / 1e3);
}

// runmode reports the motor with a corrupt and the one with a missing image.
TEST_P(OnDevice, RunmodeReportsCorruptAndMissingImages) {
    const Device &d = GetParam();
    const std::vector<sim::Motor> motors = {motor(2, MotorState::bootloader, Firmware::none),
                                            motor(5, MotorState::bootloader, Firmware::corrupt),
                                            motor(9, MotorState::bootloader, Firmware::valid)};
    auto want = reference_async("runmode", {"@"}, motors);
    const Checked c = checked_run(d, "runmode", "", motors);
    const Reference w = want.get();
    EXPECT_EQ(c.run.out, "Motor 2 did not find firmware.\nMotor 5 firmware crc check error.\n");
    EXPECT_TRUE(same_text(c.run.out, w.run.out));
    EXPECT_EQ(c.run.status, 0);
    EXPECT_EQ(c.run.err, speed_warning(d, c.speed));
    EXPECT_TRUE(sim::host_stream(bus_of(d)) == w.wire) << "the wire differs from the pty run's";
    EXPECT_EQ(bus_of(d).motors[2].state, MotorState::firmware);
}

// holdoff writes whole patterns only, until Ctrl+C (SIGINT) ends it.
TEST_P(OnDevice, HoldoffFloodsWholePatternsUntilInterrupted) {
    const Device &d = GetParam();
    const Checked c = checked_run(d, "holdoff", "", {}, "-i 3000");
    EXPECT_EQ(c.run.status, -SIGINT);
    EXPECT_EQ(c.run.out, holdoff_instructions);
    EXPECT_EQ(c.run.err, speed_warning(d, c.speed));
    const std::vector<uint8_t> sent = sim::host_stream(bus_of(d));
    EXPECT_EQ(sent.size() % 4, 0u);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x18), static_cast<long>(sent.size()));
    const sim::Bus &b = bus_of(d);
    ASSERT_GE(b.wire.size(), 2u);
    const double span_s = (b.wire.back().t_ms - b.wire.front().t_ms) / 1e3;
    const double rate = static_cast<double>(sent.size() / 4) / span_s;
    printf("[vm] %s: %zu patterns, %.0f patterns/s, CPU %.0f ms of %.0f ms\n", d.name,
           sent.size() / 4, rate, c.run.cpu_ms, c.run.ms);
    EXPECT_GT(rate, 100) << "the flood is too slow to hold a motor";
}

INSTANTIATE_TEST_SUITE_P(Vm, OnDevice, ::testing::Values(uart, ftdi), device_name);

// One program at a time: while holdoff holds the adapter, a second program
// on it is refused and writes nothing.
TEST(VmFtdi, SecondProgramOnAHeldAdapterIsRefused) {
    reset_bus(vm.usb, {});
    const GuestReply g = guest("vmprobe run -i 3000 /bin/holdoff /dev/ttyUSB0 >/tmp/holdoff.run & "
                               "sleep 1.5; vmprobe run /bin/ldrmode /dev/ttyUSB0; wait");
    const GuestRun second = parse_run(g.text);
    EXPECT_EQ(second.status, 255);
    EXPECT_EQ(second.out, "");
    EXPECT_TRUE(std::regex_match(
        second.err, std::regex("open serial error: /dev/ttyUSB0 is in use by another program\n"
                               "hint: holdoff \\(pid [0-9]+\\) holds its lock\n")))
        << second.err;
    const GuestRun first = parse_run(guest("cat /tmp/holdoff.run").text);
    EXPECT_EQ(first.status, -SIGINT);
    EXPECT_EQ(first.out, holdoff_instructions);
    pump([] { return false; }, 200);
    const std::vector<uint8_t> sent = sim::host_stream(vm.usb);
    EXPECT_GT(sent.size(), 400u);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x18), static_cast<long>(sent.size()))
        << "only holdoff's patterns crossed the line";
}

// At a latency timer of 1 ms fwburn has nothing to warn about.
TEST(VmFtdi, FwburnIsQuietAtALatencyTimerOf1ms) {
    const std::string &timer = latency_timer;
    ASSERT_EQ(guest("echo 1 >" + timer + " && vmprobe image /tmp/small.bin 1024 7").rc, 0);
    const Checked c = checked_run(ftdi, "fwburn", "/tmp/small.bin 4",
                                  {motor(4, MotorState::bootloader, Firmware::none)});
    guest("echo 16 >" + timer);
    EXPECT_EQ(c.run.status, 0);
    EXPECT_EQ(c.run.err, speed_warning(ftdi, c.speed));
    EXPECT_TRUE(vm.usb.motors[0].image == sim::sample_image(1024, 7));
}

// A UART whose CLOCAL another program cleared, with its carrier low: the
// open does not wait for the carrier. QEMU's 16550 on a socket holds DCD
// high; in loopback mode DCD follows OUT2, which the 8250 driver leaves low
// on a port without an interrupt line. The bytes ldrmode writes then come
// back to it, as from an adapter that echoes: it names the echo, sets it
// aside and lists no motor.
TEST(VmUart, OpenDoesNotWaitForACarrier) {
    ASSERT_EQ(guest("vmprobe uart /dev/ttyS1 0 1").text, "@@UART irq=0 loop=1 carrier=0\n");
    ASSERT_EQ(guest("stty -F /dev/ttyS1 -clocal").rc, 0);
    reset_bus(vm.uart, {});
    const GuestRun r = run_in_guest("ldrmode", "/dev/ttyS1", "-k 15000");
    const std::string restored = guest("vmprobe uart /dev/ttyS1 3 0").text;
    EXPECT_FALSE(r.killed) << "the open waited for the carrier";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "---------------\nTotal 0 motors\n");
    EXPECT_EQ(r.err, speed_warning(uart, 115200) +
                         "note: /dev/ttyS1 echoes what is sent; the echo is set aside\n"
                         "hint: none of the 3 exchanges on /dev/ttyS1 was answered; if motors are "
                         "connected and powered, 'motorbus doctor /dev/ttyS1' checks the "
                         "adapter's set-up\n");
    EXPECT_EQ(vm.uart.host_bytes, 0) << "loopback keeps the bytes off the line";
    EXPECT_EQ(restored, "@@UART irq=3 loop=0 carrier=1\n");
    check_line_settings(uart, "an open without carrier");
}

// ---- Both buses at once ------------------------------------------------------

// One `motorbus upgrade` flashes two motors on the UART and two on the FTDI
// adapter, a process per bus, both at once: each motor then holds exactly
// the image and runs it, the JSON Lines parse and tell each motor found,
// flashed with the image's CRC and running, and the summary counts four
// flashed and nothing failed. Each bus process warns of its speed, as the
// tools do; both lines are left raw 8N1 though the run starts with a
// terminal's leftovers on them, and the 8250's counters match the line.
TEST(VmBoth, MotorbusUpgradesBothBusesAtOnce) {
    constexpr size_t size = 61440;
    const std::vector<uint8_t> image = sim::sample_image(size, 42);
    ASSERT_EQ(guest("vmprobe image /tmp/fw.bin 61440 42").rc, 0);
    for (const Device *d : {&uart, &ftdi}) {
        guest(std::string("stty -F ") + d->path + " " + terminal_leftovers);
    }
    const UartCounts c0 = uart_counts();
    reset_bus(vm.uart, {motor(3, MotorState::firmware, Firmware::valid),
                        motor(7, MotorState::firmware, Firmware::valid)});
    reset_bus(vm.usb, {motor(2, MotorState::firmware, Firmware::valid),
                       motor(5, MotorState::firmware, Firmware::valid)});
    const GuestRun r =
        run_in_guest("motorbus", "upgrade --json /tmp/fw.bin /dev/ttyS1 /dev/ttyUSB0", "-k 90000");
    pump([] { return false; }, 200);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    // Each bus process warns once; which comes first is up to the scheduler.
    std::vector<std::string> warnings;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);) {
        warnings.push_back(line + "\n");
    }
    std::sort(warnings.begin(), warnings.end());
    EXPECT_EQ(warnings,
              (std::vector<std::string>{speed_warning(uart, 115200), speed_warning(ftdi, 9600)}));

    using Json = nlohmann::json;
    std::vector<Json> events;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        Json j = Json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << "not JSON: " << line;
        EXPECT_EQ(j.value("schema", 0), 1) << line;
        events.push_back(std::move(j));
    }
    ASSERT_GE(events.size(), 2u) << r.out;
    const Json &start = events.front();
    ASSERT_EQ(start.at("type"), "start") << start;
    EXPECT_EQ(start.at("buses"), Json::array({"/dev/ttyS1", "/dev/ttyUSB0"}));
    char crc[8];
    snprintf(crc, sizeof crc, "0x%04X", sim::crc16(image));
    EXPECT_EQ(start.at("image").at("crc"), crc);
    EXPECT_EQ(start.at("image").at("padded"), size);

    // What the JSON says of each motor, event by event, and each flash's time.
    std::map<std::string, std::string> told;
    std::map<std::string, double> flash_s;
    for (const Json &e : events) {
        if (!e.contains("motor")) {
            continue;
        }
        const std::string key =
            e.at("bus").get<std::string>() + " " + std::to_string(e.at("motor").get<int>());
        const std::string type = e.at("type");
        std::string tag = type;
        if (type == "flash-ended") {
            tag = e.at("result");
            EXPECT_EQ(e.at("crc"), crc) << e;
            EXPECT_EQ(e.at("resent"), 0) << e;
            flash_s[key] = e.at("seconds").get<double>();
        } else if (type == "health") {
            tag = e.at("state");
        } else if (type == "flash-started") {
            continue;
        }
        told[key] += (told[key].empty() ? "" : " ") + tag;
    }
    const std::string each = "found flashed running";
    EXPECT_EQ(told, (std::map<std::string, std::string>{{"/dev/ttyS1 3", each},
                                                        {"/dev/ttyS1 7", each},
                                                        {"/dev/ttyUSB0 2", each},
                                                        {"/dev/ttyUSB0 5", each}}));
    const Json &summary = events.back();
    ASSERT_EQ(summary.at("type"), "summary") << summary;
    const std::pair<const char *, Json> counts[] = {
        {"result", "ok"}, {"exit_status", 0},   {"buses", 2},   {"buses_failed", 0},
        {"motors", 4},    {"found", 4},         {"flashed", 4}, {"failed", 0},
        {"not_found", 0}, {"not_attempted", 0}, {"cut_off", 0}, {"broken", 0}};
    for (const auto &[field, want] : counts) {
        EXPECT_EQ(summary.at(field), want) << field;
    }

    // What the simulated motors hold, read on the host.
    for (const sim::Bus *b : {&vm.uart, &vm.usb}) {
        for (const sim::Motor &m : b->motors) {
            EXPECT_TRUE(m.image == image)
                << "motor " << int{m.id} << " holds " << m.image.size() << " bytes";
            EXPECT_EQ(m.firmware, Firmware::valid) << int{m.id};
            EXPECT_EQ(m.state, MotorState::firmware) << int{m.id};
        }
    }
    check_line_settings(uart, "motorbus");
    check_line_settings(ftdi, "motorbus");
    const UartCounts c1 = uart_counts();
    EXPECT_EQ(c1.tx - c0.tx, vm.uart.host_bytes) << "8250 tx counter";
    EXPECT_EQ(c1.rx - c0.rx, motor_bytes(vm.uart)) << "8250 rx counter";
    printf("[vm] motorbus upgrade, 2 motors on Uart and 2 on Ftdi at once: %.1f s (CPU %.1f s); "
           "flashes Uart %.1f s + %.1f s, Ftdi %.1f s + %.1f s\n",
           r.ms / 1e3, r.cpu_ms / 1e3, flash_s["/dev/ttyS1 3"], flash_s["/dev/ttyS1 7"],
           flash_s["/dev/ttyUSB0 2"], flash_s["/dev/ttyUSB0 5"]);
}

// One `motorbus rescue` holds both buses at once while motors are powered
// up during its hold, three of them with a firmware deaf to the mode frame
// that no upgrade reaches; then it flashes and starts every motor: each
// holds the image and runs it, those powered up were held off, and the
// history in the guest has the four flashes.
TEST(VmBoth, MotorbusRescueHoldsBothBusesAtOnce) {
    const std::vector<uint8_t> image = sim::sample_image(4096, 43);
    ASSERT_EQ(guest("vmprobe image /tmp/rescue.bin 4096 43").rc, 0);
    const auto deaf_until_held = [](uint8_t id, double power_on_ms) {
        sim::Motor m = motor(id, MotorState::firmware, Firmware::valid);
        m.power_on_ms = power_on_ms;
        m.faults.push_back({.on = sim::Frame::mode, .count = -1, .deaf = true});
        return m;
    };
    reset_bus(vm.uart, {deaf_until_held(3, 3000), motor(7, MotorState::firmware, Firmware::valid)});
    reset_bus(vm.usb, {deaf_until_held(2, 3500), deaf_until_held(5, 4000)});
    const GuestRun r = run_in_guest(
        "motorbus", "rescue --hold 8 /tmp/rescue.bin /dev/ttyS1 /dev/ttyUSB0", "-k 90000");
    pump([] { return false; }, 200);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const sim::Bus *b : {&vm.uart, &vm.usb}) {
        for (const sim::Motor &m : b->motors) {
            EXPECT_TRUE(m.image == image) << "motor " << int{m.id};
            EXPECT_EQ(m.state, MotorState::firmware) << int{m.id};
            EXPECT_EQ(m.held_off, m.id != 7) << int{m.id};
        }
    }
    const GuestReply h = guest("grep -c '\"ok\":true,\"command\":\"rescue\"' "
                               "$XDG_STATE_HOME/motorbus/history.jsonl");
    EXPECT_EQ(h.text, "4\n") << h.text;
    check_line_settings(uart, "motorbus rescue");
    check_line_settings(ftdi, "motorbus rescue");
    printf("[vm] motorbus rescue, 2 motors on Uart and 2 on Ftdi, 3 powered up during its "
           "hold of 8 s: %.1f s (CPU %.1f s)\n",
           r.ms / 1e3, r.cpu_ms / 1e3);
}

// ---- An adapter that echoes ----------------------------------------------------

namespace {

// A tool run on the FTDI adapter whose far end echoes every byte it is sent.
struct EchoRun {
    const char *name;
    std::string program;
    std::string args;                  // in the guest, after the device
    std::vector<std::string> pty_args; // the same on the pty bus
    std::vector<sim::Motor> motors;
    std::vector<uint8_t> image; // what the motor holds after a flash
};

void PrintTo(const EchoRun &e, std::ostream *os) {
    *os << e.name;
}

class EchoingFtdi : public ::testing::TestWithParam<EchoRun> {};

std::string echo_name(const ::testing::TestParamInfo<EchoRun> &info) {
    return info.param.name;
}

const std::vector<uint8_t> full_image = sim::sample_image(61440, 42);

} // namespace

// ftdi_sio hands the program its own frames back ahead of the motors'
// answers: the output, status and wire are those of the pty run without
// echo, and the program says once that it sets the echo aside.
TEST_P(EchoingFtdi, RunsAsWithoutEcho) {
    const EchoRun &e = GetParam();
    TempDir dir;
    std::vector<std::string> args = e.pty_args;
    if (!e.image.empty()) {
        args.insert(args.begin() + 1, dir.file("fw.bin", e.image));
        ASSERT_EQ(guest("vmprobe image /tmp/fw.bin 61440 42").rc, 0);
    }
    auto want = reference_async(e.program, args, e.motors);
    vm.usb.adapter.echo = true;
    const Checked c = checked_run(ftdi, e.program, e.args, e.motors);
    vm.usb.adapter.echo = false;
    const Reference w = want.get();
    EXPECT_EQ(c.run.status, w.run.exit_code);
    EXPECT_TRUE(same_text(c.run.out, w.run.out));
    EXPECT_EQ(c.run.err, speed_warning(ftdi, c.speed) +
                             "note: /dev/ttyUSB0 echoes what is sent; the echo is set aside\n");
    EXPECT_TRUE(sim::host_stream(vm.usb) == w.wire) << "the wire differs from the pty run's";
    if (!e.image.empty()) {
        EXPECT_TRUE(vm.usb.motors[0].image == e.image)
            << "the motor holds " << vm.usb.motors[0].image.size() << " bytes";
    }
    printf("[vm] Ftdi with echo: %s in %.1f s (CPU %.1f s)\n", e.name, c.run.ms / 1e3,
           c.run.cpu_ms / 1e3);
}

INSTANTIATE_TEST_SUITE_P(
    VmFtdi, EchoingFtdi,
    ::testing::Values(EchoRun{"Ldrmode",
                              "ldrmode",
                              "",
                              {"@"},
                              {motor(3, MotorState::firmware, Firmware::valid),
                               motor(7, MotorState::bootloader, Firmware::none)},
                              {}},
                      EchoRun{"FwburnFullImage",
                              "fwburn",
                              "/tmp/fw.bin 5",
                              {"@", "5"},
                              {motor(5, MotorState::firmware, Firmware::valid)},
                              full_image},
                      EchoRun{"Runmode",
                              "runmode",
                              "",
                              {"@"},
                              {motor(2, MotorState::bootloader, Firmware::none),
                               motor(5, MotorState::bootloader, Firmware::corrupt)},
                              {}}),
    echo_name);

// ---- Cable pulls --------------------------------------------------------------

namespace {

// The USB adapter pulled (QEMU's device_del) while a program uses it.
struct Pull {
    const char *name;
    std::string program;
    std::string args; // after the device
    std::vector<sim::Motor> motors;
    long after;   // host bytes read when the adapter goes
    int bound_ms; // the wait the program is in then
    int status;   // how it ends
    std::string out_end;
    std::string err_head; // before the write errors
    int write_errors;     // -1: as many as the exchanges left after the pull
};

void PrintTo(const Pull &p, std::ostream *os) {
    *os << p.name;
}

sim::Motor silent_on_crc(uint8_t id) {
    sim::Motor m = motor(id, MotorState::bootloader, Firmware::none);
    sim::Fault f;
    f.on = sim::Frame::crc;
    f.count = -1;
    f.silent = true;
    m.faults.push_back(f);
    return m;
}

const std::string warning_9600 = speed_warning(ftdi, 9600);
class CablePull : public ::testing::TestWithParam<Pull> {};

std::string pull_name(const ::testing::TestParamInfo<Pull> &info) {
    return info.param.name;
}

} // namespace

// Each program ends on its own within the wait it was in, with its message
// and status, without spinning; the next run finds no device.
TEST_P(CablePull, ProgramEndsWithinItsWait) {
    const Pull &p = GetParam();
    // QEMU's emulated chip reports a latency timer of 0 when the driver
    // probes it; a real FT232 starts at 16 ms.
    ASSERT_EQ(guest("echo 16 >" + latency_timer).rc, 0);
    ASSERT_EQ(guest("vmprobe image /tmp/pull.bin 1024 3").rc, 0);
    reset_bus(vm.usb, p.motors);
    vm.pulled = false;
    vm.pull_after = p.after;
    const GuestRun r = run_in_guest(p.program, "/dev/ttyUSB0 " + p.args, "-k 30000");
    vm.pull_after = -1;
    ASSERT_TRUE(vm.pulled) << "the program ended before the pull: " << r.out << r.err;
    const double end_ms =
        std::chrono::duration<double, std::milli>(r.reported - vm.pulled_at).count();
    printf("[vm] pull during %s: ended %.0f ms after device_del (wait bound %d ms), "
           "CPU %.0f ms of %.0f ms\n",
           p.name, end_ms, p.bound_ms, r.cpu_ms, r.ms);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.status, p.status);
    EXPECT_TRUE(r.out.ends_with(p.out_end))
        << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
    // Every write after the pull fails, and is reported: with EIO once the
    // tty is hung up, with ENODEV when the USB device is gone before that
    // (which comes first is a race inside the driver; both are its answers).
    const std::string write_err[] = {"write err\n: Input/output error\n",
                                     "write err\n: No such device\n"};
    std::string rest = r.err.starts_with(p.err_head) ? r.err.substr(p.err_head.size()) : "?";
    // A read that meets the hang-up before any write fails names it first.
    const std::string hung_up = "error: /dev/ttyUSB0: the line hung up: ";
    if (rest.starts_with(hung_up)) {
        rest.erase(0, rest.find('\n') + 1);
    }
    int errors = 0;
    for (bool more = true; more;) {
        more = false;
        for (const std::string &e : write_err) {
            if (rest.starts_with(e)) {
                rest.erase(0, e.size());
                ++errors;
                more = true;
            }
        }
    }
    EXPECT_EQ(rest, "") << ::testing::PrintToString(r.err);
    if (p.write_errors >= 0) {
        EXPECT_EQ(errors, p.write_errors);
    }
    EXPECT_LT(end_ms, p.bound_ms + 3000.0);
    EXPECT_LT(r.cpu_ms, r.ms / 2) << "the program spun";

    EXPECT_TRUE(adapter_is(false));
    // The next run finds no device, and no other adapter to name beside it.
    const GuestRun next = run_in_guest("ldrmode", "/dev/ttyUSB0");
    EXPECT_EQ(next.status, 255);
    EXPECT_EQ(next.err, "open serial error: No such file or directory\n"
                        "the device '/dev/ttyUSB0' is not there, nor any serial adapter "
                        "(/dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*): is the adapter "
                        "plugged in?\n");

    ASSERT_TRUE(replug()) << "the adapter did not come back";
}

INSTANTIATE_TEST_SUITE_P(VmFtdi, CablePull,
                         ::testing::Values(Pull{"FwburnTransfer",
                                                "fwburn",
                                                "/tmp/pull.bin 3",
                                                {motor(3, MotorState::bootloader, Firmware::none)},
                                                17 + 4 + 20 * 17,
                                                1000,
                                                255,
                                                "Flash transfer interrupted or timed out!\n",
                                                warning_9600,
                                                -1},
                                           Pull{"FwburnCrcWait",
                                                "fwburn",
                                                "/tmp/pull.bin 3",
                                                {silent_on_crc(3)},
                                                17 + 4 + 64 * 17 + 4,
                                                10000,
                                                255,
                                                "\n\nWaiting CRC data ... Timeout\n",
                                                warning_9600,
                                                0},
                                           Pull{"LdrmodeScan",
                                                "ldrmode",
                                                "",
                                                {motor(3, MotorState::firmware, Firmware::valid),
                                                 motor(7, MotorState::firmware, Firmware::valid)},
                                                17 + 4,
                                                3000,
                                                255,
                                                " motors\n",
                                                warning_9600,
                                                0},
                                           Pull{"RunmodeWalk",
                                                "runmode",
                                                "",
                                                {motor(2, MotorState::bootloader, Firmware::none),
                                                 motor(5, MotorState::bootloader,
                                                       Firmware::corrupt)},
                                                7 * 4,
                                                3000,
                                                255,
                                                "",
                                                warning_9600,
                                                -1},
                                           Pull{"HoldoffFlood",
                                                "holdoff",
                                                "",
                                                {},
                                                2000,
                                                100,
                                                255,
                                                "Press CTRL+C to exit",
                                                warning_9600,
                                                1}),
                         pull_name);

// What the program sees when the adapter goes, measured on ftdi_sio; the
// pty bus must show its programs the same (test_driver_facts.cpp).
TEST(VmFtdi, APulledAdapterLooksAsThePtyBusShowsIt) {
    reset_bus(vm.usb, {});
    vm.pulled = false;
    vm.pull_after = 1;
    const GuestReply g = guest("vmprobe hangup /dev/ttyUSB0 10000");
    vm.pull_after = -1;
    EXPECT_TRUE(vm.pulled);
    EXPECT_EQ(g.text, std::string(pulled_line_report) + "\n");
    EXPECT_TRUE(adapter_is(false));
    ASSERT_TRUE(replug()) << "the adapter did not come back";
}

// ---- motorbus doctor on the real drivers ----------------------------------------------

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// As root: the FTDI adapter by its ids, driver and chip, which cannot run
// 4,000,000 baud (QEMU's usb-serial is an FT232BM-class chip), and the
// UART by its base rate. Doctor writes nothing to either line.
TEST(VmDoctor, NamesTheFtdiAdapterAndTheUartWithWhatTheirChipsAllow) {
    reset_bus(vm.usb, {});
    reset_bus(vm.uart, {});
    const GuestRun r = run_in_guest("motorbus", "doctor /dev/ttyUSB0 /dev/ttyS1");
    printf("[vm] motorbus doctor as root:\n%s", r.out.c_str());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char *part :
         {"/dev/ttyUSB0\n", "  driver:  ftdi_sio\n", "  usb:     0403:6001 ",
          "  chip:    FT232BM\n", "  ok    access ", "  ok    holder ",
          "  FAIL  speed         FT232BM runs at most 3000000 baud",
          "; the driver reads back 9600 after 4000000 is set", "  latency       latency timer ",
          "/dev/ttyS1\n", "  chip:    UART (16550 class)\n",
          "UART (16550 class) runs at most 115200 baud"}) {
        EXPECT_TRUE(has(r.out, part)) << part;
    }
    pump([] { return false; }, 200);
    EXPECT_TRUE(sim::host_stream(vm.usb).empty()) << "doctor wrote to the FTDI line";
    EXPECT_TRUE(sim::host_stream(vm.uart).empty()) << "doctor wrote to the UART's line";
}

// As ordinary users: one outside the device's group gets the usermod
// command, from doctor and from a tool; one added to the group after the
// session began is told to log in again; the speed verdict comes from the
// table alone.
TEST(VmDoctor, TellsAUserOutsideTheGroupTheCommand) {
    ASSERT_EQ(guest("grep -q '^guest:' /etc/passwd || "
                    "echo 'guest:x:1001:1001::/tmp:/bin/sh' >>/etc/passwd")
                  .rc,
              0);
    const GuestRun outside = run_in_guest("motorbus", "doctor /dev/ttyUSB0", "-u 1001:1001");
    printf("[vm] motorbus doctor as a user outside group dialout:\n%s", outside.out.c_str());
    EXPECT_EQ(outside.status, 1);
    EXPECT_TRUE(has(outside.out, "  FAIL  access        you (guest) are not in the group dialout"))
        << outside.out;
    EXPECT_TRUE(has(outside.out, "fix: sudo usermod -aG dialout guest, then log out and in again"));
    EXPECT_TRUE(has(outside.out, "FT232BM runs at most 3000000 baud, not the bus's 4000000\n"));

    const GuestRun later = run_in_guest("motorbus", "doctor /dev/ttyUSB0", "-u 1000:1000");
    EXPECT_TRUE(has(later.out, "you (service) are in the group dialout, but this login session "
                               "started before you were added"))
        << later.out;
    const GuestRun member = run_in_guest("motorbus", "doctor /dev/ttyUSB0", as_dialout_user);
    EXPECT_TRUE(has(member.out, "  ok    access        you (service) may open it read-write"))
        << member.out;

    const GuestRun tool = run_in_guest("ldrmode", "/dev/ttyUSB0", "-u 1001:1001");
    EXPECT_EQ(tool.status, 255);
    EXPECT_EQ(tool.err, "open serial error: Permission denied\n"
                        "hint: you (guest) are not in the group dialout (owner 0, group dialout, "
                        "rw-rw----); fix: sudo usermod -aG dialout guest, then log out and in "
                        "again\n");
}

// While holdoff runs, doctor names it by name and pid (the pid pidof gives).
TEST(VmDoctor, NamesTheHolderWhileHoldoffRuns) {
    reset_bus(vm.usb, {});
    const GuestReply g = guest("vmprobe run -i 3000 /bin/holdoff /dev/ttyUSB0 >/tmp/holdoff.run & "
                               "sleep 1.5; pidof holdoff >/tmp/holdoff.pid; "
                               "vmprobe run /bin/motorbus doctor /dev/ttyUSB0; wait");
    const GuestRun d = parse_run(g.text);
    printf("[vm] motorbus doctor while holdoff runs:\n%s", d.out.c_str());
    std::string pid = guest("cat /tmp/holdoff.pid").text;
    pid.erase(pid.find_last_not_of(" \n") + 1);
    EXPECT_EQ(d.status, 1);
    EXPECT_TRUE(has(d.out, "  FAIL  holder        holdoff (pid " + pid + ") holds its lock"))
        << d.out;
    EXPECT_TRUE(has(d.out, "fix: stop it first: kill " + pid));
}

// ---- The arm64 board: its PL011 and the kernel's RS-485 mode -------------------------

namespace {

const Device pl011{"Pl011", "/dev/ttyAMA0", false};

// The mode the PL011's driver keeps, as TIOCGRS485 reads it in the guest.
std::string kept_mode() {
    const GuestReply g = guest("vmprobe rs485 /dev/ttyAMA0");
    EXPECT_EQ(g.rc, 0) << g.text;
    return g.text;
}

GuestRun rs485(const std::string &args) {
    const GuestRun r = run_in_guest("motorbus", "rs485 " + args);
    printf("[vm] motorbus rs485 %s: status %d\n%s%s", args.c_str(), r.status, r.out.c_str(),
           r.err.c_str());
    return r;
}

} // namespace

// motorbus rs485 shows the mode and changes nothing, sets it, prints what
// the kernel kept, and clears it; a request the kernel rewrites (a delay
// over its 100 ms) is named, with status 1, in text and in JSON.
TEST(VmArm64, MotorbusRs485ShowsSetsAndClearsThePl011sMode) {
    const std::string found = kept_mode();
    printf("[vm] the PL011's mode as the kernel keeps it: %s", found.c_str());
    const std::string bus = "/dev/ttyAMA0: ";
    const std::string low = bus + "RS-485 mode on, RTS low while sending, 5 ms before and 2 ms "
                                  "after sending\n";
    struct Step {
        std::string args;
        int status;
        std::string out;
        std::string kept; // empty: as found
    };
    const Step steps[] = {
        {"", 0, bus + "RS-485 mode off\n", ""},
        {"on", 0, bus + "RS-485 mode on, RTS high while sending, no delays\n",
         "flags=0x3 before=0 after=0"},
        {"on --rts-after-send --delay-before 5 --delay-after 2", 0, low,
         "flags=0x5 before=5 after=2"},
        {"", 0, low, "flags=0x5 before=5 after=2"},
        {"--delay-before 500 on", 1,
         bus + "RS-485 mode on, RTS high while sending, 100 ms before and 0 ms after sending\n" +
             bus +
             "not as asked: a delay of 500 ms before sending was asked for, the driver keeps 100 "
             "ms (the kernel's limit)\n",
         "flags=0x3 before=100 after=0"},
        {"off", 0, bus + "RS-485 mode off\n", "flags=0 before=0 after=0"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE("motorbus rs485 /dev/ttyAMA0 " + step.args);
        const GuestRun r = rs485("/dev/ttyAMA0 " + step.args);
        EXPECT_EQ(r.status, step.status);
        EXPECT_EQ(r.out, step.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(kept_mode(), step.kept.empty() ? found : "@@RS485 " + step.kept + "\n");
    }
    // In JSON, after the start object: what was asked and what was kept.
    const GuestRun j = rs485("--json /dev/ttyAMA0 on --delay-after 300");
    std::istringstream lines(j.out);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    const nlohmann::json m = nlohmann::json::parse(line);
    EXPECT_EQ(j.status, 1);
    EXPECT_EQ(m.at("as_asked"), false) << j.out;
    EXPECT_EQ(m.at("asked").at("delay_after_ms"), 300);
    EXPECT_EQ(m.at("mode").at("delay_after_ms"), 100);
    EXPECT_EQ(rs485("/dev/ttyAMA0 off").status, 0);
}

// The console's 16550 (QEMU's pci-serial, the 8250 driver) has no RS-485 mode.
TEST(VmArm64, The16550SaysItsDriverHasNoRs485Mode) {
    const GuestRun r = rs485("/dev/ttyS0 on");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "/dev/ttyS0: its driver (serial) has no RS-485 mode: nothing switches RTS "
                     "around its writes. A USB adapter needs none: its transceiver switches "
                     "direction by itself\n");
}

// With the mode on (and set apart from the defaults), each tool and motorbus
// runs on the PL011 as on the pty bus, and leaves the mode as it found it;
// the line is left raw 8N1.
TEST(VmArm64, TheToolsRunWithTheModeOnAndLeaveItOn) {
    ASSERT_EQ(rs485("/dev/ttyAMA0 on --rts-after-send --delay-after 1").status, 0);
    const std::string on = kept_mode();
    ASSERT_EQ(on, "@@RS485 flags=0x5 before=0 after=1\n");
    ASSERT_EQ(guest("vmprobe image /tmp/small.bin 1024 7").rc, 0);
    struct ToolRun {
        std::string program;
        std::vector<std::string> args; // "@": the bus
        std::vector<sim::Motor> motors;
        std::string options;
    };
    const ToolRun runs[] = {
        {"ldrmode",
         {"@"},
         {motor(3, MotorState::firmware, Firmware::valid),
          motor(7, MotorState::firmware, Firmware::valid)},
         ""},
        {"runmode",
         {"@"},
         {motor(2, MotorState::bootloader, Firmware::none),
          motor(5, MotorState::bootloader, Firmware::corrupt)},
         ""},
        {"fwburn",
         {"@", "/tmp/small.bin", "4"},
         {motor(4, MotorState::bootloader, Firmware::none)},
         ""},
        {"motorbus", {"scan", "@"}, {motor(6, MotorState::firmware, Firmware::valid)}, ""},
        {"holdoff", {"@"}, {}, "-i 1000"},
    };
    for (const ToolRun &t : runs) {
        SCOPED_TRACE(t.program);
        std::string args;
        for (const std::string &a : t.args) {
            args += (args.empty() ? "" : " ") + (a == "@" ? std::string(pl011.path) : a);
        }
        reset_bus(vm.uart, t.motors);
        const GuestRun r = run_in_guest(t.program, args, t.options);
        if (t.program == "ldrmode" || t.program == "runmode") {
            const Reference w = reference(t.program, t.args, t.motors);
            EXPECT_TRUE(same_text(r.out, w.run.out));
            EXPECT_EQ(r.status, w.run.exit_code);
        } else if (t.program == "holdoff") {
            EXPECT_EQ(r.status, -SIGINT);
            EXPECT_EQ(r.out, holdoff_instructions);
        } else {
            EXPECT_EQ(r.status, 0) << r.out << r.err;
        }
        const std::string after = kept_mode();
        EXPECT_EQ(after, on) << t.program << " changed the RS-485 mode";
        printf("[vm] %s %s: status %d; then %s", t.program.c_str(), args.c_str(), r.status,
               after.c_str());
        check_line_settings(pl011, t.program);
    }
    EXPECT_EQ(rs485("/dev/ttyAMA0 off").status, 0);
}

// doctor names the PL011, judges its speed from its clock (QEMU's 24 MHz:
// 1,500,000 baud) and its RS-485 mode, off with the fix and on, changing
// neither.
TEST(VmArm64, DoctorNamesThePl011AndJudgesItsRs485Mode) {
    for (const char *mode : {"off", "on"}) {
        ASSERT_EQ(rs485(std::string("/dev/ttyAMA0 ") + mode).status, 0);
        const std::string kept = kept_mode();
        const GuestRun r = run_in_guest("motorbus", "doctor /dev/ttyAMA0");
        printf("[vm] motorbus doctor, the PL011's RS-485 mode %s:\n%s", mode, r.out.c_str());
        EXPECT_EQ(r.status, 1) << r.err;
        for (const std::string part :
             {"  driver:  uart-pl011\n", "  chip:    PL011 UART\n",
              "  FAIL  speed         PL011 UART runs at most 1500000 baud, not the bus's 4000000",
              "fix: its clock is 24000000 Hz; 4000000 baud needs 64000000 Hz",
              std::string(mode) == "on"
                  ? "  ok    rs485         RS-485 mode on, RTS high while sending, no delays"
                  : "  WARN  rs485         RS-485 mode off: the driver leaves RTS alone",
              std::string(mode) == "on" ? ""
                                        : "fix: motorbus rs485 /dev/ttyAMA0 on; at every boot: "
                                          "linux,rs485-enabled-at-boot-time"}) {
            EXPECT_TRUE(has(r.out, part)) << part;
        }
        EXPECT_EQ(kept_mode(), kept) << "doctor changed the mode";
    }
    EXPECT_EQ(rs485("/dev/ttyAMA0 off").status, 0);
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3 &&
        !(argc == 4 && (strcmp(argv[3], "amd64") == 0 || strcmp(argv[3], "arm64") == 0))) {
        fprintf(stderr, "usage: test_vm VMLINUZ INITRAMFS [amd64|arm64] [gtest options]\n");
        return 2;
    }
    kernel_path = argv[1];
    initrd_path = argv[2];
    // Each guest runs its own checks: the arm64 board's are VmArm64.*.
    guest_kind = argc == 4 && strcmp(argv[3], "arm64") == 0 ? Guest::arm64 : Guest::pc;
    std::string &filter = ::testing::GTEST_FLAG(filter);
    if (guest_kind == Guest::arm64) {
        filter = filter == "*" ? "VmArm64.*" : filter;
    } else {
        filter += filter.find('-') == std::string::npos ? "-VmArm64.*" : ":VmArm64.*";
    }
    signal(SIGPIPE, SIG_IGN);
    ::testing::AddGlobalTestEnvironment(new VmEnvironment);
    return RUN_ALL_TESTS();
}
