// motorbus rescue: every bus held at once, then upgraded. Each bus process
// writes the hold-off pattern at holdoff's pace, so that a motor powered up
// meanwhile stays in its bootloader (a motor whose firmware no longer hears
// the mode frame, a motor cut off in its flash and power-cycled), while the
// user power-cycles the motors. The hold ends when the user presses Enter
// on a terminal, or after --hold SECONDS; then every bus goes on exactly as
// upgrade from its broadcast on. Ctrl+C during the hold ends it with
// nothing flashed.
#include "motorbus.h"
#include "sequences/hold_off.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

namespace motorbus {

namespace {

// The longest hold --hold takes: a day.
constexpr double max_hold_seconds = 86400;

// After the hold, what the line still brings (the echo of the last patterns
// on an adapter that echoes) is no answer: it is read and dropped until the
// line has been quiet this long, for at most quiet_limit_ms.
constexpr int quiet_ms = 50;
constexpr int quiet_limit_ms = 1000;

void stop_watching_input(Run &run, int ep) {
    if (run.hold_enter) {
        epoll_ctl(ep, EPOLL_CTL_DEL, STDIN_FILENO, nullptr);
        run.hold_enter = false;
    }
}

// The hold is over: the bus processes go on to their scan.
void end_hold(Run &run, int ep, const char *by) {
    run.holding = false;
    stop_watching_input(run, ep);
    for (const BusRun &b : run.buses) {
        if (b.pid > 0 && !b.ended) {
            kill(b.pid, SIGUSR2);
        }
    }
    report_hold_end(run, by);
}

// Drops what the line brings until it has been quiet for quiet_ms.
void quiet_line(int serial) {
    using Clock = std::chrono::steady_clock;
    const auto limit = Clock::now() + std::chrono::milliseconds(quiet_limit_ms);
    pollfd p{serial, POLLIN, 0};
    uint8_t dropped[256];
    while (Clock::now() < limit && poll(&p, 1, quiet_ms) > 0 &&
           read(serial, dropped, sizeof dropped) > 0) {
    }
    tcflush(serial, TCIFLUSH);
}

// Writes the pattern until the main process ends the hold (SIGUSR2) or the
// user interrupts (SIGUSR1). Both stay blocked in a bus process: the pause
// after each pattern waits for them. True when the hold ended as planned.
bool hold_bus(int serial, int fd) {
    send_record(fd, {.kind = Ev::holding});
    const int flags = fcntl(serial, F_GETFL);
    fcntl(serial, F_SETFL, flags | O_NONBLOCK);
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGUSR1);
    sigaddset(&ends, SIGUSR2);
    const timespec pause{0, hold_off_pause_us * 1000L};
    int sig = -1;
    while (sig < 0) {
        const PatternWrite w = hold_off_write(serial);
        if (w != PatternWrite::written) {
            // The bus was opened: it failed, as a tool would end 255 on it.
            const std::string why = w == PatternWrite::stalled
                                        ? "the adapter takes no more bytes (it accepted none for " +
                                              std::to_string(hold_off_stall_ms / 1000) + " s)"
                                        : std::string("a write failed: ") + strerror(errno);
            send_record(fd, text_record(Ev::bus_failed, why + "; the bus is not held"));
            return false;
        }
        sig = sigtimedwait(&ends, nullptr, &pause);
    }
    fcntl(serial, F_SETFL, flags);
    if (sig == SIGUSR1) {
        return false; // the user's Ctrl+C: nothing is flashed
    }
    quiet_line(serial);
    return true;
}

} // namespace

void serve_rescue(int serial, int pollset, const BusPlan &plan, const Image *image, int fd) {
    if (hold_bus(serial, fd)) {
        serve_upgrade(serial, pollset, plan, image, fd);
    }
}

void hold_begin(Run &run, int ep) {
    if (run.job != Job::rescue) {
        return;
    }
    run.holding = true;
    run.hold_until = now_seconds() + run.hold_seconds;
    if (isatty(STDIN_FILENO) == 1) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(hold_input_index);
        run.hold_enter = epoll_ctl(ep, EPOLL_CTL_ADD, STDIN_FILENO, &ev) == 0;
    }
    report_hold_start(run);
}

int hold_wait_ms(const Run &run, int wait_ms) {
    if (!run.holding || run.hold_seconds <= 0) {
        return wait_ms;
    }
    const double left_ms = std::ceil((run.hold_until - now_seconds()) * 1000);
    return static_cast<int>(std::clamp<double>(left_ms, 0, wait_ms));
}

void hold_input(Run &run, int ep) {
    char line[256];
    const ssize_t n = read(STDIN_FILENO, line, sizeof line);
    if (n < 0 && errno == EINTR) {
        return;
    }
    const bool enter = n > 0 && memchr(line, '\n', static_cast<size_t>(n)) != nullptr;
    if (enter && run.holding) {
        end_hold(run, ep, "enter");
    } else if (n <= 0) {
        // The end of input: nobody can press Enter any more. Without a
        // time limit that ends the hold; with one, the time does.
        stop_watching_input(run, ep);
        if (run.holding && run.hold_seconds <= 0) {
            end_hold(run, ep, "end-of-input");
        }
    }
}

void hold_tick(Run &run, int ep) {
    if (run.holding && run.hold_seconds > 0 && now_seconds() >= run.hold_until) {
        end_hold(run, ep, "time");
    }
}

void hold_interrupted(Run &run, int ep) {
    run.holding = false;
    stop_watching_input(run, ep);
}

int cmd_rescue(int argc, char **argv, bool json) {
    std::string hold;
    const CommandOption options[] = {{.name = "--hold", .value = &hold}};
    std::string error;
    if (!take_options("rescue", argc, argv, options, error)) {
        return usage_error(error, json);
    }
    Run run;
    run.job = Job::rescue;
    run.json = json;
    if (!hold.empty()) {
        char *end = nullptr;
        errno = 0;
        run.hold_seconds = strtod(hold.c_str(), &end);
        if (*end != '\0' || errno != 0 || !(run.hold_seconds > 0) ||
            run.hold_seconds > max_hold_seconds) {
            return usage_error("bad --hold '" + hold + "' (seconds, more than 0: --hold 30)", json);
        }
    } else if (isatty(STDIN_FILENO) != 1) {
        return usage_error("rescue needs --hold SECONDS when standard input is no terminal "
                           "(there is no Enter to end the hold)",
                           json);
    }
    return run_flashes(run, argc, argv);
}

} // namespace motorbus
