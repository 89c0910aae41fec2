#include "bus.h"

#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// The frame bytes the bus tells frames apart by (here and below: FB, FE EE,
// the hold-off byte) are spelt on purpose apart from lib/wire.h: the
// simulated bus checks what the tools write, and shares none of their facts.
constexpr uint8_t hold_off_byte = 0x18;
constexpr int hold_off_run = 4;
// A motor that powers up listens this long for the hold-off pattern before it boots.
constexpr double power_up_window_ms = 50;

// Bytes that reach the program.
void pass_on(Bus &bus, std::span<const uint8_t> bytes) {
    if (bus.master < 0 || bytes.empty()) {
        return;
    }
    const ssize_t n = write(bus.master, bytes.data(), bytes.size());
    if (n > 0) {
        bus.wire.push_back(
            {bus_now_ms(bus), false, std::vector<uint8_t>(bytes.begin(), bytes.begin() + n)});
    }
}

// Bytes the motors send: through the adapter's buffer when one is modelled.
void write_line(Bus &bus, std::span<const uint8_t> bytes) {
    if (bus.adapter.on) {
        pass_on(bus, adapter_hold(bus.adapter, bytes.data(), bytes.size(), bus_now_ms(bus)));
    } else {
        pass_on(bus, bytes);
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

// The adapter stops taking bytes: the slave's output is stopped as by a
// flow-control stop (TCOOFF), which the host's settings do not undo.
void stall_if_due(Bus &bus) {
    if (bus.stall_after_host_bytes >= 0 && !bus.stalled && bus.slave_keep >= 0 &&
        bus.host_bytes >= bus.stall_after_host_bytes) {
        bus.stalled = tcflow(bus.slave_keep, TCOOFF) == 0;
    }
}

// Every motor hears every frame; their answers go out when due.
void dispatch(Bus &bus, std::span<const uint8_t> frame, bool data_frame) {
    for (Motor &m : bus.motors) {
        if (auto a = motor_hear(m, frame, data_frame)) {
            bus_schedule(
                bus, {bus_now_ms(bus) + a->delay_ms, Action::answer, std::move(a->bytes), -1, 0});
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
    const bool idle = bus_now_ms(bus) - bus.last_rx_ms >= bus.frame_idle_ms;
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

void bus_schedule(Bus &bus, Scheduled s) {
    bus.schedule.insert(std::move(s)); // after any equal ones: multiset keeps them in order
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
    bus.host_bytes += static_cast<int64_t>(bytes.size());
    bus.last_rx_ms = now;
    for (uint8_t b : bytes) {
        bus.pattern_run = b == hold_off_byte ? bus.pattern_run + 1 : 0;
        if (bus.pattern_run >= hold_off_run) {
            bus.last_pattern_ms = now;
        }
    }
    if (bus.adapter.echo) {
        // The echo goes back ahead of anything the motors answer to these bytes.
        std::vector<uint8_t> echo(bytes.begin(), bytes.end());
        const int64_t damaged =
            bus.adapter.echo_damage_at - (bus.host_bytes - static_cast<int64_t>(bytes.size()));
        if (damaged >= 0 && damaged < static_cast<int64_t>(echo.size())) {
            echo[static_cast<size_t>(damaged)] ^= 0x10;
        }
        if (bus.adapter.echo_stop_at >= 0) {
            const int64_t first = bus.host_bytes - static_cast<int64_t>(bytes.size());
            echo.resize(static_cast<size_t>(std::clamp<int64_t>(
                bus.adapter.echo_stop_at - first, 0, static_cast<int64_t>(echo.size()))));
        }
        write_line(bus, echo);
    }
    if (bus.replay != nullptr) {
        replay_host_bytes(bus, *bus.replay, bytes);
    } else {
        bus.pending.insert(bus.pending.end(), bytes.begin(), bytes.end());
        assemble(bus);
    }
    if (bus.hangup_after_host_bytes >= 0 && bus.host_bytes >= bus.hangup_after_host_bytes) {
        hang_up(bus);
    }
    stall_if_due(bus);
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
        pass_on(bus, adapter_due(bus.adapter, now));
        if (bus.schedule.empty() || bus.schedule.begin()->at_ms > now) {
            return;
        }
        const Scheduled s = std::move(bus.schedule.extract(bus.schedule.begin()).value());
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
            bus_schedule(bus, {now + power_up_window_ms, Action::power_check, {}, s.motor, 0});
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

void bus_start_clock(Bus &bus) {
    bus.t0 = Clock::now();
    stall_if_due(bus);
    for (size_t i = 0; i < bus.motors.size(); ++i) {
        Motor &m = bus.motors[i];
        if (m.power_on_ms >= 0) {
            m.state = MotorState::off;
            bus_schedule(bus, power_on_at(m.power_on_ms, static_cast<int>(i)));
        }
    }
}

void bus_tick(Bus &bus, pid_t child) {
    assemble(bus);
    bus_run_due(bus, child);
}

double bus_next_wait_exact_ms(const Bus &bus) {
    double next = bus.schedule.empty() ? -1 : bus.schedule.begin()->at_ms;
    if (bus.adapter.release_at_ms >= 0) {
        next = next < 0 ? bus.adapter.release_at_ms : std::min(next, bus.adapter.release_at_ms);
    }
    if (!bus.pending.empty()) {
        const double idle_at = bus.last_rx_ms + bus.frame_idle_ms;
        next = next < 0 ? idle_at : std::min(next, idle_at);
    }
    return next < 0 ? -1 : std::max(0.0, next - bus_now_ms(bus));
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

std::vector<std::string> buses_adapter_env(std::span<Bus *const> buses) {
    std::vector<const Bus *> modelled;
    for (const Bus *b : buses) {
        if (b->adapter.on) {
            modelled.push_back(b);
        }
    }
    if (modelled.size() <= 1) {
        return modelled.empty() ? std::vector<std::string>{} : adapter_env(modelled[0]->adapter);
    }
    std::string list;
    for (const Bus *b : modelled) {
        struct stat st {};
        if (stat(b->slave_path.c_str(), &st) != 0) {
            continue;
        }
        // "MAJ:MIN ftdi:MS[:ignore-flag] PATH", appended piece by piece.
        if (!list.empty()) {
            list += ';';
        }
        list.append(std::to_string(major(st.st_rdev)))
            .append(":")
            .append(std::to_string(minor(st.st_rdev)))
            .append(" ftdi:")
            .append(std::to_string(b->adapter.timer_ms))
            .append(b->adapter.ignore_flag ? ":ignore-flag " : " ")
            .append(b->adapter.timer_path);
    }
    return {"PTYSERIAL_ADAPTERS=" + list};
}

} // namespace sim
