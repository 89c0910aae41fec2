// The verdicts on a serial adapter's set-up (setup.h): access, holder,
// speed from the table of chips, the services that reach for it, the
// latency timer, the udev rule; and the hints the tools print from them.
#include "host/setup.h"

#include "host/console.h"
#include "host/ttyinfo.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace facts;

namespace {

constexpr unsigned bus_baud = 4000000;

constexpr const char *rule_name = "60-motorbus-adapter.rules";

// "sudo " before a command that needs root, unless the user is root (a
// fresh Debian system has no sudo).
std::string sudo() {
    return geteuid() == 0 ? "" : "sudo ";
}

// The copy of the project's udev rule there is: beside the program as
// installed (PREFIX/share/doc/motorbus, ~/.local or /usr/local included),
// the package's, or the source tree's for a build that was not installed.
std::string rule_copy() {
    std::vector<std::string> dirs;
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string bin(exe, static_cast<size_t>(n));
        bin = bin.substr(0, bin.rfind('/'));
        dirs.push_back(bin + "/../share/doc/motorbus");
    }
    dirs.insert(dirs.end(), {"/usr/share/doc/motorbus", "/usr/local/share/doc/motorbus"});
    if (const char *home = getenv("HOME")) {
        dirs.push_back(std::string(home) + "/.local/share/doc/motorbus");
    }
    dirs.push_back(MOTORBUS_SOURCE_DOCS);
    for (const std::string &d : dirs) {
        char resolved[PATH_MAX];
        const std::string path = d + "/" + rule_name;
        if (access(path.c_str(), R_OK) == 0 && realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return std::string("/usr/share/doc/motorbus/") + rule_name;
}

// The command that installs the project's rule, as pasted.
std::string install_rule() {
    return sudo() + "cp " + rule_copy() + " /etc/udev/rules.d/ && " + sudo() +
           "udevadm control --reload && " + sudo() + "udevadm trigger";
}

// A rule of its own for a UART, which the project's rule (USB adapters)
// does not cover: its group and mode set at every boot.
std::string uart_rule(const std::string &name, const std::string &group) {
    return "echo 'SUBSYSTEM==\"tty\", KERNEL==\"" + name + "\", GROUP=\"" + group +
           "\", MODE=\"0660\"' | " + sudo() + "tee /etc/udev/rules.d/61-motorbus-" + name +
           ".rules && " + sudo() + "udevadm trigger";
}

// How a rule line may name the adapter: ATTRS{idVendor}=="0403" with
// ATTRS{idProduct}=="6001" on one line, or ENV{PRODUCT}=="403/6001/*".
std::vector<std::string> id_patterns(const Adapter &a) {
    const unsigned v = static_cast<unsigned>(strtoul(a.vendor.c_str(), nullptr, 16));
    const unsigned p = static_cast<unsigned>(strtoul(a.product.c_str(), nullptr, 16));
    char product_env[32];
    snprintf(product_env, sizeof product_env, "\"%x/%x/", v, p);
    return {product_env};
}

bool names_ids(const std::string &line, const Adapter &a) {
    const std::string l = lower(line);
    if (l.find("idvendor}==\"" + a.vendor + "\"") != std::string::npos &&
        l.find("idproduct}==\"" + a.product + "\"") != std::string::npos) {
        return true;
    }
    for (const std::string &p : id_patterns(a)) {
        if (l.find(p) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string mode_text(mode_t m) {
    char s[10];
    const char *rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        s[i] = (m & (0400u >> i)) != 0 ? rwx[i] : '-';
    }
    return std::string(s, 9);
}

struct ChipRow {
    const char *vendor, *product, *bcd, *name_has; // nullptr: any
    const char *chip;
    unsigned max;
    bool clamps;
    const char *source;
};

// The chips, the more particular rows first. max 0: the chip is told apart
// no further; the rate the driver reads back decides.
constexpr ChipRow chips[] = {
    {"0403", "6001", "0600", nullptr, "FT232R", 3000000, false,
     "FTDI FT232R datasheet: up to 3 Mbaud; ftdi_sio refuses faster rates and falls back to 9600"},
    {"0403", "6001", "0400", nullptr, "FT232BM", 3000000, false,
     "FTDI FT232BM datasheet: up to 3 Mbaud; ftdi_sio refuses faster rates and falls back to 9600"},
    {"0403", "6001", nullptr, nullptr, "FT232R/FT232BM class", 3000000, false,
     "FTDI datasheets of the 0403:6001 chips: up to 3 Mbaud"},
    {"0403", "6015", nullptr, nullptr, "FT-X (FT230X/FT231X/FT234XD)", 3000000, false,
     "FTDI FT-X datasheets: up to 3 Mbaud"},
    {"0403", "6010", "0500", nullptr, "FT2232C/D", 3000000, false,
     "FTDI FT2232D datasheet: up to 3 Mbaud"},
    {"0403", "6010", nullptr, nullptr, "FT2232H", 12000000, false,
     "FTDI FT2232H datasheet: up to 12 Mbaud"},
    {"0403", "6011", nullptr, nullptr, "FT4232H", 12000000, false,
     "FTDI FT4232H datasheet: up to 12 Mbaud"},
    {"0403", "6014", nullptr, nullptr, "FT232H", 12000000, false,
     "FTDI FT232H datasheet: up to 12 Mbaud"},
    {"10c4", "ea60", nullptr, "CP2102N", "CP2102N", 3000000, false,
     "Silicon Labs CP2102N datasheet: up to 3 Mbaud"},
    {"10c4", "ea60", nullptr, "CP2104", "CP2104", 2000000, false,
     "Silicon Labs CP2104 datasheet: up to 2 Mbaud"},
    {"10c4", "ea60", nullptr, nullptr, "CP2102/CP2109", 1000000, false,
     "Silicon Labs CP2102 datasheet: up to 1 Mbaud"},
    {"10c4", "ea70", nullptr, nullptr, "CP2105", 2000000, false,
     "Silicon Labs CP2105 datasheet: up to 2 Mbaud"},
    {"10c4", "ea71", nullptr, nullptr, "CP2108", 2000000, false,
     "Silicon Labs CP2108 datasheet: up to 2 Mbaud"},
    {"1a86", "7523", nullptr, nullptr, "CH340", 2000000, true,
     "WCH CH340 datasheet: up to 2 Mbaud; the kernel's ch341 driver clamps faster rates to "
     "its CH341_MAX_BPS, 3000000, and still reports the rate asked for"},
    {"1a86", "5523", nullptr, nullptr, "CH341", 2000000, true,
     "WCH CH341 datasheet: up to 2 Mbaud; the kernel's ch341 driver clamps faster rates to "
     "its CH341_MAX_BPS, 3000000, and still reports the rate asked for"},
    {"1a86", "55d3", nullptr, nullptr, "CH343", 6000000, false, "WCH CH343: up to 6 Mbaud"},
    {"1a86", "55d4", nullptr, nullptr, "CH9102", 6000000, false, "WCH CH9102: up to 6 Mbaud"},
    {"067b", "2303", "0300", nullptr, "PL2303HX", 6000000, false,
     "Prolific PL2303HX: up to 6 Mbaud; pl2303 reports the rate it sets"},
    {"067b", "2303", nullptr, nullptr, "PL2303 (H/HXD/TA/TB)", 0, false,
     "Prolific PL2303 variants share 067b:2303; pl2303 reports the rate it sets"},
    {"067b", "23a3", nullptr, nullptr, "PL2303GC", 12000000, false, "Prolific PL2303G: 12 Mbaud"},
    {"067b", "23c3", nullptr, nullptr, "PL2303GT", 12000000, false, "Prolific PL2303G: 12 Mbaud"},
    {"067b", "23d3", nullptr, nullptr, "PL2303GL", 12000000, false, "Prolific PL2303G: 12 Mbaud"},
};

// A UART runs at most a sixteenth of its clock: 4,000,000 baud needs 64 MHz.
// The fix for a chip that cannot run the bus: the chips of the table that
// can, each named once.
std::string fast_chips() {
    std::vector<std::string> names;
    for (const ChipRow &r : chips) {
        if (r.max >= bus_baud && std::find(names.begin(), names.end(), r.chip) == names.end()) {
            names.emplace_back(r.chip);
        }
    }
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return "use a USB adapter whose chip runs 4000000 baud: " + list;
}

// A board's UART runs from a clock the device tree sets (a PL011 on an ARM
// board); a PC's 16550 has the fixed clock of its chip.
std::string uart_clock_fix(const Adapter &a) {
    if (a.driver != "uart-pl011") {
        return "a PC's UART runs from a fixed clock; " + fast_chips();
    }
    return "its clock is " + std::to_string(a.uart_base * 16) + " Hz; 4000000 baud needs " +
           std::to_string(bus_baud * 16) +
           " Hz (the UART's clock in the device tree; on a Raspberry Pi init_uart_clock in "
           "config.txt), or " +
           fast_chips().substr(4);
}

bool matches(const char *want, const std::string &have) {
    return want == nullptr || have == want;
}

} // namespace

Chip setup_chip(const Adapter &a) {
    if (!a.vendor.empty()) {
        for (const ChipRow &r : chips) {
            if (matches(r.vendor, a.vendor) && matches(r.product, a.product) &&
                matches(r.bcd, a.bcd_device) &&
                (r.name_has == nullptr || a.product_name.find(r.name_has) != std::string::npos)) {
                return {r.chip, r.max, r.clamps, r.source};
            }
        }
    }
    if (a.driver == "ch341-uart" || a.driver == "ch341") {
        return {"CH340/CH341", 2000000, true,
                "WCH CH340 datasheet: up to 2 Mbaud; the ch341 driver clamps (to at most "
                "3000000) without saying so"};
    }
    if (a.uart_base > 0) {
        // A board's own UART is named by its driver; every other one with a
        // clock is taken for a 16550. Either runs at most its base rate.
        return {a.driver == "uart-pl011" ? "PL011 UART" : "UART (16550 class)", a.uart_base, false,
                "its base rate: the UART's clock / 16 (sysfs uartclk)"};
    }
    return {};
}

Verdict setup_access(const std::string &root, const Adapter &a, const Identity &me) {
    Verdict v;
    v.check = "access";
    struct stat st {};
    if (!a.blocked.empty()) {
        v.level = Level::fail;
        v.text = "you (" + me.name + ") may not search the directory " +
                 a.blocked.substr(root.size()) + " on its path";
        v.fix = "name the device by a path you may reach (/dev/serial/by-id/...), or ask for "
                "search (x) permission on " +
                a.blocked.substr(root.size());
        return v;
    }
    if (stat((root + a.device).c_str(), &st) != 0) {
        v.level = Level::fail;
        v.text = a.device + " is not there";
        v.fix = "plug the adapter in; 'motorbus doctor' lists the adapters there are";
        return v;
    }
    std::vector<std::string> members;
    const std::string group = group_name(root, st.st_gid, &members);
    const std::string owner =
        "owner " + std::to_string(st.st_uid) + ", group " + group + ", " + mode_text(st.st_mode);
    const bool in_session = me.gid == st.st_gid || std::find(me.session.begin(), me.session.end(),
                                                             st.st_gid) != me.session.end();
    const bool may = me.uid == 0 || (st.st_uid == me.uid && (st.st_mode & 0600) == 0600) ||
                     (in_session && (st.st_mode & 060) == 060) || (st.st_mode & 06) == 06;
    // On this machine the kernel has the last word (an ACL may allow more).
    const bool acl = !may && root.empty() && access(a.device.c_str(), R_OK | W_OK) == 0;
    if (may || acl) {
        v.text = "you (" + me.name + ") may open it read-write (" + owner +
                 (acl ? ", an ACL" : "") + ")";
        return v;
    }
    v.level = Level::fail;
    const bool member = std::find(members.begin(), members.end(), me.name) != members.end();
    const std::string join = sudo() + "usermod -aG ";
    if ((st.st_mode & 060) != 060) {
        // A chmod by hand is lost when the device comes again (a replug, a
        // reboot): the lasting fix is a rule, and the group for the user.
        // The project's rule sets the group of USB adapters; a UART gets a
        // rule of its own.
        const bool usb = starts(a.name, "ttyUSB");
        const std::string to = usb || group == "root" || group == "0" ? "dialout" : group;
        v.text = "only its owner may open it read-write (" + owner + ")";
        v.fix =
            (usb ? install_rule() : uart_rule(a.name, to)) +
            (member && to == group ? std::string()
                                   : ", then " + join + to + " " + me.name + " and log in again");
        return v;
    }
    if (member) {
        v.text = "you (" + me.name + ") are in the group " + group +
                 ", but this login session started before you were added (" + owner + ")";
        v.fix = "log out and in again (or, in this shell only: newgrp " + group + ")";
    } else {
        v.text = "you (" + me.name + ") are not in the group " + group + " (" + owner + ")";
        v.fix = join + group + " " + me.name + ", then log out and in again";
    }
    return v;
}

Verdict setup_holder(const std::string &root, const Adapter &a) {
    Verdict v;
    v.check = "holder";
    struct stat st {};
    const std::string path = root + a.device;
    if (stat(path.c_str(), &st) != 0) {
        v.text = "nobody";
        return v;
    }
    std::vector<std::string> holders = facts::holders(root, a);
    // Only a device that is a tty is opened to look (on this machine).
    const bool excl = root.empty() && (a.tty || a.pty) && a.not_serial.empty() && exclusive(a);
    if (holders.empty() && !excl) {
        v.text = "nobody holds it";
        return v;
    }
    v.level = Level::fail;
    if (excl) {
        v.text = "opened exclusively (TIOCEXCL), so every other open fails" +
                 std::string(holders.empty() ? "; /proc does not name the program to you (as "
                                               "root, doctor names it)"
                                             : ": ");
    }
    for (size_t i = 0; i < holders.size(); ++i) {
        v.text += (i > 0 ? ", " : "") + holders[i];
    }
    if (holders.empty()) {
        v.fix = "stop the program that holds it";
        return v;
    }
    const std::string &first = holders[0];
    const size_t p = first.find("(pid ");
    v.fix = "stop it first" + (p == std::string::npos
                                   ? std::string()
                                   : ": kill " + first.substr(p + 5, first.find(')', p) - p - 5));
    return v;
}

Verdict setup_speed(const Adapter &a, unsigned read_back) {
    Verdict v;
    v.check = "speed";
    if (a.pty) {
        v.text = "a pseudo-terminal (a simulated bus): any speed";
        return v;
    }
    if (!a.not_serial.empty()) {
        v.level = Level::fail;
        v.text = "not a serial adapter: " + a.not_serial;
        v.fix = "name the adapter's tty: 'motorbus doctor' without arguments lists them";
        return v;
    }
    if (!a.tty) {
        v.level = Level::fail;
        v.text = "not a serial device (no /sys/class/tty/" + a.name + ")";
        v.fix = "name the adapter's tty: 'motorbus doctor' without arguments lists them";
        return v;
    }
    const Chip c = setup_chip(a);
    const std::string back = read_back > 0 ? "; the driver reads back " +
                                                 std::to_string(read_back) + " after 4000000 is set"
                                           : "";
    const std::string other = fast_chips();
    if (c.max > 0 && c.max < bus_baud) {
        v.level = Level::fail;
        v.text = c.name + " runs at most " + std::to_string(c.max) +
                 " baud, not the bus's 4000000" +
                 (c.clamps ? " (its driver runs slower without saying so)" : "") + back;
        v.fix = a.vendor.empty() && a.uart_base > 0 ? uart_clock_fix(a) : other;
        return v;
    }
    if (read_back > 0 && read_back != bus_baud) {
        v.level = Level::fail;
        v.text = (c.name.empty() ? std::string("the chip") : c.name) + back.substr(1);
        v.fix = other;
        return v;
    }
    if (c.max >= bus_baud) {
        v.text = c.name + " runs up to " + std::to_string(c.max) + " baud" + back;
        return v;
    }
    v.level = read_back == bus_baud ? Level::note : Level::warn;
    v.text = (c.name.empty() ? std::string("chip not in the table") : c.name) +
             (read_back > 0 ? back
              : a.console   ? "; the speed was not read back: the kernel writes its console to it"
                            : "; the speed was not read back (no access, or held by another "
                              "program)");
    return v;
}

std::vector<Verdict> setup_services(const std::string &root, const Adapter &a) {
    std::vector<Verdict> out;
    if (a.vendor.empty()) {
        return out; // both reach for USB adapters only
    }
    const std::string ids = a.vendor + ":" + a.product;
    // ModemManager probes new tty devices for a modem unless a udev rule
    // sets ID_MM_DEVICE_IGNORE for them.
    Verdict mm;
    mm.check = "modemmanager";
    std::string ignore_rule;
    for (const RuleHit &h :
         rules_with(root, {"id_mm_device_ignore"}, nullptr, "id_mm_device_ignore")) {
        const std::string l = lower(h.line);
        if (l.find("idvendor") == std::string::npos || names_ids(h.line, a) ||
            l.find("idvendor}==\"" + a.vendor + "\"") != std::string::npos) {
            ignore_rule = h.where;
            break;
        }
    }
    if (!running(root, "ModemManager")) {
        mm.text = "not running";
    } else if (!ignore_rule.empty()) {
        mm.text = "running; kept away from " + ids + " by " + ignore_rule;
    } else {
        mm.level = Level::warn;
        mm.text = "running, and no udev rule keeps it away from " + ids +
                  ": it may probe the adapter for seconds after it is plugged in";
        mm.fix = install_rule();
    }
    out.push_back(mm);
    // brltty's udev rules claim many USB-serial chips as braille displays:
    // the tty vanishes right after it appears.
    Verdict br;
    br.check = "brltty";
    std::string claim;
    for (const RuleHit &h : rules_with(root, id_patterns(a), "brltty", "brltty")) {
        claim = h.where;
        break;
    }
    if (claim.empty()) {
        for (const RuleHit &h :
             rules_with(root, {"idvendor}==\"" + a.vendor + "\""}, "brltty", "brltty")) {
            if (names_ids(h.line, a)) {
                claim = h.where;
                break;
            }
        }
    }
    const bool runs = running(root, "brltty");
    if (!claim.empty()) {
        br.level = Level::fail;
        br.text = "the rule " + claim + " claims " + ids + " for brltty" +
                  (runs ? " (brltty runs)" : "") + ": the device vanishes after it is plugged in";
        br.fix = sudo() + "apt remove brltty (or: " + sudo() +
                 "systemctl mask brltty-udev.service && " + sudo() +
                 "udevadm control --reload), then plug the adapter in again";
    } else {
        br.text =
            runs ? "running, but no rule claims " + ids : "not running, no rule claims " + ids;
    }
    out.push_back(br);
    return out;
}

Verdict setup_latency(const std::string &root, const Adapter &a) {
    Verdict v;
    v.check = "latency";
    const std::string t = read_line(root + "/sys/class/tty/" + a.name + "/device/latency_timer");
    if (t.empty() || !all_digits(t)) {
        v.check.clear(); // no latency timer: no verdict
        return v;
    }
    v.level = t == "1" ? Level::ok : Level::note;
    v.text = "latency timer " + t + " ms; the tools set 1 ms themselves when they open it";
    return v;
}

Verdict setup_udev_rule(const std::string &root) {
    Verdict v;
    v.check = "udev-rule";
    for (const char *dir : rule_dirs) {
        const std::string path = std::string(dir) + "/" + rule_name;
        if (!read_text(root + path).empty()) {
            v.text = "installed: " + path;
            return v;
        }
    }
    v.level = Level::note;
    v.text = std::string(rule_name) +
             " is not installed (it sets the group, the latency timer and keeps ModemManager away)";
    v.fix = install_rule();
    return v;
}

void setup_hint_access(const char *path) {
    const int err = errno;
    if (err == EACCES) {
        const Adapter a = setup_adapter("", path);
        const Verdict v = setup_access("", a, setup_identity());
        if (v.level == Level::fail) {
            console_error("hint: %s; fix: %s\n", v.text.c_str(), v.fix.c_str());
        }
    }
    errno = err;
}

void setup_hint_holder(const char *path) {
    const int err = errno;
    const Verdict v = setup_holder("", setup_adapter("", path));
    if (v.level == Level::fail) {
        console_error("hint: %s\n", v.text.c_str());
    }
    errno = err;
}

void setup_warn_clamp(int fd, const char *path) {
    const Chip c = setup_chip(setup_adapter("", path));
    if (c.clamps && tty_baud(fd) == bus_baud) {
        console_error("warning: %s is a %s, which runs at most %u baud; its driver reports 4000000 "
                      "but runs slower: every exchange may time out\n",
                      path, c.name.c_str(), c.max);
    }
}
