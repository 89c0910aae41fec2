#include "replay.h"

#include "trace/trace_format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint8_t hold_off_byte = 0x18;
// A departure report shows at most this many bytes of each side.
constexpr size_t shown_bytes = 24;

// The bytes in hex, for a departure report: the replay's own, apart from
// the trace's (lib/trace_sink.cpp) on purpose, as the simulation keeps its
// copies of what the product does so that it checks the product rather
// than shares its faults.
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

// The hex bytes of a trace line, up to its "|"; at most replay_max_record_bytes.
bool read_bytes(std::istringstream &in, std::vector<uint8_t> &out) {
    std::string tok;
    while (in >> tok && tok != "|") {
        char *end = nullptr;
        const long v = strtol(tok.c_str(), &end, 16);
        if (tok.size() != 2 || *end != '\0' || v < 0 || out.size() == replay_max_record_bytes) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool digit(char c) {
    return isdigit(static_cast<unsigned char>(c)) != 0;
}

// Where a record starts in a line: its time, a run of digits, then a blank
// and a kind letter. A trace on standard error may follow other output on
// the same line (fwburn's progress bar ends without a newline); the record
// is found after that text. npos when the line holds none.
size_t record_start(std::string_view line) {
    for (size_t p = 0; p < line.size(); ++p) {
        if (!digit(line[p]) || (p > 0 && digit(line[p - 1]))) {
            continue;
        }
        size_t q = p;
        while (q < line.size() && digit(line[q])) {
            ++q;
        }
        if (q + 1 < line.size() && line[q] == ' ' && is_trace_kind(line[q + 1]) &&
            (q + 2 == line.size() || line[q + 2] == ' ')) {
            return p;
        }
        p = q;
    }
    return std::string_view::npos;
}

// Schedules what the recording saw after a step, from now on.
void schedule_after(Bus &bus, const ReplayStep &s) {
    const double now = bus_now_ms(bus);
    for (Scheduled a : s.after) {
        a.at_ms += now;
        bus_schedule(bus, std::move(a));
    }
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
    // Non-blocking, so that a FIFO without a writer is refused, not waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = "cannot read " + path + ": " + strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = path + " is " + (S_ISDIR(st.st_mode) ? "a directory" : "not a regular file") +
                ", not a trace";
    } else if (static_cast<uint64_t>(st.st_size) > replay_max_file_bytes) {
        error = path + " is too large for a trace (" + std::to_string(st.st_size) +
                " bytes, at most " + std::to_string(replay_max_file_bytes) + ")";
    }
    std::string text;
    while (error.empty()) {
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno != EINTR) {
            error = "cannot read " + path + ": " + strerror(errno);
        } else if (n == 0) {
            break;
        } else if (n > 0 && text.size() + static_cast<size_t>(n) > replay_max_file_bytes) {
            error = path + " is too large for a trace (it grew while being read)";
        } else if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return error.empty() && replay_parse(text, path, replay, error);
}

bool replay_parse(std::string_view text, const std::string &path, Replay &replay,
                  std::string &error) {
    replay = Replay{};
    replay.path = path;
    if (text.size() > replay_max_file_bytes) {
        error = path + " is too large for a trace";
        return false;
    }
    int n = 0;
    auto at_line = [&](const std::string &what) {
        error = path + ":" + std::to_string(n) + ": " + what;
        return false;
    };
    // One line at a time, without its line end (LF or CRLF). A trace written
    // to standard error may follow other output: it starts at its format
    // line, and lines that hold no record are the program's own.
    size_t pos = 0;
    bool terminated = true;
    auto next_line = [&](std::string_view &line) {
        if (pos >= text.size()) {
            return false;
        }
        const size_t nl = text.find('\n', pos);
        terminated = nl != std::string_view::npos;
        const size_t stop = terminated ? nl : text.size();
        line = text.substr(pos, stop - pos);
        pos = terminated ? nl + 1 : text.size();
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        ++n;
        return true;
    };
    std::string_view line;
    bool found = false;
    while (!found && next_line(line)) {
        found = line == trace_format_line;
    }
    if (!found) {
        error =
            path + " is not a trace of this format (it has no line \"" + trace_format_line + "\")";
        return false;
    }
    long long step_us = 0; // time of the write that answers follow
    long long io_us = 0;   // time of the last byte that crossed the bus
    long long last_us = 0;
    char last_kind = 0;
    long long end_us = 0; // time of the last record replayed
    bool hung_up = false;
    // Bytes the recording found waiting (after a "waiting:" event) arrived
    // at some time before it looked: they are sent then, not when they were
    // read. Right after the record before the event, or, when that record
    // ended a wait (a time-out), halfway between the two, so that they
    // neither end that wait nor come after the look.
    long long waiting_left = 0;
    double waiting_ms = 0;
    bool waiting_joins = false;
    long long prev_us = 0;
    char prev_kind = 0;
    auto follow = [&](Scheduled s) {
        (replay.steps.empty() ? replay.before : replay.steps.back().after).push_back(std::move(s));
    };
    while (next_line(line)) {
        if (line.size() > replay_max_line_bytes) {
            return at_line("line longer than " + std::to_string(replay_max_line_bytes) + " bytes");
        }
        if (line == trace_format_line) {
            return at_line("a second trace starts here: the file holds two traces, "
                           "and a replay takes one");
        }
        if (line.starts_with(trace_incomplete_line)) {
            std::string_view why = line.substr(strlen(trace_incomplete_line));
            why.remove_prefix(why.starts_with(' ') ? 1 : 0);
            replay.cut =
                "its writer stopped at line " + std::to_string(n) + ": " + std::string(why);
            break;
        }
        const size_t at = line.starts_with('#') ? std::string_view::npos : record_start(line);
        if (at == std::string_view::npos) {
            continue;
        }
        if (!terminated) {
            replay.cut = "it ends inside the record on line " + std::to_string(n);
            break;
        }
        if (replay.exit_status >= 0) {
            return at_line("a record after the exit status");
        }
        std::istringstream ls{std::string(line.substr(at))};
        long long us = 0;
        char kind = 0;
        long long count = 0;
        std::vector<uint8_t> bytes;
        if (!(ls >> us >> kind) || us > replay_max_time_us) {
            return at_line("not a trace line");
        }
        if (us < last_us) {
            return at_line("its time is before the line above's");
        }
        prev_us = last_us;
        prev_kind = last_kind;
        last_us = us;
        last_kind = kind;
        // The echo of an adapter that echoes (C) comes back from the line as
        // answers do (R).
        const bool carries_bytes = kind == trace_kind_write || kind == trace_kind_read ||
                                   kind == trace_kind_echo || kind == trace_kind_summary ||
                                   kind == trace_kind_failed;
        if (carries_bytes && (!(ls >> count) || !read_bytes(ls, bytes) ||
                              (kind == trace_kind_summary
                                   ? count < 1 || count > replay_max_patterns
                                   : count < 0 || bytes.size() != static_cast<size_t>(count)))) {
            return at_line("bad byte count or bytes");
        }
        long long status = -1;
        if (kind == trace_kind_exit && (!(ls >> status) || status < 0 || status > 255)) {
            return at_line("bad exit status");
        }
        std::string rest;
        std::getline(ls, rest);
        const double delay_ms = static_cast<double>(us - step_us) / 1000.0;
        const bool gone =
            kind == trace_kind_failed || (kind == trace_kind_event && rest.find(" hang-up:") == 0);
        if (kind != trace_kind_write && kind != trace_kind_summary &&
            us - step_us > replay_max_delay_us) {
            return at_line("more than an hour after the write before it");
        }
        if (kind == trace_kind_write && bytes.empty()) {
            // A write that put nothing on the bus (a short write of 0 bytes,
            // or a hand-edited line) has nothing to match.
            continue;
        }
        end_us = us;
        if (kind == trace_kind_write) {
            replay.steps.push_back({bytes, n, false, {}, 0});
            step_us = io_us = us;
        } else if (kind == trace_kind_summary) {
            if (replay.steps.empty() || !replay.steps.back().patterns) {
                replay.steps.push_back({{}, n, true, {}, 0});
            }
            // Summaries in a row are one step; the sum saturates far beyond
            // any real flood.
            uint64_t &sum = replay.steps.back().pattern_bytes;
            sum = std::min<uint64_t>(sum + 4 * static_cast<uint64_t>(count), uint64_t{1} << 62);
            step_us = io_us = us;
        } else if ((kind == trace_kind_echo || kind == trace_kind_read) && waiting_left > 0) {
            // Bytes left over from a read just before go out with it, in one
            // piece, as they came: sent apart, they could come after the look.
            auto &list = replay.steps.empty() ? replay.before : replay.steps.back().after;
            if (waiting_joins && !list.empty() && list.back().action == Action::answer) {
                list.back().bytes.insert(list.back().bytes.end(), bytes.begin(), bytes.end());
            } else {
                follow({waiting_ms, Action::answer, bytes, -1, 0});
            }
            waiting_left = std::max(0LL, waiting_left - count);
            replay.echoed = replay.echoed || kind == trace_kind_echo;
        } else if (kind == trace_kind_event && rest.find(" waiting: ") == 0) {
            waiting_left = std::max(0LL, atoll(rest.c_str() + 10));
            const long long at_us = prev_kind == trace_kind_event ? (prev_us + us) / 2 : prev_us;
            waiting_joins = prev_kind == trace_kind_read || prev_kind == trace_kind_echo;
            waiting_ms = static_cast<double>(std::max(at_us, step_us) - step_us) / 1000.0;
        } else if (kind == trace_kind_echo) {
            // An adapter echoes while it sends: the echo goes out right
            // after what crossed the bus before it. Its time in the trace is
            // when the program read it, which may be much later (ldrmode
            // looks at it only after a second's pause).
            follow({static_cast<double>(io_us - step_us) / 1000.0, Action::answer, bytes, -1, 0});
            replay.echoed = true;
        } else if (kind == trace_kind_read) {
            follow({delay_ms, Action::answer, bytes, -1, 0});
            io_us = us;
        } else if (kind == trace_kind_exit) {
            replay.exit_status = static_cast<int>(status);
        } else if (gone && !hung_up) {
            // The adapter went away after the last byte that crossed the
            // bus; the recording only noticed at its next read or write.
            follow(hangup_at(static_cast<double>(io_us - step_us) / 1000.0));
            hung_up = true;
        }
    }
    if (replay.exit_status < 0 && replay.cut.empty()) {
        replay.cut = "it has no exit status line";
    }
    if (!replay.cut.empty()) {
        // The run was stopped after its last record, before its next one.
        const double last_ms = static_cast<double>(end_us - step_us) / 1000.0;
        follow(signal_at(last_ms + replay_end_grace_ms, SIGINT));
    }
    return true;
}

void replay_attach(Bus &bus, Replay &replay) {
    bus.replay = &replay;
    for (const Scheduled &s : replay.before) {
        bus_schedule(bus, s);
    }
}

void replay_host_bytes(Bus &bus, Replay &r, std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size() && !r.departed;) {
        if (r.step >= r.steps.size() && !r.cut.empty()) {
            // Past the end of a recording that ends before its run did:
            // the run was stopped before this write reached its trace.
            if (!r.cut_off) {
                r.cut_off = true;
                bus_schedule(bus, signal_at(bus_now_ms(bus), SIGINT));
            }
            return;
        }
        if (r.step >= r.steps.size()) {
            depart(bus, r, bytes.subspan(i));
            return;
        }
        ReplayStep &s = r.steps[r.step];
        if (s.patterns) {
            // What followed the summary (a hang-up) goes out once the host
            // has flooded as long as the recording did.
            if (bytes[i] == hold_off_byte) {
                ++i;
                if (++r.pattern_bytes == s.pattern_bytes) {
                    schedule_after(bus, s);
                }
            } else {
                ++r.step;
                r.pattern_bytes = 0;
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
            schedule_after(bus, s);
            ++r.step;
            r.at = 0;
        }
    }
}

std::string replay_describe(const Replay &r) {
    // A hold-off summary counts once the host flooded as long as recorded.
    const bool flooded = r.step < r.steps.size() && r.steps[r.step].patterns &&
                         r.pattern_bytes >= r.steps[r.step].pattern_bytes;
    const size_t done = std::min(r.step + (flooded ? 1 : 0), r.steps.size());
    std::string d = "replayed " + std::to_string(done) + " of " + std::to_string(r.steps.size()) +
                    " recorded writes of " + r.path;
    if (r.departed) {
        d += "; the command departed from it at step " + std::to_string(r.step + 1);
    } else if (done < r.steps.size() && !r.steps[done].patterns) {
        d += "; the command stopped before the rest";
    } else if (!r.cut.empty()) {
        d += "; the recording ends there, before its run did";
    }
    if (r.exit_status >= 0) {
        d += "; the recorded run exited with status " + std::to_string(r.exit_status);
    }
    return d;
}

} // namespace sim
