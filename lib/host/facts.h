// What the machine says about a serial adapter and the user who would open
// it, read from files under a root directory ("" for this machine; a small
// tree of files in the tests): sysfs (what the device is, its driver, its
// USB ids, its UART's clock), /dev/serial (its stable names), /proc (who
// holds it, what runs), /etc/group (a group's members) and the udev rule
// folders. Facts only: the verdicts on them are setup's (setup.h).
//
// Nothing here writes to a device. It is opened only on this machine, and
// only when it is a tty: exclusive() to ask whether another program opened
// it exclusively, setup_read_back() to set B4000000, read back what the
// driver made of it and put the old settings back.
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

// Sets B4000000 on the device, reads back the rate the driver keeps, and
// restores the settings it had. Writes no byte. 0 when it cannot (no
// access, a lock held, not a tty).
unsigned setup_read_back(const std::string &device);

// The reading behind those, for the verdicts.
namespace facts {

// Where udev rules are looked for, the administrator's first.
constexpr const char *rule_dirs[] = {"/etc/udev/rules.d", "/lib/udev/rules.d",
                                     "/usr/lib/udev/rules.d"};

// The content of a small regular file (at most 256 KiB), its first line;
// empty when it is missing, unreadable or no regular file.
std::string read_text(const std::string &path);
std::string read_line(const std::string &path);
// The names in a directory, sorted, without those starting with '.'.
std::vector<std::string> entries(const std::string &dir);

bool starts(const std::string &s, const char *prefix);
std::string lower(std::string s);
bool all_digits(const std::string &s);

// The name of group gid in /etc/group, its number when it has none there;
// members (when not null) gets the users it lists.
std::string group_name(const std::string &root, gid_t gid, std::vector<std::string> *members);

// Whether a process whose comm is name runs.
bool running(const std::string &root, const char *name);

// Who holds the device, from /proc: "holdoff (pid 777) holds its lock" for
// the lock the tools take, "minicom (pid 778) has it open" for a descriptor
// /proc shows (one's own processes, or all as root).
std::vector<std::string> holders(const std::string &root, const Adapter &a);

// On this machine: another program opened the tty exclusively (TIOCEXCL).
bool exclusive(const Adapter &a);

// A line of a udev rule file: where (file:line), and its text.
struct RuleHit {
    std::string where;
    std::string line;
};

// The lines of the udev rule files under root that name one of any_of
// (case-insensitive), in files whose name has file_word, or on lines that
// have line_word.
std::vector<RuleHit> rules_with(const std::string &root, const std::vector<std::string> &any_of,
                                const char *file_word, const char *line_word);

} // namespace facts
