#include "bus.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace sim {

namespace {

constexpr uint8_t hold_off_byte = 0x18;
constexpr int hold_off_run = 4;
// A motor that powers up listens this long for the hold-off pattern before it boots.
constexpr double power_up_window_ms = 50;
// A frame that stops short is given up (or, while a motor downloads, taken
// as a 4-byte command) after the line has been quiet this long.
constexpr double frame_idle_ms = 5;

void write_line(Bus &bus, std::span<const uint8_t> bytes) {
    if (bus.master < 0 || bytes.empty()) {
        return;
    }
    const ssize_t n = write(bus.master, bytes.data(), bytes.size());
    if (n > 0) {
        bus.wire.push_back(
            {bus_now_ms(bus), false, std::vector<uint8_t>(bytes.begin(), bytes.begin() + n)});
    }
}

void hang_up(Bus &bus) {
    if (bus.master >= 0) {
        close(bus.master);
        bus.master = -1;
    }
    if (bus.slave_keep >= 0) {
        close(bus.slave_keep);
        bus.slave_keep = -1;
    }
    bus.hung_up = true;
}

// Every motor hears every frame; their answers go out when due.
void dispatch(Bus &bus, std::span<const uint8_t> frame, bool data_frame) {
    for (Motor &m : bus.motors) {
        if (auto a = motor_hear(m, frame, data_frame)) {
            bus.schedule.push_back(
                {bus_now_ms(bus) + a->delay_ms, Action::answer, std::move(a->bytes), -1, 0});
        }
    }
}

bool downloading(const Bus &bus) {
    return std::any_of(bus.motors.begin(), bus.motors.end(), [](const Motor &m) {
        return m.downloading && m.state == MotorState::bootloader;
    });
}

// Cuts the host's byte stream into frames. A download turns every 17 bytes
// into a data frame, except a 4-byte command that stands alone.
void assemble(Bus &bus) {
    std::vector<uint8_t> &p = bus.pending;
    const bool idle = bus_now_ms(bus) - bus.last_rx_ms >= frame_idle_ms;
    size_t at = 0;
    auto left = [&] { return p.size() - at; };
    auto take = [&](size_t n, bool data) {
        dispatch(bus, std::span(p).subspan(at, n), data);
        at += n;
    };
    while (left() > 0) {
        const uint8_t *f = p.data() + at;
        if (downloading(bus)) {
            if (left() >= 17) {
                const auto frame = std::span(f, 17);
                take(17, !is_mode_frame(frame));
            } else if (!idle) {
                break;
            } else if (left() >= 4 && f[0] == 0xFB) {
                take(4, false);
            } else {
                at = p.size();
            }
        } else if (f[0] == 0xFE) {
            if (left() >= 2 && f[1] != 0xEE) {
                ++at;
            } else if (left() >= 17) {
                if (is_mode_frame(std::span(f, 17))) {
                    take(17, false);
                } else {
                    ++at;
                }
            } else if (idle) {
                ++at;
            } else {
                break;
            }
        } else if (f[0] == 0xFB) {
            if (left() >= 4) {
                take(4, false);
            } else if (idle) {
                ++at;
            } else {
                break;
            }
        } else {
            ++at; // noise, and the hold-off pattern
        }
    }
    p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(at));
}

void start_clock(Bus &bus) {
    bus.t0 = Clock::now();
    for (size_t i = 0; i < bus.motors.size(); ++i) {
        Motor &m = bus.motors[i];
        if (m.power_on_ms >= 0) {
            m.state = MotorState::off;
            bus.schedule.push_back(power_on_at(m.power_on_ms, static_cast<int>(i)));
        }
    }
}

struct Child {
    pid_t pid = -1;
    int pidfd = -1;
    int out = -1;
    int err = -1;
    RunResult *result = nullptr;
    Clock::time_point started;
    Clock::time_point kill_at;
};

bool read_into(int fd, std::string &s) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        s.append(buf, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// The event loop of the bus: the line, the program's output and exit, the
// schedule and, when serving another thread, a stop descriptor.
void serve(Bus &bus, Child *child, int stop_fd) {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    auto add = [&](int fd) {
        if (fd >= 0) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
    };
    add(bus.master);
    add(stop_fd);
    if (child != nullptr) {
        add(child->pidfd);
        add(child->out);
        add(child->err);
    }
    bool exited = false;
    for (;;) {
        if (child != nullptr && exited && child->out < 0 && child->err < 0) {
            break;
        }
        int wait_ms = bus_next_wait_ms(bus);
        if (child != nullptr && !exited) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(child->kill_at - Clock::now());
            const int kill_ms = std::max(0, static_cast<int>(left.count()));
            wait_ms = wait_ms < 0 ? kill_ms : std::min(wait_ms, kill_ms);
        }
        epoll_event events[8];
        const int n = epoll_wait(ep, events, 8, wait_ms);
        const int master_before = bus.master;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stop_fd) {
                bus_drain_master(bus);
                close(ep);
                return;
            }
            if (fd == master_before && bus.master >= 0) {
                bus_drain_master(bus);
            } else if (child != nullptr && (fd == child->out || fd == child->err)) {
                std::string &s = fd == child->out ? child->result->out : child->result->err;
                if (!read_into(fd, s)) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    close(fd);
                    (fd == child->out ? child->out : child->err) = -1;
                }
            } else if (child != nullptr && fd == child->pidfd && !exited) {
                int status = 0;
                rusage ru{};
                wait4(child->pid, &status, 0, &ru);
                RunResult &r = *child->result;
                r.ms = std::chrono::duration<double, std::milli>(Clock::now() - child->started)
                           .count();
                r.user_ms = ru.ru_utime.tv_sec * 1e3 + ru.ru_utime.tv_usec / 1e3;
                r.sys_ms = ru.ru_stime.tv_sec * 1e3 + ru.ru_stime.tv_usec / 1e3;
                r.cpu_ms = r.user_ms + r.sys_ms;
                if (WIFEXITED(status)) {
                    r.exit_code = WEXITSTATUS(status);
                } else if (WIFSIGNALED(status)) {
                    r.term_signal = WTERMSIG(status);
                }
                exited = true;
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
            }
        }
        if (master_before >= 0 && bus.master < 0) {
            epoll_ctl(ep, EPOLL_CTL_DEL, master_before, nullptr);
        }
        assemble(bus);
        bus_run_due(bus, child != nullptr && !exited ? child->pid : 0);
        if (child != nullptr && !exited && Clock::now() >= child->kill_at &&
            !child->result->timed_out) {
            child->result->timed_out = true;
            kill(child->pid, SIGKILL);
        }
    }
    if (bus.master >= 0) {
        // Bytes written just before the exit may still be on their way through the pty.
        usleep(20000);
        bus_drain_master(bus);
    }
    close(ep);
}

} // namespace

Scheduled stray_at(double at_ms, std::vector<uint8_t> bytes) {
    return {at_ms, Action::stray, std::move(bytes), -1, 0};
}
Scheduled hangup_at(double at_ms) {
    return {at_ms, Action::hangup, {}, -1, 0};
}
Scheduled signal_at(double at_ms, int sig) {
    return {at_ms, Action::signal, {}, -1, sig};
}
Scheduled power_on_at(double at_ms, int motor) {
    return {at_ms, Action::power_on, {}, motor, 0};
}

bool bus_open(Bus &bus) {
    bus.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (bus.master < 0) {
        return false;
    }
    if (grantpt(bus.master) != 0 || unlockpt(bus.master) != 0) {
        bus_close(bus);
        return false;
    }
    char name[128];
    if (ptsname_r(bus.master, name, sizeof name) != 0) {
        bus_close(bus);
        return false;
    }
    bus.slave_path = name;
    bus.slave_keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (bus.slave_keep < 0) {
        bus_close(bus);
        return false;
    }
    termios tio{};
    tcgetattr(bus.slave_keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(bus.slave_keep, TCSANOW, &tio);
    fcntl(bus.master, F_SETFL, fcntl(bus.master, F_GETFL) | O_NONBLOCK);
    bus.t0 = Clock::now();
    return true;
}

void bus_close(Bus &bus) {
    if (bus.master >= 0) {
        close(bus.master);
    }
    if (bus.slave_keep >= 0) {
        close(bus.slave_keep);
    }
    bus.master = bus.slave_keep = -1;
}

double bus_now_ms(const Bus &bus) {
    return std::chrono::duration<double, std::milli>(Clock::now() - bus.t0).count();
}

void bus_host_bytes(Bus &bus, std::span<const uint8_t> bytes) {
    const double now = bus_now_ms(bus);
    bus.wire.push_back({now, true, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    bus.host_bytes += static_cast<long>(bytes.size());
    bus.last_rx_ms = now;
    for (uint8_t b : bytes) {
        bus.pattern_run = b == hold_off_byte ? bus.pattern_run + 1 : 0;
        if (bus.pattern_run >= hold_off_run) {
            bus.last_pattern_ms = now;
        }
    }
    bus.pending.insert(bus.pending.end(), bytes.begin(), bytes.end());
    assemble(bus);
    if (bus.hangup_after_host_bytes >= 0 && bus.host_bytes >= bus.hangup_after_host_bytes) {
        hang_up(bus);
    }
}

void bus_drain_master(Bus &bus) {
    uint8_t buf[4096];
    while (bus.master >= 0) {
        const ssize_t n = read(bus.master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        bus_host_bytes(bus, std::span(buf, static_cast<size_t>(n)));
    }
}

void bus_run_due(Bus &bus, pid_t child) {
    for (;;) {
        const double now = bus_now_ms(bus);
        auto due = std::min_element(
            bus.schedule.begin(), bus.schedule.end(),
            [](const Scheduled &a, const Scheduled &b) { return a.at_ms < b.at_ms; });
        if (due == bus.schedule.end() || due->at_ms > now) {
            return;
        }
        const Scheduled s = std::move(*due);
        bus.schedule.erase(due);
        switch (s.action) {
        case Action::answer:
        case Action::stray:
            write_line(bus, s.bytes);
            break;
        case Action::hangup:
            hang_up(bus);
            break;
        case Action::signal:
            if (child > 0) {
                kill(child, s.sig);
            }
            break;
        case Action::power_on:
            bus.schedule.push_back({now + power_up_window_ms, Action::power_check, {}, s.motor, 0});
            bus.motors[static_cast<size_t>(s.motor)].power_on_ms = now;
            break;
        case Action::power_check: {
            Motor &m = bus.motors[static_cast<size_t>(s.motor)];
            motor_boot(m, bus.last_pattern_ms >= m.power_on_ms);
            break;
        }
        }
    }
}

int bus_next_wait_ms(const Bus &bus) {
    double next = -1;
    for (const Scheduled &s : bus.schedule) {
        if (next < 0 || s.at_ms < next) {
            next = s.at_ms;
        }
    }
    if (!bus.pending.empty()) {
        const double idle_at = bus.last_rx_ms + frame_idle_ms;
        next = next < 0 ? idle_at : std::min(next, idle_at);
    }
    if (next < 0) {
        return -1;
    }
    return std::max(0, static_cast<int>(std::ceil(next - bus_now_ms(bus))));
}

std::vector<uint8_t> host_stream(const Bus &bus) {
    std::vector<uint8_t> all;
    for (const WireChunk &c : bus.wire) {
        if (c.from_host) {
            all.insert(all.end(), c.bytes.begin(), c.bytes.end());
        }
    }
    return all;
}

double host_time_at(const Bus &bus, size_t offset) {
    size_t seen = 0;
    for (const WireChunk &c : bus.wire) {
        if (!c.from_host) {
            continue;
        }
        seen += c.bytes.size();
        if (seen > offset) {
            return c.t_ms;
        }
    }
    return -1;
}

void bus_serve(Bus &bus, int stop_fd) {
    start_clock(bus);
    serve(bus, nullptr, stop_fd);
}

RunResult run_program(Bus &bus, const std::vector<std::string> &argv, const RunOptions &opt) {
    RunResult result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.spawn_error = "pipe failed";
        return result;
    }

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) {
        env_strings.emplace_back(*e);
    }
    if (!opt.preload.empty()) {
        std::erase_if(env_strings,
                      [](const std::string &s) { return s.starts_with("LD_PRELOAD="); });
        env_strings.push_back("LD_PRELOAD=" + opt.preload);
        // A sanitized program wants its runtime first among the libraries; the
        // preloaded shim comes before it, which is harmless here.
        if (std::none_of(env_strings.begin(), env_strings.end(),
                         [](const std::string &s) { return s.starts_with("ASAN_OPTIONS="); })) {
            env_strings.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        }
    }
    // An extra entry replaces an inherited one of the same name.
    for (const std::string &e : opt.env) {
        const std::string name = e.substr(0, e.find('=') + 1);
        std::erase_if(env_strings, [&](const std::string &s) { return s.starts_with(name); });
        env_strings.push_back(e);
    }
    std::vector<char *> envp;
    for (std::string &s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char *> argp;
    for (std::string &s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (opt.capture) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    }

    // The program starts with the default action for the signals that end
    // a run, whatever this process does with them.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    start_clock(bus);
    Child child;
    child.result = &result;
    child.started = Clock::now();
    child.kill_at = child.started + std::chrono::milliseconds(opt.timeout_ms);
    result.start_ms = bus_now_ms(bus);
    const int rc = posix_spawn(&child.pid, argp[0], &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        result.spawn_error = std::string("cannot start ") + argp[0] + ": " + strerror(rc);
        return result;
    }
    child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    child.out = out[0];
    child.err = err[0];
    serve(bus, &child, -1);
    close(child.pidfd);
    return result;
}

} // namespace sim
