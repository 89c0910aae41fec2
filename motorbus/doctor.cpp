// motorbus doctor: the set-up around each serial adapter, one verdict per
// check, each failed one with the command that fixes it. Reads sysfs,
// /proc, /etc/group and the udev rule folders (lib/setup), and a board
// UART's RS-485 mode (lib/rs485); writes no byte to any bus.
// MOTORBUS_DOCTOR_ROOT points it at another tree of those files (the tests'
// fake machine).
#include "host/rs485.h"
#include "host/setup.h"
#include "json_lines.h"
#include "motorbus.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace motorbus {

namespace {

const char *level_name(Level l) {
    switch (l) {
    case Level::ok:
        return "ok";
    case Level::note:
        return "note";
    case Level::warn:
        return "warn";
    case Level::fail:
        return "fail";
    }
    return "fail";
}

void emit(double started, const char *type, const Json &fields) {
    emit_json(started, type, fields);
}

std::string joined(const std::vector<std::string> &list) {
    std::string s;
    for (const std::string &x : list) {
        s += (s.empty() ? "" : " ") + x;
    }
    return s;
}

// The checks of one adapter, in the order they are printed.
std::vector<Verdict> examine(const std::string &root, const Adapter &a, const Identity &me,
                             unsigned &read_back) {
    std::vector<Verdict> v;
    read_back = 0;
    if (!a.not_serial.empty()) {
        // Nothing else to judge, and nothing here is opened.
        v.push_back({.check = "device",
                     .level = Level::fail,
                     .text = "not a serial adapter: " + a.not_serial,
                     .fix = "name the adapter's tty: 'motorbus doctor' without arguments lists "
                            "them"});
        return v;
    }
    v.push_back(setup_access(root, a, me));
    v.push_back(setup_holder(root, a));
    // The speed is read back by setting it, the RS-485 mode by asking the
    // driver: never on the kernel's console.
    Rs485Probe rs485;
    if (root.empty() && a.tty && !a.console && v[0].level == Level::ok && v[1].level == Level::ok) {
        read_back = setup_read_back(a.device);
        rs485 = rs485_probe(a.device);
    }
    v.push_back(setup_speed(a, read_back));
    for (Verdict &s : setup_services(root, a)) {
        v.push_back(s);
    }
    Verdict latency = setup_latency(root, a);
    if (!latency.check.empty()) {
        v.push_back(latency);
    }
    if (a.console) {
        v.push_back({.check = "console",
                     .level = Level::warn,
                     .text = "the kernel writes its console to " + a.name +
                             ": its messages would go out on the bus",
                     .fix = "take console=" + a.name + " off the kernel's command line"});
    }
    Verdict mode = rs485_verdict(a, rs485);
    if (!mode.check.empty()) {
        v.push_back(mode);
    }
    return v;
}

void print_adapter(const Adapter &a, const Chip &c) {
    printf("%s\n", a.device.c_str());
    if (!a.by_id.empty()) {
        printf("  by-id:   %s\n", joined(a.by_id).c_str());
    }
    if (!a.by_path.empty()) {
        printf("  by-path: %s\n", joined(a.by_path).c_str());
    }
    std::string what = a.pty ? "pseudo-terminal" : a.driver.empty() ? "-" : a.driver;
    printf("  driver:  %s\n", what.c_str());
    if (!a.vendor.empty()) {
        printf("  usb:     %s:%s \"%s\", serial %s\n", a.vendor.c_str(), a.product.c_str(),
               a.product_name.c_str(), a.serial.empty() ? "-" : a.serial.c_str());
    }
    if (!c.name.empty()) {
        printf("  chip:    %s\n", c.name.c_str());
    }
}

} // namespace

int cmd_doctor(int argc, char **argv, bool json) {
    std::string error;
    if (!take_options("doctor", argc, argv, {}, error)) {
        return usage_error(error, json);
    }
    const double started = now_seconds();
    const char *env = getenv("MOTORBUS_DOCTOR_ROOT");
    const std::string root = env != nullptr ? env : "";
    const Identity me = setup_identity();

    std::vector<Adapter> adapters;
    if (argc == 0) {
        adapters = setup_adapters(root);
    }
    for (int i = 0; i < argc; ++i) {
        adapters.push_back(setup_adapter(root, argv[i]));
    }
    if (json) {
        Json names = Json::array();
        for (int i = 0; i < argc; ++i) {
            names.push_back(argv[i]);
        }
        emit(started, "start", {{"command", "doctor"}, {"buses", names}});
    }
    // The machine's own UARTs are listed too; without a USB adapter beside
    // them, say so first: the adapter is what most users came to check.
    const bool usb = std::any_of(adapters.begin(), adapters.end(),
                                 [](const Adapter &a) { return !a.vendor.empty(); });
    if (argc == 0 && !usb && !adapters.empty()) {
        const char *none = "no USB serial adapter found (no /dev/ttyUSB*, /dev/ttyACM*): is it "
                           "plugged in? The machine's own UARTs follow";
        if (json) {
            emit(started, "note", {{"message", none}});
        } else {
            printf("%s.\n\n", none);
        }
    }

    int fit = 0;
    for (const Adapter &a : adapters) {
        const Chip c = setup_chip(a);
        if (!a.present && a.blocked.empty()) {
            if (json) {
                emit(started, "adapter",
                     {{"device", a.device}, {"present", false}, {"fit", false}});
            } else {
                printf("%s\n  FAIL  not there; 'motorbus doctor' without arguments lists the "
                       "adapters there are\n\n",
                       a.device.c_str());
            }
            continue;
        }
        if (!a.present) {
            // A directory on the way cannot be searched: access says which.
            const Verdict v = setup_access(root, a, me);
            if (json) {
                emit(started, "adapter",
                     {{"device", a.device}, {"present", nullptr}, {"fit", false}});
                emit(started, "check",
                     {{"device", a.device},
                      {"check", v.check},
                      {"level", level_name(v.level)},
                      {"ok", false},
                      {"message", v.text},
                      {"fix", v.fix}});
            } else {
                printf("%s\n  FAIL  %-13s %s\n  %-5s %-13s fix: %s\n\n", a.device.c_str(),
                       v.check.c_str(), v.text.c_str(), "", "", v.fix.c_str());
            }
            continue;
        }
        unsigned read_back = 0;
        const std::vector<Verdict> verdicts = examine(root, a, me, read_back);
        bool ok = true;
        for (const Verdict &v : verdicts) {
            ok = ok && v.level != Level::fail;
        }
        fit += ok ? 1 : 0;
        if (json) {
            emit(started, "adapter",
                 {{"device", a.device},
                  {"present", true},
                  {"by_id", a.by_id},
                  {"by_path", a.by_path},
                  {"driver", a.pty ? "pty" : a.driver},
                  {"vendor", a.vendor.empty() ? Json(nullptr) : Json(a.vendor)},
                  {"product", a.product.empty() ? Json(nullptr) : Json(a.product)},
                  {"product_name", a.product_name.empty() ? Json(nullptr) : Json(a.product_name)},
                  {"serial", a.serial.empty() ? Json(nullptr) : Json(a.serial)},
                  {"chip", c.name.empty() ? Json(nullptr) : Json(c.name)},
                  {"max_baud", c.max > 0 ? Json(c.max) : Json(nullptr)},
                  {"read_back", read_back > 0 ? Json(read_back) : Json(nullptr)},
                  {"fit", ok}});
            for (const Verdict &v : verdicts) {
                emit(started, "check",
                     {{"device", a.device},
                      {"check", v.check},
                      {"level", level_name(v.level)},
                      {"ok", v.level != Level::fail},
                      {"message", v.text},
                      {"fix", v.fix.empty() ? Json(nullptr) : Json(v.fix)}});
            }
        } else {
            print_adapter(a, c);
            for (const Verdict &v : verdicts) {
                printf("  %-5s %-13s %s\n",
                       v.level == Level::fail   ? "FAIL"
                       : v.level == Level::warn ? "WARN"
                       : v.level == Level::note ? "note"
                                                : "ok",
                       v.check.c_str(), v.text.c_str());
                if (!v.fix.empty()) {
                    printf("  %-5s %-13s fix: %s\n", "", "", v.fix.c_str());
                }
            }
            printf("  => %s\n\n", ok ? "fit for the bus" : "not fit for the bus");
        }
    }

    const Verdict rule = setup_udev_rule(root);
    const int named = static_cast<int>(adapters.size());
    const bool good = argc == 0 ? fit > 0 : fit == named;
    const int status = good ? status_ok : status_failed;
    const char *none_found =
        "no serial adapter found (no /dev/ttyUSB*, /dev/ttyACM*, nor a ttyS with a UART). Is "
        "the adapter plugged in? Does the kernel log show it ('sudo dmesg | tail -20')? If it "
        "names brltty ('interface 0 claimed by ... while 'brltty' sets config'), brltty took "
        "it: sudo apt remove brltty";
    if (json) {
        emit(started, "check",
             {{"device", nullptr},
              {"check", rule.check},
              {"level", level_name(rule.level)},
              {"ok", rule.level != Level::fail},
              {"message", rule.text},
              {"fix", rule.fix.empty() ? Json(nullptr) : Json(rule.fix)}});
        emit(started, "summary",
             {{"command", "doctor"},
              {"result", good ? "ok" : "failed"},
              {"exit_status", status},
              {"adapters", named},
              {"fit", fit},
              {"hint", named == 0 ? Json(none_found) : Json(nullptr)}});
    } else {
        printf("%s: %s\n", rule.check.c_str(), rule.text.c_str());
        if (!rule.fix.empty()) {
            printf("  fix: %s\n", rule.fix.c_str());
        }
        if (named == 0) {
            printf("%s\n", none_found);
        }
        printf("doctor: %d adapter(s), %d fit for the bus\n", named, fit);
    }
    fflush(stdout);
    return status;
}

} // namespace motorbus
