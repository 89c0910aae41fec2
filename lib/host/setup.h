// The verdicts on the set-up around a serial adapter, from the facts the
// machine gives (facts.h): who may open it (its mode and group, the
// session's groups), who holds it, which chip it is and whether that chip
// can run 4,000,000 baud, which services and udev rules reach for it, its
// latency timer, and the fix for each that fails.
//
// motorbus doctor prints these verdicts; the four tools print one of them
// as a hint where they stop for a set-up reason.
#pragma once

#include "host/facts.h"

#include <string>
#include <sys/types.h>
#include <vector>

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

// Hints for the tools, one line on standard error each.
// After an open of path failed with EACCES: its group and the fix.
void setup_hint_access(const char *path);
// After path was found locked, or its open failed with EBUSY (another
// program opened it exclusively, TIOCEXCL): the holder, when /proc tells.
void setup_hint_holder(const char *path);
// After the open: a chip whose driver reports 4000000 but runs slower.
void setup_warn_clamp(int fd, const char *path);
