// motorbus rs485: shows or sets the kernel's RS-485 mode of one port
// (lib/rs485), under the bus's lock as the tools take it. Nothing else of
// the port changes: no line settings, no speed (a board's UART may be its
// console), no byte written.
#include "rs485.h"
#include "motorbus.h"
#include "setup.h"
#include "ttyinfo.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <nlohmann/json.hpp>
#include <sys/file.h>
#include <unistd.h>

namespace motorbus {

namespace {

using Json = nlohmann::ordered_json;

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

// The words after "rs485": BUS [on|off] and the options of `on`, in any
// order. False with the reason in error.
bool parse(int argc, char **argv, Request &r, std::string &error) {
    int polarities = 0;
    bool tuned = false;
    for (int i = 0; i < argc; ++i) {
        const std::string w = argv[i];
        if (w == "--rts-on-send" || w == "--rts-after-send") {
            r.rts_on_send = w == "--rts-on-send";
            ++polarities;
            tuned = true;
        } else if (w == "--delay-before" || w == "--delay-after") {
            if (i + 1 >= argc ||
                !parse_ms(argv[i + 1], w == "--delay-before" ? r.before_ms : r.after_ms)) {
                error = w + " takes a whole number of milliseconds, 0 to " +
                        std::to_string(max_delay_ms);
                return false;
            }
            ++i;
            tuned = true;
        } else if (r.bus == nullptr) {
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
    } else if (polarities > 1) {
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

void print_json(double started, const char *type, const Json &fields) {
    Json j = {{"schema", json_schema},
              {"type", type},
              {"time", std::round((now_seconds() - started) * 1000) / 1000}};
    j.update(fields);
    printf("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
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

} // namespace

int cmd_rs485(int argc, char **argv, bool json) {
    const double started = now_seconds();
    Request r;
    std::string error;
    if (!parse(argc, argv, r, error)) {
        return usage_error(error, json);
    }
    if (json) {
        print_json(started, "start", {{"command", "rs485"}, {"buses", {r.bus}}});
    }
    const int fd = open_locked(r.bus, json);
    if (fd < 0) {
        return status_usage;
    }
    const Rs485Probe found = rs485_read(fd);
    Rs485Probe now = found;
    const Rs485 asked = rs485_asked(found.mode, r.on, r.rts_on_send, r.before_ms, r.after_ms);
    if (r.set && found.has == Rs485Has::mode) {
        now = rs485_set(fd, asked);
    }
    close(fd);

    const std::string driver = setup_adapter("", r.bus).driver;
    std::vector<std::string> differences;
    if (r.set && now.has == Rs485Has::mode) {
        differences = rs485_differences(asked, now.mode);
    }
    const bool ok = now.has == Rs485Has::mode && differences.empty();
    const int status = ok ? status_ok : status_failed;
    std::string failure;
    if (now.has == Rs485Has::unknown) {
        failure = std::string("cannot ") + (r.set && found.has == Rs485Has::mode ? "set" : "read") +
                  " its RS-485 mode: " + strerror(now.error);
    }
    const char *none = "has no RS-485 mode: nothing switches RTS around its writes. A USB "
                       "adapter needs none: its transceiver switches direction by itself";

    if (json) {
        print_json(started, "rs485",
                   {{"bus", r.bus},
                    {"driver", driver.empty() ? Json(nullptr) : Json(driver)},
                    {"supported", now.has == Rs485Has::mode   ? Json(true)
                                  : now.has == Rs485Has::none ? Json(false)
                                                              : Json(nullptr)},
                    {"mode", now.has == Rs485Has::mode ? mode_json(now.mode) : Json(nullptr)},
                    {"asked", r.set ? mode_json(asked) : Json(nullptr)},
                    {"as_asked", r.set && now.has == Rs485Has::mode ? Json(ok) : Json(nullptr)},
                    {"differences", differences},
                    {"message", now.has == Rs485Has::none ? Json(none)
                                : failure.empty()         ? Json(nullptr)
                                                          : Json(failure)}});
        print_json(
            started, "summary",
            {{"command", "rs485"}, {"result", ok ? "ok" : "failed"}, {"exit_status", status}});
    } else if (now.has == Rs485Has::mode) {
        printf("%s: RS-485 mode %s\n", r.bus, rs485_text(now.mode).c_str());
        for (const std::string &d : differences) {
            printf("%s: not as asked: %s\n", r.bus, d.c_str());
        }
    } else if (now.has == Rs485Has::none) {
        const std::string named = driver.empty() ? "" : " (" + driver + ")";
        printf("%s: its driver%s %s\n", r.bus, named.c_str(), none);
    } else {
        fprintf(stderr, "motorbus: %s: %s\n", r.bus, failure.c_str());
    }
    fflush(stdout);
    return status;
}

} // namespace motorbus
