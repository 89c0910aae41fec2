#include "runner.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace sim {

namespace {

struct Child {
    pid_t pid = -1;
    int pidfd = -1;
    int out = -1;
    int err = -1;
    RunResult *result = nullptr;
    int relay_fd = -1;
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

// epoll_wait to the microsecond: an answer due 40 us after a write (a
// replayed motor's) must not wait a whole millisecond. Where the kernel or
// an emulator lacks epoll_pwait2, whole milliseconds, rounded up.
int wait_events(int ep, epoll_event *events, int max, double wait_ms) {
    if (wait_ms >= 0) {
        const auto us = static_cast<long long>(std::ceil(wait_ms * 1000));
        const timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        const int n = epoll_pwait2(ep, events, max, &t, nullptr);
        if (n >= 0 || errno != ENOSYS) {
            return n;
        }
    }
    return epoll_wait(ep, events, max, wait_ms < 0 ? -1 : static_cast<int>(std::ceil(wait_ms)));
}

// The event loop of the buses: their lines, the program's output and exit,
// the schedules and, when serving another thread, a stop descriptor. The
// program gets the signals of the first bus's schedule.
void serve(std::span<Bus *const> buses, Child *child, int stop_fd) {
    // Timers of this thread fire within a microsecond of their time, not the
    // default 50: a replayed answer due 40 us after its write goes then.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    auto add = [&](int fd) {
        if (fd >= 0) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
    };
    for (Bus *bus : buses) {
        add(bus->master);
    }
    add(stop_fd);
    if (child != nullptr) {
        add(child->pidfd);
        add(child->out);
        add(child->err);
        add(child->relay_fd);
    }
    std::vector<const Bus *> watched(buses.begin(), buses.end());
    std::vector<int> masters(buses.size());
    bool exited = false;
    for (;;) {
        if (child != nullptr && exited && child->out < 0 && child->err < 0) {
            break;
        }
        double kill_ms = -1;
        if (child != nullptr && !exited) {
            kill_ms = std::max(
                0.0,
                std::chrono::duration<double, std::milli>(child->kill_at - Clock::now()).count());
        }
        epoll_event events[8];
        const int n = wait_for_buses(ep, events, watched, kill_ms);
        for (size_t b = 0; b < buses.size(); ++b) {
            masters[b] = buses[b]->master;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stop_fd) {
                for (Bus *bus : buses) {
                    bus_drain_master(*bus);
                }
                close(ep);
                return;
            }
            bool line = false;
            for (size_t b = 0; b < buses.size(); ++b) {
                if (fd == masters[b] && buses[b]->master >= 0) {
                    bus_drain_master(*buses[b]);
                    line = true;
                }
            }
            if (line) {
                continue;
            }
            if (child != nullptr && fd == child->relay_fd) {
                signalfd_siginfo si{};
                if (read(fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si) && !exited) {
                    kill(child->pid, static_cast<int>(si.ssi_signo));
                }
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
        for (size_t b = 0; b < buses.size(); ++b) {
            if (masters[b] >= 0 && buses[b]->master < 0) {
                epoll_ctl(ep, EPOLL_CTL_DEL, masters[b], nullptr);
            }
            bus_tick(*buses[b], b == 0 && child != nullptr && !exited ? child->pid : 0);
        }
        if (child != nullptr && !exited && Clock::now() >= child->kill_at &&
            !child->result->timed_out) {
            child->result->timed_out = true;
            kill(child->pid, SIGKILL);
        }
    }
    // Bytes written just before the exit may still be on their way through the pty.
    if (std::any_of(buses.begin(), buses.end(), [](const Bus *b) { return b->master >= 0; })) {
        usleep(20000);
        for (Bus *bus : buses) {
            if (bus->master >= 0) {
                bus_drain_master(*bus);
            }
        }
    }
    close(ep);
}

// The ELF class, byte order and machine of a program file; empty when it is
// not an ELF file.
std::string elf_kind(const char *path) {
    std::array<char, 20> head{};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    const ssize_t n = read(fd, head.data(), head.size());
    close(fd);
    if (n != static_cast<ssize_t>(head.size()) || memcmp(head.data(), "\177ELF", 4) != 0) {
        return "";
    }
    return {head[4], head[5], head[18], head[19]};
}

// A program built for this machine, while this process itself runs under
// user-mode emulation, is started by the emulator too: MOTORBUS_EMULATOR
// holds its command line (e.g. "qemu-aarch64", or "qemu-aarch64 -L /usr/aarch64-linux-gnu").
// Other programs (the host's shell or tools) start as they are.
std::vector<std::string> emulator_for(const std::string &program) {
    const char *emulator = getenv("MOTORBUS_EMULATOR");
    if (emulator == nullptr || *emulator == '\0') {
        return {};
    }
    const std::string kind = elf_kind(program.c_str());
    if (kind.empty() || kind != elf_kind("/proc/self/exe")) {
        return {};
    }
    std::vector<std::string> words;
    const std::string line = emulator;
    size_t start = 0;
    while (start < line.size()) {
        const size_t end = std::min(line.find(' ', start), line.size());
        if (end > start) {
            words.push_back(line.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

} // namespace

int wait_for_buses(int ep, std::span<epoll_event> events, std::span<const Bus *const> buses,
                   double bound_ms) {
    double wait_ms = bound_ms;
    for (const Bus *b : buses) {
        const double w = bus_next_wait_exact_ms(*b);
        if (w >= 0) {
            wait_ms = wait_ms < 0 ? w : std::min(wait_ms, w);
        }
    }
    return wait_events(ep, events.data(), static_cast<int>(events.size()), wait_ms);
}

void bus_serve(Bus &bus, int stop_fd) {
    bus_start_clock(bus);
    Bus *const buses[] = {&bus};
    serve(buses, nullptr, stop_fd);
}

RunResult run_program(Bus &bus, const std::vector<std::string> &argv, const RunOptions &opt) {
    Bus *const buses[] = {&bus};
    return run_program(buses, argv, opt);
}

RunResult run_program(std::span<Bus *const> buses, const std::vector<std::string> &argv,
                      const RunOptions &opt) {
    RunResult result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.spawn_error = "pipe failed";
        return result;
    }

    std::vector<std::string> args = emulator_for(argv.at(0));
    const bool emulated = !args.empty();
    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) {
        env_strings.emplace_back(*e);
    }
    if (!opt.preload.empty()) {
        std::erase_if(env_strings,
                      [](const std::string &s) { return s.starts_with("LD_PRELOAD="); });
        // The emulator hands the library to the program's loader, not its own.
        if (emulated) {
            args.insert(args.end(), {"-E", "LD_PRELOAD=" + opt.preload});
        } else {
            env_strings.push_back("LD_PRELOAD=" + opt.preload);
        }
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
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char *> argp;
    for (std::string &s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!opt.keep_stdin) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (opt.capture) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, opt.merged ? out[1] : err[1], 2);
    }
    for (const int fd : opt.closed) {
        posix_spawn_file_actions_addclose(&actions, fd);
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
    // Nor does it inherit the signals this process holds back to relay.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    for (Bus *bus : buses) {
        bus_start_clock(*bus);
    }
    Bus &bus = *buses[0];
    Child child;
    child.result = &result;
    child.started = Clock::now();
    child.kill_at = child.started + std::chrono::milliseconds(opt.timeout_ms);
    result.start_ms = bus_now_ms(bus);
    const int rc = (emulated ? posix_spawnp : posix_spawn)(&child.pid, argp[0], &actions, &attr,
                                                           argp.data(), envp.data());
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
    child.relay_fd = opt.relay_fd;
    serve(buses, &child, -1);
    close(child.pidfd);
    return result;
}

} // namespace sim
