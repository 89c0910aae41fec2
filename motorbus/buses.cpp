// One process per bus, all at once. The main process forks them, forwards
// Ctrl+C to them, reads what they report and hands it to the output; each
// bus process opens its bus, runs its job with the library's blocking
// sequences and ends.
#include "host/setup.h"
#include "line/LSerial_linux.h"
#include "line/port.h"
#include "motorbus.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace motorbus {

namespace {

using Serve = void (*)(int serial, int pollset, const BusPlan &plan, const Image *image, int fd);

// Each job's body in a bus process, by Job.
constexpr std::array<Serve, 4> serve_table = {serve_scan, serve_health, serve_upgrade,
                                              serve_rescue};

// How often a terminal's live lines are redrawn while nothing else happens
// (the time on them moves); without a terminal the wait is bounded all the
// same, so that a lost wake-up cannot hang the run.
constexpr int live_redraw_ms = 250;
constexpr int idle_wait_ms = 1000;

// ": minicom (pid 778) has it open", from /proc; empty when it does not tell.
std::string holders(const std::string &path) {
    const Verdict v = setup_holder("", setup_adapter("", path));
    return v.level == Level::fail ? ": " + v.text : std::string();
}

void bus_error(int fd, const std::string &text) {
    send_record(fd, text_record(Ev::bus_error, text));
}

// Reads one record. False at the end of the pipe (the process ended) or on
// a read error.
bool read_record(int fd, Record &r) {
    for (;;) {
        const ssize_t n = read(fd, &r, sizeof r);
        if (n == static_cast<ssize_t>(sizeof r)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

void signal_buses(const Run &run, int sig) {
    for (const BusRun &b : run.buses) {
        if (b.pid > 0 && !b.ended) {
            kill(b.pid, sig);
        }
    }
}

// The motors a bus process had not come to when it ended early: a flash
// in progress is cut off; a motor found and not begun is not attempted.
void left_undone(Run &run, BusRun &b, Skip why) {
    std::vector<uint8_t> skipped;
    for (MotorRow &m : b.motors) {
        if (m.flash_started && !m.flash_ended) {
            m.cut_off = true;
        } else if (flashes(run.job) && m.found && !m.flash_started && !m.skipped &&
                   (m.asked || b.plan.ids.empty())) {
            skipped.push_back(m.id);
        }
    }
    for (const uint8_t id : skipped) {
        report_record(
            run, b, {.kind = Ev::not_attempted, .motor = id, .result = static_cast<uint8_t>(why)});
    }
}

void tell_failure(Run &run, BusRun &b, const std::string &why) {
    report_record(run, b, text_record(Ev::bus_failed, why));
}

// The process of bus b has closed its pipe: collect its status. A bus
// process ends 0 when its bus served, 1 when it said why not (bus-error,
// bus-failed); any other end is a failure of the bus too, but for the stop
// the main process asked for itself (a second Ctrl+C).
void bus_ended(Run &run, BusRun &b, int ep) {
    epoll_ctl(ep, EPOLL_CTL_DEL, b.pipe, nullptr);
    close(b.pipe);
    b.pipe = -1;
    int status = 0;
    while (waitpid(b.pid, &status, 0) < 0 && errno == EINTR) {
    }
    b.ended = true;
    const std::string process = "the process serving " + b.plan.path;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM && run.interrupts >= 2) {
        left_undone(run, b, Skip::stopped);
    } else if (WIFSIGNALED(status)) {
        tell_failure(run, b, process + " ended by signal " + std::to_string(WTERMSIG(status)));
        left_undone(run, b, Skip::bus_failed);
    } else if (!b.opened && b.error.empty()) {
        b.error = "the bus could not be opened";
    } else if (WEXITSTATUS(status) != 0 && b.error.empty() && b.failure.empty()) {
        tell_failure(run, b, process + " ended with status " + std::to_string(WEXITSTATUS(status)));
    }
    // Motors named that got no verdict: their bus ended first.
    if (!b.error.empty() || !b.failure.empty() || run.interrupts >= 2) {
        for (const uint8_t id : b.plan.ids) {
            const bool seen = std::any_of(b.motors.begin(), b.motors.end(),
                                          [id](const MotorRow &m) { return m.id == id; });
            if (!seen) {
                b.motors.push_back({.id = id, .asked = true, .unknown = true});
            }
        }
    }
    report_process_end(run, b);
}

// A bus whose process could not be started.
void not_started(Run &run, BusRun &b, const char *what) {
    b.error = std::string("cannot start its process: ") + what;
    b.ended = true;
    report_process_end(run, b);
}

} // namespace

Record text_record(Ev kind, const std::string &text) {
    Record r{.kind = kind};
    snprintf(r.text, sizeof r.text, "%s", text.c_str());
    return r;
}

void send_record(int fd, const Record &r) {
    while (write(fd, &r, sizeof r) < 0 && errno == EINTR) {
    }
}

bool stop_requested() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGUSR1) == 1;
}

int serve_bus(Job job, const BusPlan &plan, const Image *image, int fd) {
    // open_set ends the process with a message on standard error when the
    // device cannot be opened or another program holds it; a look first
    // gives the reason as a record, the holder named.
    const int probe = open(plan.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        const int err = errno;
        bus_error(fd, std::string("cannot open: ") + strerror(err) +
                          (err == EBUSY ? holders(plan.path) : std::string()));
        return 1;
    }
    if (flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        bus_error(fd, "in use by another program" + holders(plan.path));
        close(probe);
        return 1;
    }
    close(probe);
    const int serial = open_set(plan.path.c_str());
    int pollset = -1;
    if (make_pollset(serial, pollset) != 0) {
        bus_error(fd, "not a serial port");
        return 1;
    }
    send_record(fd, {.kind = Ev::opened});
    serve_table[static_cast<size_t>(job)](serial, pollset, plan, image, fd);
    close_serial(serial);
    if (const char *why = line_failure()) {
        send_record(fd, text_record(Ev::bus_failed, why));
        return 1;
    }
    return 0;
}

int run_buses(Run &run) {
    run.started = now_seconds();
    run.terminal = !run.json && isatty(STDOUT_FILENO) == 1;
    // A lost terminal or a reader that quits must not stop flashes: output
    // that cannot be written is lost, the run goes on.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // Ctrl+C and SIGTERM come to the main process as events; SIGUSR1 (stop
    // after this flash) and SIGUSR2 (a rescue's hold is over) stay blocked
    // in the bus processes, see stop_requested and serve_rescue.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGUSR1);
    sigaddset(&handled, SIGUSR2);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    sigset_t listened;
    sigemptyset(&listened);
    sigaddset(&listened, SIGINT);
    sigaddset(&listened, SIGTERM);
    const int sigfd = signalfd(-1, &listened, SFD_CLOEXEC);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    auto watch = [ep](int fd, int index) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(index);
        return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    };
    if (sigfd < 0 || ep < 0 || watch(sigfd, -1) != 0) {
        report_error(run.json, std::string("cannot set up: ") + strerror(errno));
        return status_usage;
    }

    report_start(run);
    for (size_t i = 0; i < run.buses.size(); ++i) {
        BusRun &b = run.buses[i];
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            not_started(run, b, strerror(errno));
            continue;
        }
        fflush(stdout);
        fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) {
            // The bus process: Ctrl+C reaches it through the main process
            // only (SIGUSR1, then SIGTERM), never from the terminal directly.
            close(fds[0]);
            close(sigfd);
            close(ep);
            for (size_t k = 0; k < i; ++k) {
                if (run.buses[k].pipe >= 0) {
                    close(run.buses[k].pipe);
                }
            }
            signal(SIGINT, SIG_IGN);
            sigset_t open_again;
            sigemptyset(&open_again);
            sigaddset(&open_again, SIGTERM);
            sigprocmask(SIG_UNBLOCK, &open_again, nullptr);
            // Nothing but records reaches the main process's output.
            dup2(STDERR_FILENO, STDOUT_FILENO);
            _exit(serve_bus(run.job, b.plan, run.image, fds[1]));
        }
        close(fds[1]);
        if (pid < 0) {
            const int err = errno;
            close(fds[0]);
            not_started(run, b, strerror(err));
            continue;
        }
        b.pid = pid;
        b.pipe = fds[0];
        b.stage_since = now_seconds();
        watch(b.pipe, static_cast<int>(i));
    }
    hold_begin(run, ep);

    for (;;) {
        bool running = false;
        for (const BusRun &b : run.buses) {
            running = running || b.pipe >= 0;
        }
        if (!running) {
            break;
        }
        if (run.terminal) {
            redraw_live(run);
        }
        std::array<epoll_event, 8> events{};
        const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()),
                                 hold_wait_ms(run, run.terminal ? live_redraw_ms : idle_wait_ms));
        for (int k = 0; k < n; ++k) {
            const auto index = static_cast<int>(events[static_cast<size_t>(k)].data.u32);
            if (index == hold_input_index) {
                hold_input(run, ep);
                continue;
            }
            if (index == -1) {
                signalfd_siginfo si{};
                if (read(sigfd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) {
                    continue;
                }
                ++run.interrupts;
                if (si.ssi_signo == SIGTERM) {
                    run.interrupts = 2;
                }
                if (run.holding) {
                    hold_interrupted(run, ep);
                }
                // First Ctrl+C: no new flash, those in progress finish.
                // Second: every bus stops at once.
                signal_buses(run, run.interrupts == 1 ? SIGUSR1 : SIGTERM);
                report_interrupt(run);
                continue;
            }
            BusRun &b = run.buses[static_cast<size_t>(index)];
            Record r;
            if (b.pipe >= 0 && read_record(b.pipe, r)) {
                report_record(run, b, r);
            } else if (b.pipe >= 0) {
                bus_ended(run, b, ep);
            }
        }
        hold_tick(run, ep);
    }
    close(ep);
    close(sigfd);
    if (flashes(run.job)) {
        history_record(run);
    }
    return report_end(run);
}

} // namespace motorbus
