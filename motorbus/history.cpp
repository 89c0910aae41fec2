// The history of flashes. The protocol cannot read back what a motor holds,
// so upgrade and rescue write down what each motor was given: one JSON
// object per motor whose flash was started, appended to
// $XDG_STATE_HOME/motorbus/history.jsonl (~/.local/state/motorbus/ when
// XDG_STATE_HOME is unset), under a lock, and flushed to disk before the
// summary is printed. A history that cannot be written is one warning on
// standard error: the motors are what they are, whatever the file says.
//
// motorbus history reads it back: the latest record of each motor (a motor
// is its bus, by its /dev/serial name where it has one, and its id), or
// every record with --all; a table, or the records themselves with --json.
#include "host/setup.h"
#include "json_lines.h"
#include "motorbus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <nettle/sha2.h>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace motorbus {

namespace {

// Another motorbus appends within milliseconds; a lock held longer than
// this is held by something else, and the history is left unwritten.
constexpr int lock_wait_s = 5;

// The history's directory: $XDG_STATE_HOME/motorbus, or
// ~/.local/state/motorbus when XDG_STATE_HOME is unset, empty or relative
// (the XDG base directories take only absolute paths).
std::string history_dir() {
    const char *state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/motorbus";
    }
    const char *home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd *pw = getpwuid(getuid());
        home = pw != nullptr ? pw->pw_dir : "/";
    }
    return std::string(home) + "/.local/state/motorbus";
}

// mkdir -p, the directories only the user's (as XDG asks).
bool make_dirs(const std::string &dir) {
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        if (mkdir(dir.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (at == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string sha256_hex(const uint8_t *data, size_t size) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, size, data);
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    std::string hex;
    for (const uint8_t b : digest) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

// The moment, UTC, ISO 8601 to the millisecond: 2026-12-10T09:41:07.318Z.
std::string iso_utc(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const time_t secs = static_cast<time_t>(ms.count() / 1000);
    tm utc{};
    gmtime_r(&secs, &utc);
    char date[32];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms.count() % 1000));
    return std::string(date) + millis;
}

// The bus's stable name, /dev/serial/by-id/... (else by-path), that stays
// the same when adapters are plugged in another order; empty when it has none.
std::string stable_name(const std::string &bus) {
    const Adapter a = setup_adapter("", bus);
    return !a.by_id.empty() ? a.by_id.front() : !a.by_path.empty() ? a.by_path.front() : "";
}

std::string absolute(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

void no_op(int /*sig*/) {}

// flock waits for the lock with no limit of its own: an alarm ends the wait.
bool lock_within(int fd, int seconds) {
    struct sigaction wake {};
    struct sigaction before {};
    wake.sa_handler = no_op; // no SA_RESTART: the alarm interrupts flock
    sigaction(SIGALRM, &wake, &before);
    itimerval limit{};
    limit.it_value.tv_sec = seconds;
    setitimer(ITIMER_REAL, &limit, nullptr);
    const int r = flock(fd, LOCK_EX);
    const int err = errno;
    limit.it_value.tv_sec = 0;
    setitimer(ITIMER_REAL, &limit, nullptr);
    sigaction(SIGALRM, &before, nullptr);
    errno = err == EINTR ? ETIMEDOUT : err;
    return r == 0;
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

// The records of a run, one line each.
std::string records_of(const Run &run) {
    const Image &image = *run.image;
    const std::string sha256 = sha256_hex(image.bytes.data(), static_cast<size_t>(image.size));
    const std::string path = absolute(image.path);
    char crc[8];
    snprintf(crc, sizeof crc, "0x%04X", image.crc);
    char host[HOST_NAME_MAX + 1] = "";
    gethostname(host, sizeof host);
    // A flash's moment from its time in the run: the run's clock is
    // monotonic, the record's moment is the wall clock's.
    const double now = now_seconds() - run.started;
    const auto wall = std::chrono::system_clock::now();
    std::string lines;
    for (const BusRun &b : run.buses) {
        const std::string bus_id = stable_name(b.plan.path);
        for (const MotorRow &m : b.motors) {
            if (!m.flash_started) {
                continue;
            }
            const double at = m.flash_ended ? m.ended : now;
            const bool ok = m.flash_ended && (m.result == FlashResult::flashed ||
                                              m.result == FlashResult::start_unconfirmed);
            Json j = json_object("flash", at);
            j["at"] = iso_utc(wall - std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::duration<double>(now - at)));
            j["host"] = host;
            j["bus"] = b.plan.path;
            j["bus_id"] = bus_id.empty() ? Json(nullptr) : Json(bus_id);
            j["motor"] = m.id;
            j["image"] = path;
            j["size"] = image.size;
            j["sha256"] = sha256;
            j["crc"] = crc;
            j["result"] = m.flash_ended ? flash_result_name(m.result) : "cut-off";
            j["ok"] = ok;
            j["command"] = run.job == Job::rescue ? "rescue" : "upgrade";
            lines += json_line(j);
        }
    }
    return lines;
}

// A record's string field; empty when it has none (bus_id null).
std::string text(const Json &record, const char *key) {
    const auto f = record.find(key);
    return f != record.end() && f->is_string() ? f->get<std::string>() : "";
}

// The bus a record names: its stable name where it has one.
std::string bus_of(const Json &record) {
    const std::string bus_id = text(record, "bus_id");
    return bus_id.empty() ? text(record, "bus") : bus_id;
}

// Does the record belong to a motor the BUS[=ID,...] words name (all when
// none)? A word names a bus by its path as given or its stable name, or by
// another name of the same stable name (the node behind a by-id link).
bool named(const Json &record, const std::vector<BusPlan> &plans,
           const std::vector<std::string> &plan_ids) {
    if (plans.empty()) {
        return true;
    }
    const std::string bus = text(record, "bus");
    const std::string bus_id = text(record, "bus_id");
    for (size_t i = 0; i < plans.size(); ++i) {
        const BusPlan &p = plans[i];
        const bool same_bus =
            p.path == bus || (!bus_id.empty() && (p.path == bus_id || plan_ids[i] == bus_id));
        const int motor = record.value("motor", -1);
        if (same_bus &&
            (p.ids.empty() || std::find(p.ids.begin(), p.ids.end(), motor) != p.ids.end())) {
            return true;
        }
    }
    return false;
}

} // namespace

void history_record(const Run &run) {
    const std::string lines = records_of(run);
    if (lines.empty()) {
        return;
    }
    const std::string dir = history_dir();
    const std::string path = dir + "/history.jsonl";
    int fd = -1;
    const char *step = "cannot create its directory";
    if (make_dirs(dir)) {
        step = "cannot open it";
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    }
    bool ok = false;
    if (fd >= 0) {
        step = "cannot lock it";
        if (lock_within(fd, lock_wait_s)) {
            step = "cannot write it";
            ok = write_all(fd, lines) && fsync(fd) == 0;
        }
        const int err = errno;
        close(fd); // and the lock with it
        errno = err;
    }
    if (!ok) {
        fprintf(stderr, "motorbus: warning: the flash history was not written (%s: %s: %s)\n",
                path.c_str(), step, strerror(errno));
        return;
    }
    // A new file is on the disk once its directory entry is.
    const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
}

int cmd_history(int argc, char **argv, bool json) {
    bool all = false;
    const CommandOption options[] = {{.name = "--all", .flag = &all}};
    std::string error;
    std::vector<BusPlan> plans;
    if (!take_options("history", argc, argv, options, error) ||
        (argc > 0 && !parse_buses(argc, argv, plans, error))) {
        return usage_error(error, json);
    }
    std::vector<std::string> plan_ids;
    for (const BusPlan &p : plans) {
        plan_ids.push_back(stable_name(p.path));
    }
    const std::string path = history_dir() + "/history.jsonl";
    std::ifstream in(path);
    if (!in) {
        if (errno != ENOENT) {
            report_error(json, "cannot read " + path + ": " + strerror(errno));
            return status_usage;
        }
        if (!json) {
            printf("no flash recorded yet (%s)\n", path.c_str());
        }
        return status_ok;
    }
    // Every record, or the latest per motor (in the order of their first record).
    std::vector<Json> shown;
    std::map<std::string, size_t> latest;
    int unreadable = 0;
    for (std::string line; std::getline(in, line);) {
        Json j = Json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            ++unreadable;
            continue;
        }
        if (!named(j, plans, plan_ids)) {
            continue;
        }
        const std::string key = bus_of(j) + "=" + std::to_string(j.value("motor", -1));
        const auto [it, first] = latest.emplace(key, shown.size());
        if (all || first) {
            shown.push_back(std::move(j));
        } else {
            shown[it->second] = std::move(j);
        }
    }
    if (unreadable > 0) {
        fprintf(stderr, "motorbus: warning: %d line(s) of %s are no record; left out\n", unreadable,
                path.c_str());
    }
    if (json) {
        for (const Json &j : shown) {
            fputs(json_line(j).c_str(), stdout);
        }
        return status_ok;
    }
    printf("%-24s %-24s %-5s %-18s %-7s %-64s %s\n", "AT", "BUS", "MOTOR", "RESULT", "COMMAND",
           "SHA256", "IMAGE");
    for (const Json &j : shown) {
        printf("%-24s %-24s %-5d %-18s %-7s %-64s %s\n", text(j, "at").c_str(), bus_of(j).c_str(),
               j.value("motor", -1), text(j, "result").c_str(), text(j, "command").c_str(),
               text(j, "sha256").c_str(), text(j, "image").c_str());
    }
    return status_ok;
}

} // namespace motorbus
