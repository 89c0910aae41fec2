#include "replay.h"

#include "trace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr uint8_t hold_off_byte = 0x18;
// A departure report shows at most this many bytes of each side.
constexpr size_t shown_bytes = 24;

std::string hex(std::span<const uint8_t> d) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < d.size() && i < shown_bytes; ++i) {
        snprintf(b, sizeof b, "%s%02X", i == 0 ? "" : " ", d[i]);
        s += b;
    }
    if (d.size() > shown_bytes) {
        s += " ...";
    }
    return s.empty() ? "nothing" : s;
}

// The hex bytes of a trace line, up to its "|".
bool read_bytes(std::istringstream &in, std::vector<uint8_t> &out) {
    std::string tok;
    while (in >> tok && tok != "|") {
        char *end = nullptr;
        const long v = strtol(tok.c_str(), &end, 16);
        if (tok.size() != 2 || *end != '\0' || v < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

void depart(Bus &bus, Replay &r, std::span<const uint8_t> got) {
    r.departed = true;
    char where[96];
    if (r.step < r.steps.size()) {
        snprintf(where, sizeof where, "step %zu (line %d)", r.step + 1, r.steps[r.step].line);
    } else {
        snprintf(where, sizeof where, "step %zu, after the end of the trace", r.step + 1);
    }
    const std::span<const uint8_t> want = r.step < r.steps.size()
                                              ? std::span<const uint8_t>(r.steps[r.step].host)
                                              : std::span<const uint8_t>();
    r.departure = "motorsim: the command departs from the trace at " + std::string(where) +
                  ": expected " + hex(want) + ", got " + hex(got) +
                  "; the bus stays silent from here on\n";
    fputs(r.departure.c_str(), stderr);
    // Silence: nothing recorded is sent any more, no hang-up either.
    std::erase_if(bus.schedule, [](const Scheduled &s) {
        return s.action == Action::answer || s.action == Action::stray ||
               s.action == Action::hangup;
    });
}

} // namespace

bool replay_load(const std::string &path, Replay &replay, std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    replay = Replay{};
    replay.path = path;
    // A trace written to standard error may follow other output: it starts
    // at its format line, and lines that are no record are the program's own.
    std::string line;
    int n = 0;
    while (std::getline(in, line) && line != trace_format_line) {
        ++n;
    }
    if (line != trace_format_line) {
        error =
            path + " is not a trace of this format (it has no line \"" + trace_format_line + "\")";
        return false;
    }
    long long step_us = 0; // time of the write that answers follow
    long long io_us = 0;   // time of the last byte that crossed the bus
    bool hung_up = false;
    auto follow = [&](Scheduled s) {
        (replay.steps.empty() ? replay.before : replay.steps.back().after).push_back(std::move(s));
    };
    for (n += 2; std::getline(in, line); ++n) {
        if (line.empty() || !isdigit(static_cast<unsigned char>(line[0]))) {
            continue;
        }
        std::istringstream ls(line);
        long long us = 0;
        char kind = 0;
        size_t count = 0;
        std::vector<uint8_t> bytes;
        if (!(ls >> us >> kind)) {
            error = path + ":" + std::to_string(n) + ": not a trace line";
            return false;
        }
        const bool carries_bytes = kind == 'W' || kind == 'R' || kind == 'S' || kind == 'X';
        if (carries_bytes &&
            (!(ls >> count) || !read_bytes(ls, bytes) || (kind != 'S' && bytes.size() != count))) {
            error = path + ":" + std::to_string(n) + ": bad byte count or bytes";
            return false;
        }
        std::string rest;
        std::getline(ls, rest);
        const double delay_ms = static_cast<double>(us - step_us) / 1000.0;
        const bool gone = kind == 'X' || (kind == 'E' && rest.find(" hang-up:") == 0);
        if (kind == 'W' && bytes.empty()) {
            // A write that put nothing on the bus (a short write of 0 bytes,
            // or a hand-edited line) has nothing to match.
            continue;
        }
        if (kind == 'W') {
            replay.steps.push_back({bytes, n, false, {}});
            step_us = io_us = us;
        } else if (kind == 'S') {
            if (replay.steps.empty() || !replay.steps.back().patterns) {
                replay.steps.push_back({{}, n, true, {}});
            }
            step_us = io_us = us;
        } else if (kind == 'R') {
            follow({delay_ms, Action::answer, bytes, -1, 0});
            io_us = us;
        } else if (gone && !hung_up) {
            // The adapter went away after the last byte that crossed the
            // bus; the recording only noticed at its next read or write.
            follow(hangup_at(static_cast<double>(io_us - step_us) / 1000.0));
            hung_up = true;
        }
    }
    return true;
}

void replay_attach(Bus &bus, Replay &replay) {
    bus.replay = &replay;
    for (const Scheduled &s : replay.before) {
        bus.schedule.push_back(s);
    }
}

void replay_host_bytes(Bus &bus, Replay &r, std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size() && !r.departed;) {
        if (r.step >= r.steps.size()) {
            depart(bus, r, bytes.subspan(i));
            return;
        }
        ReplayStep &s = r.steps[r.step];
        if (s.patterns) {
            if (bytes[i] == hold_off_byte) {
                ++i;
            } else {
                ++r.step;
            }
            continue;
        }
        if (s.host[r.at] != bytes[i]) {
            std::vector<uint8_t> got(s.host.begin(), s.host.begin() + static_cast<long>(r.at));
            got.insert(got.end(), bytes.begin() + static_cast<long>(i), bytes.end());
            depart(bus, r, got);
            return;
        }
        ++i;
        if (++r.at == s.host.size()) {
            const double now = bus_now_ms(bus);
            for (Scheduled a : s.after) {
                a.at_ms += now;
                bus.schedule.push_back(std::move(a));
            }
            ++r.step;
            r.at = 0;
        }
    }
}

std::string replay_describe(const Replay &r) {
    const size_t done = std::min(r.step, r.steps.size());
    std::string d = "replayed " + std::to_string(done) + " of " + std::to_string(r.steps.size()) +
                    " recorded writes of " + r.path;
    if (r.departed) {
        d += "; the command departed from it at step " + std::to_string(r.step + 1);
    } else if (done < r.steps.size() && !r.steps[done].patterns) {
        d += "; the command stopped before the rest";
    }
    return d;
}

} // namespace sim
