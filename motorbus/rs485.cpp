// motorbus rs485: shows or sets the kernel's RS-485 mode of one port
// (lib/rs485), under the bus's lock as the tools take it. Nothing else of
// the port changes: no line settings, no speed (a board's UART may be its
// console), no byte written.
#include "host/rs485.h"
#include "host/setup.h"
#include "host/ttyinfo.h"
#include "json_lines.h"
#include "motorbus.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/file.h>
#include <tuple>
#include <unistd.h>

namespace motorbus {

namespace {

// Longer delays than the kernel keeps (100 ms) are taken, so that its
// answer shows; these are only typing errors.
constexpr long max_delay_ms = 10000;

struct Request {
    const char *bus = nullptr;
    bool set = false; // `on` or `off` given
    bool on = false;
    bool rts_on_send = true;
    uint32_t before_ms = 0;
    uint32_t after_ms = 0;
};

bool parse_ms(const char *word, uint32_t &ms) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(word, &end, 10);
    if (*word == '\0' || *end != '\0' || errno != 0 || v < 0 || v > max_delay_ms) {
        return false;
    }
    ms = static_cast<uint32_t>(v);
    return true;
}

// The words after "rs485": BUS [on|off], and the options of `on` anywhere
// among them. False with the reason in error.
bool parse(int argc, char **argv, Request &r, std::string &error) {
    bool on_send = false;
    bool after_send = false;
    std::string before;
    std::string after;
    const CommandOption options[] = {{"--rts-on-send", nullptr, &on_send},
                                     {"--rts-after-send", nullptr, &after_send},
                                     {"--delay-before", &before},
                                     {"--delay-after", &after}};
    if (!take_options("rs485", argc, argv, options, error)) {
        return false;
    }
    for (const auto &[text, ms, name] : {std::tuple{&before, &r.before_ms, "--delay-before"},
                                         std::tuple{&after, &r.after_ms, "--delay-after"}}) {
        if (!text->empty() && !parse_ms(text->c_str(), *ms)) {
            error = std::string(name) + " takes a whole number of milliseconds, 0 to " +
                    std::to_string(max_delay_ms);
            return false;
        }
    }
    r.rts_on_send = !after_send;
    const bool tuned = on_send || after_send || !before.empty() || !after.empty();
    for (int i = 0; i < argc; ++i) {
        const std::string w = argv[i];
        if (r.bus == nullptr) {
            r.bus = argv[i];
        } else if (!r.set && (w == "on" || w == "off")) {
            r.set = true;
            r.on = w == "on";
        } else {
            error = "unexpected '" + w + "' (rs485 BUS [on|off] [options])";
            return false;
        }
    }
    if (r.bus == nullptr) {
        error = "no bus given";
    } else if (on_send && after_send) {
        error = "--rts-on-send and --rts-after-send exclude each other";
    } else if (tuned && !r.on) {
        error = "--rts-on-send, --rts-after-send and the delays go with 'on'";
    }
    return error.empty();
}

Json mode_json(const Rs485 &m) {
    return {{"enabled", (m.flags & SER_RS485_ENABLED) != 0},
            {"rts_on_send", (m.flags & SER_RS485_RTS_ON_SEND) != 0},
            {"rts_after_send", (m.flags & SER_RS485_RTS_AFTER_SEND) != 0},
            {"delay_before_ms", m.before_ms},
            {"delay_after_ms", m.after_ms},
            {"flags", m.flags}};
}

// Opens the bus as the tools do, without waiting for a carrier, and takes
// its lock. -1 after saying why it cannot.
int open_locked(const char *bus, bool json) {
    const int fd = open(bus, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        report_error(json, std::string("cannot open ") + bus + ": " + strerror(err));
        errno = err;
        tty_say_missing(bus);
        setup_hint_access(bus);
        return -1;
    }
    std::string why;
    if (!isatty(fd)) {
        why = std::string(bus) + " is not a serial port";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        why = std::string(bus) + " is in use by another program";
    }
    if (!why.empty()) {
        report_error(json, why);
        setup_hint_holder(bus);
        close(fd);
        return -1;
    }
    return fd;
}

// What became of a request: the mode found, the one asked for and the one
// the driver keeps now.
struct Outcome {
    Rs485Probe found;
    Rs485 asked;
    Rs485Probe now;
    std::vector<std::string> differences;
    std::string driver;
    std::string failure; // an ioctl that failed, in words
    bool ok = false;
};

constexpr const char *no_mode = "has no RS-485 mode: nothing switches RTS around its writes. A "
                                "USB adapter needs none: its transceiver switches direction by "
                                "itself";

void print_outcome(const Request &r, const Outcome &o, bool json, double started) {
    const bool has = o.now.has == Rs485Has::mode;
    if (json) {
        const Json supported = has                           ? Json(true)
                               : o.now.has == Rs485Has::none ? Json(false)
                                                             : Json(nullptr);
        const Json message = o.now.has == Rs485Has::none ? Json(no_mode)
                             : o.failure.empty()         ? Json(nullptr)
                                                         : Json(o.failure);
        emit_json(started, "rs485",
                  {{"bus", r.bus},
                   {"driver", o.driver.empty() ? Json(nullptr) : Json(o.driver)},
                   {"supported", supported},
                   {"mode", has ? mode_json(o.now.mode) : Json(nullptr)},
                   {"asked", r.set ? mode_json(o.asked) : Json(nullptr)},
                   {"as_asked", r.set && has ? Json(o.ok) : Json(nullptr)},
                   {"differences", o.differences},
                   {"message", message}});
        emit_json(started, "summary",
                  {{"command", "rs485"},
                   {"result", o.ok ? "ok" : "failed"},
                   {"exit_status", o.ok ? status_ok : status_failed}});
    } else if (has) {
        printf("%s: RS-485 mode %s\n", r.bus, rs485_text(o.now.mode).c_str());
        for (const std::string &d : o.differences) {
            printf("%s: not as asked: %s\n", r.bus, d.c_str());
        }
    } else if (o.now.has == Rs485Has::none) {
        const std::string named = o.driver.empty() ? "" : " (" + o.driver + ")";
        printf("%s: its driver%s %s\n", r.bus, named.c_str(), no_mode);
    } else {
        fprintf(stderr, "motorbus: %s: %s\n", r.bus, o.failure.c_str());
    }
    fflush(stdout);
}

} // namespace

int cmd_rs485(int argc, char **argv, bool json) {
    const double started = now_seconds();
    Request r;
    std::string error;
    if (!parse(argc, argv, r, error)) {
        return usage_error(error, json);
    }
    if (json) {
        emit_json(started, "start", {{"command", "rs485"}, {"buses", {r.bus}}});
    }
    const int fd = open_locked(r.bus, json);
    if (fd < 0) {
        return status_usage;
    }
    // Read the mode; for `on` or `off`, set it and read back what was kept.
    Outcome o;
    o.found = rs485_read(fd);
    o.asked = rs485_asked(o.found.mode, r.on, r.rts_on_send, r.before_ms, r.after_ms);
    const bool setting = r.set && o.found.has == Rs485Has::mode;
    o.now = setting ? rs485_set(fd, o.asked) : o.found;
    close(fd);

    o.driver = setup_adapter("", r.bus).driver;
    if (r.set && o.now.has == Rs485Has::mode) {
        o.differences = rs485_differences(o.asked, o.now.mode);
    }
    if (o.now.has == Rs485Has::unknown) {
        o.failure = std::string("cannot ") + (setting ? "set" : "read") +
                    " its RS-485 mode: " + strerror(o.now.error);
    }
    o.ok = o.now.has == Rs485Has::mode && o.differences.empty();
    print_outcome(r, o, json, started);
    return o.ok ? status_ok : status_failed;
}

} // namespace motorbus
