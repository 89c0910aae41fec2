// motorbus doctor's checks over a fake machine: a tree of the files doctor
// reads (sysfs, /proc, /etc/group, /dev, the udev rule folders) with a
// CH340, an FT232R, an FT232H, a CP2102N, a UART, a board's PL011 and a pty
// in it. One table
// says, for each adapter and the user looking at it, what every check must
// conclude; the real drivers are the VM suite's part.
#include "harness.h"
#include "host/rs485.h"
#include "host/setup.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;
using harness::TempDir;

namespace {

void put(const std::string &path, const std::string &text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

void link(const std::string &target, const std::string &at) {
    fs::create_directories(fs::path(at).parent_path());
    fs::create_symlink(target, at);
}

struct UsbPort {
    const char *tty, *driver, *vendor, *product, *bcd, *name;
    mode_t mode;
};

// The fake machine: every device belongs to the test's own group, which
// /etc/group calls dialout and lists ann and bob in.
struct Machine {
    TempDir dir;
    std::string root = dir.path;

    void usb(const UsbPort &p, int n) {
        const std::string usbdev = root + "/sys/devices/usb1/1-" + std::to_string(n);
        put(usbdev + "/idVendor", std::string(p.vendor) + "\n");
        put(usbdev + "/idProduct", std::string(p.product) + "\n");
        put(usbdev + "/bcdDevice", std::string(p.bcd) + "\n");
        put(usbdev + "/product", std::string(p.name) + "\n");
        put(usbdev + "/serial", "SN" + std::to_string(n) + "\n");
        const std::string port = usbdev + "/1-" + std::to_string(n) + ":1.0/" + p.tty;
        fs::create_directories(port);
        link(root + "/sys/bus/usb-serial/drivers/" + p.driver, port + "/driver");
        link(port, root + "/sys/class/tty/" + p.tty + "/device");
        device(std::string("/dev/") + p.tty, p.mode);
    }
    void device(const std::string &path, mode_t mode) {
        put(root + path, "");
        chmod((root + path).c_str(), mode);
    }
};

void build(Machine &m) {
    {
        m.usb({"ttyUSB0", "ch341-uart", "1a86", "7523", "0254", "USB Serial", 0660}, 1);
        m.usb({"ttyUSB1", "ftdi_sio", "0403", "6001", "0600", "FT232R USB UART", 0660}, 2);
        m.usb({"ttyUSB2", "ftdi_sio", "0403", "6014", "0900", "Single RS485 Cable", 0660}, 3);
        m.usb({"ttyUSB3", "cp210x", "10c4", "ea60", "0100", "CP2102N USB to UART Bridge Controller",
               0660},
              4);
        put(m.root + "/sys/class/tty/ttyUSB1/device/latency_timer", "16\n");
        link("../../ttyUSB1", m.root + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_SN2-if00-port0");
        // A UART with the 16550's usual clock, and a port with none (type 0).
        put(m.root + "/sys/class/tty/ttyS0/type", "4\n");
        put(m.root + "/sys/class/tty/ttyS0/uartclk", "1843200\n");
        m.device("/dev/ttyS0", 0600);
        // A board's PL011 at QEMU's 24 MHz clock.
        const std::string pl011 = m.root + "/sys/devices/platform/9000000.pl011";
        fs::create_directories(pl011);
        link(m.root + "/sys/bus/amba/drivers/uart-pl011", pl011 + "/driver");
        link(pl011, m.root + "/sys/class/tty/ttyAMA0/device");
        put(m.root + "/sys/class/tty/ttyAMA0/type", "32\n");
        put(m.root + "/sys/class/tty/ttyAMA0/uartclk", "24000000\n");
        m.device("/dev/ttyAMA0", 0660);
        put(m.root + "/sys/class/tty/ttyS1/type", "0\n");
        m.device("/dev/ttyS1", 0660);
        m.device("/dev/pts/4", 0666);
        put(m.root + "/etc/group",
            "wheel:x:10:ann\nodd line\ndialout:x:" + std::to_string(getgid()) + ":ann,bob\n");
        // holdoff holds the FT232H's lock; minicom has it open too.
        struct stat st {};
        stat((m.root + "/dev/ttyUSB2").c_str(), &st);
        put(
            m.root + "/proc/locks", "1: POSIX  ADVISORY  WRITE 12 00:11:99 0 EOF\n"
                                    "2: FLOCK  ADVISORY  WRITE 777 " +
                                        [&] {
                                            char k[64];
                                            snprintf(k, sizeof k, "%02x:%02x:%llu",
                                                     major(st.st_dev), minor(st.st_dev),
                                                     static_cast<unsigned long long>(st.st_ino));
                                            return std::string(k);
                                        }() +
                                        " 0 EOF\n");
        put(m.root + "/proc/777/comm", "holdoff\n");
        put(m.root + "/proc/778/comm", "minicom\n");
        link("/dev/ttyUSB2", m.root + "/proc/778/fd/3");
        link("/dev/null", m.root + "/proc/778/fd/0");
        put(m.root + "/proc/900/comm", "ModemManager\n");
        put(m.root + "/proc/self", ""); // no pid: skipped
        // brltty's rule claims the CH340; the project's rule is installed.
        put(m.root + "/usr/lib/udev/rules.d/85-brltty.rules",
            "# ENV{PRODUCT}==\"403/6001/*\" commented out\n"
            "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
            "GOTO=\"brltty_usb_run\"\n");
        fs::create_directories(m.root + "/etc/udev/rules.d");
        fs::copy_file(SOURCE_DIR "/docs/60-motorbus-adapter.rules",
                      m.root + "/etc/udev/rules.d/60-motorbus-adapter.rules");
    }
}

Machine &machine() {
    static Machine m;
    static const bool built = (build(m), true);
    (void)built;
    return m;
}

Identity user(const char *name, bool in_session) {
    Identity me;
    me.uid = 4242;
    me.gid = 4242;
    me.name = name;
    if (in_session) {
        me.session.push_back(getgid());
    }
    return me;
}

struct Case {
    const char *device;
    Identity me;
    const char *chip;
    // check -> "level: a part of its text | a part of its fix"
    std::map<std::string, std::string> verdicts;
    Rs485Probe rs485{}; // what the port's driver answered (not probed by default)
};

const char *level(Level l) {
    return l == Level::ok ? "ok" : l == Level::note ? "note" : l == Level::warn ? "warn" : "fail";
}

TEST(Doctor, EveryCheckOfEveryAdapterOfTheFakeMachine) {
    const std::string root = machine().root;
    const std::vector<Case> cases = {
        {"/dev/ttyUSB0",
         user("ann", true),
         "CH340",
         {{"access", "ok: you (ann) may open it"},
          {"holder", "ok: nobody"},
          {"speed", "fail: runs slower without saying so | CH9102, PL2303HX"},
          {"modemmanager", "ok: 60-motorbus-adapter.rules"},
          {"brltty", "fail: 85-brltty.rules:2 claims 1a86:7523 | apt remove brltty"}}},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_SN2-if00-port0",
         user("bob", false),
         "FT232R",
         {{"access", "fail: login session started before | newgrp dialout"},
          {"speed", "fail: at most 3000000 baud"},
          {"brltty", "ok: no rule claims 0403:6001"},
          {"latency", "note: 16 ms; the tools set 1 ms"}}},
        {"/dev/ttyUSB2",
         user("ann", true),
         "FT232H",
         {{"holder", "fail: holdoff (pid 777) holds its lock, minicom (pid 778) has it open | "
                     "kill 777"},
          {"speed", "ok: up to 12000000"}}},
        {"/dev/ttyUSB3",
         user("cyd", false),
         "CP2102N",
         {{"access", "fail: you (cyd) are not in the group dialout | usermod -aG dialout cyd"},
          {"speed", "fail: CP2102N runs at most 3000000"}}},
        {"/dev/ttyS0",
         user("ann", true),
         "UART (16550 class)",
         // The lasting fix: a rule of its own (a chmod is lost when the device comes again).
         {{"access", "fail: only its owner | KERNEL==\"ttyS0\", GROUP=\"dialout\", MODE=\"0660\""},
          {"speed", "fail: at most 115200 baud"}}},
        {"/dev/ttyAMA0",
         user("ann", true),
         "PL011 UART",
         {{"speed", "fail: at most 1500000 baud | 64000000 Hz"},
          {"rs485", "warn: RS-485 mode off | motorbus rs485 /dev/ttyAMA0 on; at every boot: "
                    "linux,rs485-enabled-at-boot-time"}},
         {Rs485Has::mode, {}, 0}},
        {"/dev/pts/4",
         user("cyd", false),
         "",
         {{"access", "ok: may open it"}, {"speed", "ok: pseudo-terminal"}}},
        {"/dev/ttyUSB9", user("ann", true), "", {{"access", "fail: not there"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        const Adapter a = setup_adapter(root, c.device);
        EXPECT_EQ(setup_chip(a).name, c.chip);
        std::vector<Verdict> all = {setup_access(root, a, c.me), setup_holder(root, a),
                                    setup_speed(a, 0), setup_latency(root, a)};
        for (const Verdict &v : setup_services(root, a)) {
            all.push_back(v);
        }
        all.push_back(rs485_verdict(a, c.rs485));
        for (const auto &entry : c.verdicts) {
            const std::string &check = entry.first;
            const std::string &want = entry.second;
            const auto v = std::find_if(all.begin(), all.end(),
                                        [&](const Verdict &x) { return x.check == check; });
            ASSERT_NE(v, all.end()) << check;
            const size_t colon = want.find(": ");
            const size_t bar = want.find(" | ");
            EXPECT_EQ(level(v->level), want.substr(0, colon)) << check << ": " << v->text;
            EXPECT_NE(v->text.find(want.substr(colon + 2, bar - colon - 2)), std::string::npos)
                << check << ": " << v->text;
            if (bar != std::string::npos) {
                EXPECT_NE(v->fix.find(want.substr(bar + 3)), std::string::npos)
                    << check << ": " << v->fix;
            }
        }
    }
}

// On this machine a path is judged by what it is, not by its name: a node
// that is no serial adapter is named as what it is (and not opened), and a
// pty opened exclusively (TIOCEXCL) has a holder.
TEST(Doctor, OnThisMachineAPathIsJudgedByWhatItIs) {
    TempDir dir;
    const std::string file = dir.file("ttyS0", {});
    harness::TestBus line;
    const int excl = open(line.bus.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(excl, 0);
    ASSERT_EQ(ioctl(excl, TIOCEXCL), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {file, "a regular file"},   {dir.path, "a directory"},
        {"/dev/null", "not a tty"}, {"/dev/tty", "the controlling terminal of whoever opens it"},
        {line.bus.slave_path, ""},
    };
    for (const auto &[path, what] : cases) {
        EXPECT_EQ(setup_adapter("", path).not_serial, what) << path;
    }
    const Verdict held = setup_holder("", setup_adapter("", line.bus.slave_path));
    close(excl);
    if (harness::emulated()) {
        return; // qemu-user does not pass TIOCGEXCL on
    }
    EXPECT_EQ(held.level, Level::fail);
    EXPECT_TRUE(held.text.starts_with("opened exclusively (TIOCEXCL)")) << held.text;
}

TEST(Doctor, ListsTheAdaptersWithTheirNamesAndTheRuleAndReportsInJson) {
    const std::string root = machine().root;
    std::vector<std::string> names;
    for (const Adapter &a : setup_adapters(root)) {
        names.push_back(a.device + (a.by_id.empty() ? "" : " " + a.by_id[0]) + " " + a.driver +
                        " " + a.vendor + ":" + a.product + " " + a.serial);
    }
    EXPECT_EQ(names, (std::vector<std::string>{
                         "/dev/ttyAMA0 uart-pl011 : ",
                         "/dev/ttyS0  : ",
                         "/dev/ttyUSB0 ch341-uart 1a86:7523 SN1",
                         "/dev/ttyUSB1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_SN2-if00-port0 "
                         "ftdi_sio 0403:6001 SN2",
                         "/dev/ttyUSB2 ftdi_sio 0403:6014 SN3",
                         "/dev/ttyUSB3 cp210x 10c4:ea60 SN4",
                     }));
    EXPECT_EQ(setup_udev_rule(root).level, Level::ok);
    // Not installed: the fix copies the copy of the rule there is.
    const Verdict rule = setup_udev_rule(root + "/etc");
    EXPECT_EQ(rule.level, Level::note);
    const size_t cp = rule.fix.find("cp ") + 3;
    EXPECT_EQ(access(rule.fix.substr(cp, rule.fix.find(' ', cp) - cp).c_str(), R_OK), 0)
        << rule.fix;

    // The program over the same tree: none of the machine's adapters is fit
    // but the FT232H, which holdoff holds; the pty is fit.
    harness::TestBus bus;
    sim::RunOptions opt;
    opt.env = {"MOTORBUS_DOCTOR_ROOT=" + root};
    const auto all = bus.run("motorbus", {"--json", "doctor"}, opt);
    EXPECT_EQ(all.exit_code, 1) << all.out << all.err;
    const auto pty = bus.run("motorbus", {"--json", "doctor", "/dev/pts/4"}, opt);
    EXPECT_EQ(pty.exit_code, 0) << pty.out << pty.err;
    int adapters = 0;
    nlohmann::json summary;
    std::istringstream lines(all.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto j = nlohmann::json::parse(line);
        EXPECT_EQ(j["schema"], 1);
        adapters += j["type"] == "adapter" ? 1 : 0;
        if (j["type"] == "summary") {
            summary = j;
        }
    }
    EXPECT_EQ(adapters, 6);
    EXPECT_EQ(summary["fit"], 0);
    EXPECT_EQ(summary["exit_status"], 1);
    // No adapter at all: what to look at.
    TempDir empty;
    opt.env = {"MOTORBUS_DOCTOR_ROOT=" + empty.path};
    const auto none = bus.run("motorbus", {"doctor"}, opt);
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_NE(none.out.find("plugged in?"), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("brltty"), std::string::npos) << none.out;
}

} // namespace
