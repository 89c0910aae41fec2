// The set-up around a serial adapter: what it is (from sysfs), who may open
// it (its mode and group, /etc/group, the session's groups), who holds it
// (/proc/locks, /proc/*/fd), which chip it is and whether that chip can run
// 4,000,000 baud, and which udev rules and services reach for it.
//
// Every file is read under a root directory ("" for this machine; a small
// tree of files in the tests). Nothing here writes to a device: the only
// open of one is setup_read_back(), which sets B4000000, reads back what the
// driver made of it and puts the old settings back.
//
// motorbus doctor prints these verdicts; the four tools print one of them
// as a hint where they stop for a set-up reason.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// One serial device and what sysfs says about it.
struct Adapter {
    std::string device;                      // /dev/ttyUSB0 (as on the machine, not under the root)
    std::string name;                        // ttyUSB0
    std::vector<std::string> by_id, by_path; // its /dev/serial links
    std::string driver;                      // ftdi_sio, ch341-uart, cp210x, serial8250, ...
    std::string vendor, product;             // USB ids, four hex digits; empty when not USB
    std::string bcd_device;                  // the USB device's release, four hex digits
    std::string product_name, serial;        // the USB strings
    unsigned uart_base = 0;                  // a UART's base rate (its clock / 16)
    bool pty = false;                        // a pseudo-terminal (a simulated bus)
    bool present = false;                    // the device exists
    bool tty = false;                        // sysfs knows it as a tty
    bool console = false;                    // the kernel writes its console to it
    std::string not_serial;                  // what it is when no serial adapter ("a regular file")
    std::string blocked;                     // a directory on its path the user may not search
};

// The user doctor speaks for.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0; // primary group
    std::string name;
    std::vector<gid_t> session; // getgroups(): the groups this login session has
};

enum class Level { ok, note, warn, fail };

// One check's verdict: a line of text, and for a failure the command that
// fixes it.
struct Verdict {
    std::string check; // access, holder, speed, modemmanager, brltty, latency, udev-rule
    Level level = Level::ok;
    std::string text;
    std::string fix;
};

// What a chip can do, from the table.
struct Chip {
    std::string name;    // "FT232R"; empty when the chip is not in the table
    unsigned max = 0;    // its highest rate in baud; 0 when unknown
    bool clamps = false; // its driver runs a lower rate and still reports the one asked for
    const char *source = "";
};

// The identity of the process.
Identity setup_identity();

// The serial adapters under root: ttyUSB*, ttyACM*, and ttyS* and ttyAMA* with a UART
// behind them (a known port type in sysfs), sorted by name.
std::vector<Adapter> setup_adapters(const std::string &root);

// The adapter a path names (a /dev name, a /dev/serial link, a pty). On
// this machine (root "") it is judged by what the path is: a character
// device, named by the kernel from its number; the controlling terminal,
// the console, a virtual console and anything that is no character device
// are no serial adapter (not_serial says which), and nothing here opens them.
// Under a test root its files stand in for the devices, judged by name.
Adapter setup_adapter(const std::string &root, const std::string &path);

// The chip of an adapter, from its USB ids, release, product name, driver
// or UART base rate.
Chip setup_chip(const Adapter &a);

// The checks, one verdict each. read_back: the rate the driver reported
// after B4000000 was set (0: not read).
Verdict setup_access(const std::string &root, const Adapter &a, const Identity &me);
Verdict setup_holder(const std::string &root, const Adapter &a);
Verdict setup_speed(const Adapter &a, unsigned read_back);
std::vector<Verdict> setup_services(const std::string &root, const Adapter &a);
Verdict setup_latency(const std::string &root, const Adapter &a);
Verdict setup_udev_rule(const std::string &root);

// Sets B4000000 on the device, reads back the rate the driver keeps, and
// restores the settings it had. Writes no byte. 0 when it cannot (no
// access, a lock held, not a tty).
unsigned setup_read_back(const std::string &device);

// Hints for the tools, one line on standard error each.
// After an open of path failed with EACCES: its group and the fix.
void setup_hint_access(const char *path);
// After path was found locked, or its open failed with EBUSY (another
// program opened it exclusively, TIOCEXCL): the holder, when /proc tells.
void setup_hint_holder(const char *path);
// After the open: a chip whose driver reports 4000000 but runs slower.
void setup_warn_clamp(int fd, const char *path);
