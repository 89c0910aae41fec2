// What motorbus prints. Three forms of the same events:
//   --json          one JSON object per line on standard output (the form
//                   scripts read; its fields are documented in motorbus(1)
//                   and kept stable: new fields may come, none changes);
//   a terminal      one live line per bus, redrawn in place, then a table;
//   anything else   one plain line per event, then the table.
#include "json_lines.h"
#include "motorbus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <unistd.h>

namespace motorbus {

namespace {

constexpr const char *command_names[] = {"scan", "health", "upgrade", "rescue"};

int live_lines_drawn = 0;

double since_start(const Run &run) {
    return now_seconds() - run.started;
}

void emit(const Run &run, const char *type, const Json &fields) {
    emit_json(run.started, type, fields);
}

std::string crc_text(uint16_t crc) {
    char s[8];
    snprintf(s, sizeof s, "0x%04X", crc);
    return s;
}

MotorRow &row(BusRun &b, uint8_t id) {
    for (MotorRow &m : b.motors) {
        if (m.id == id) {
            return m;
        }
    }
    MotorRow m;
    m.id = id;
    m.asked = std::find(b.plan.ids.begin(), b.plan.ids.end(), id) != b.plan.ids.end();
    b.motors.push_back(m);
    return b.motors.back();
}

const char *health_name(Health h) {
    switch (h) {
    case Health::running:
        return "running";
    case Health::crc_error:
        return "crc-error";
    case Health::no_firmware:
        return "no-firmware";
    case Health::in_bootloader:
        return "in-bootloader";
    }
    return "unknown";
}

const char *health_text(Health h) {
    switch (h) {
    case Health::running:
        return "runs its firmware";
    case Health::crc_error:
        return "firmware crc check error";
    case Health::no_firmware:
        return "did not find firmware";
    case Health::in_bootloader:
        return "still in its bootloader";
    }
    return "unknown";
}

const char *flash_reason(FlashResult r) {
    switch (r) {
    case FlashResult::flashed:
        return "CRC confirmed, firmware started";
    case FlashResult::start_unconfirmed:
        return "CRC confirmed, the start was not confirmed";
    case FlashResult::crc_mismatch:
        return "the bootloader's CRC differs from the image's: the image was not kept";
    case FlashResult::download_refused:
        return "the bootloader refused the download";
    case FlashResult::download_timeout:
        return "no answer to the download command";
    case FlashResult::transfer_timeout:
        return "a chunk was not acknowledged: the transfer was cut off";
    case FlashResult::chunk_refused:
        return "a chunk was refused three times: the transfer was cut off";
    case FlashResult::crc_timeout:
        return "no answer to the CRC command";
    }
    return "unknown";
}

const char *skip_name(Skip s) {
    switch (s) {
    case Skip::after_cut_off:
        return "after-cut-off";
    case Skip::interrupted:
    case Skip::stopped:
        return "interrupted";
    case Skip::bus_failed:
        return "bus-failed";
    }
    return "unknown";
}

const char *skip_text(Skip s) {
    switch (s) {
    case Skip::after_cut_off:
        return "an earlier flash on this bus was cut off; its bootloader may take any frame as "
               "data";
    case Skip::interrupted:
        return "interrupted before its flash; it keeps its old firmware, started again by the "
               "check that follows";
    case Skip::stopped:
        return "stopped before its flash; it waits in its bootloader with its old firmware "
               "('motorbus health BUS=ID' starts it)";
    case Skip::bus_failed:
        return "its bus failed before its flash; it waits in its bootloader with its old "
               "firmware (once the bus serves again, 'motorbus health BUS=ID' starts it)";
    }
    return "unknown";
}

// What health's walk of a bus saw, in words: the bootloaders that answered
// and the ids that stayed silent (a running firmware, or no motor).
std::string walked_text(const BusRun &b) {
    const int silent = b.walked - b.answered;
    if (b.answered == 0) {
        return "no motor in its bootloader; running motors do not answer (" +
               std::to_string(silent) + " ids silent)";
    }
    return std::to_string(b.answered) + " in their bootloader, " + std::to_string(silent) +
           " ids silent: running motors do not answer";
}

// What a bus was doing when it failed, from its live stage.
const char *phase(const BusRun &b) {
    if (b.stage == "scanning") {
        return "scan";
    }
    if (b.stage == "flashing" || b.stage == "flashed") {
        return "flash";
    }
    if (b.stage == "checking") {
        return "check";
    }
    return "start";
}

// What to do for motors whose flash was cut off (and those a cut-off left
// unflashed): hold them in their bootloaders while they are power-cycled,
// and flash them again, in one command.
std::string rescue(const BusRun &b, const Run &run, const std::vector<uint8_t> &ids) {
    const std::string image = run.image != nullptr ? run.image->path : "IMAGE";
    std::string list;
    for (const uint8_t id : ids) {
        if (!list.empty()) {
            list += ',';
        }
        list += std::to_string(id);
    }
    return "run 'motorbus rescue " + image + " " + b.plan.path + "=" + list + "' and power-cycle " +
           (ids.size() == 1 ? "motor " : "motors ") + list + " while it holds the bus";
}

// The motors of bus b whose flash was cut off, and id.
std::vector<uint8_t> cut_and(const BusRun &b, uint8_t id) {
    std::vector<uint8_t> ids;
    for (const MotorRow &m : b.motors) {
        if (m.cut_off || (m.flash_ended && flash_cut_off(m.result))) {
            ids.push_back(m.id);
        }
    }
    ids.push_back(id);
    return ids;
}

// Why a motor named for a rescue was not found.
constexpr const char *rescue_not_found =
    "likely not powered up while the hold-off pattern was on: run the rescue again and "
    "power-cycle it during the hold";

bool flash_kept(const MotorRow &m) {
    return m.flash_ended &&
           (m.result == FlashResult::flashed || m.result == FlashResult::start_unconfirmed);
}

// A motor that answered the scan of a bus whose motors were named, but
// was not named itself: listed, not worked on, not counted.
bool bystander(const BusRun &b, const MotorRow &m) {
    return !b.plan.ids.empty() && !m.asked;
}

// The motor's result in the table and the summary.
std::string result_of(const Run &run, const BusRun &b, const MotorRow &m) {
    if (bystander(b, m)) {
        return "found, not named";
    }
    if (m.unknown) {
        return flashes(run.job) ? "not attempted" : "not checked";
    }
    if (m.not_found) {
        return "not found";
    }
    if (run.job == Job::scan) {
        return "found";
    }
    if (run.job == Job::health) {
        return m.walked ? health_name(m.health) : "not checked";
    }
    if (m.cut_off) {
        return "cut off";
    }
    if (m.skipped) {
        return "not attempted";
    }
    if (!m.flash_ended) {
        return m.flash_started ? "cut off" : "not attempted";
    }
    if (!flash_kept(m)) {
        return flash_result_name(m.result);
    }
    if (!m.walked) {
        return "flashed, not checked";
    }
    return m.health == Health::running ? "ok" : health_name(m.health);
}

bool motor_ok(const Run &run, const MotorRow &m) {
    if (m.not_found || m.unknown) {
        return false;
    }
    switch (run.job) {
    case Job::scan:
        return true;
    case Job::health:
        return m.walked && m.health == Health::running;
    case Job::upgrade:
    case Job::rescue:
        return flash_kept(m) && m.walked && m.health == Health::running && !m.cut_off;
    }
    return false;
}

void plain(const BusRun &b, const char *fmt, const std::string &text) {
    printf("%s: ", b.plan.path.c_str());
    printf(fmt, text.c_str());
    putchar('\n');
    fflush(stdout);
}

int terminal_width() {
    winsize w{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 20) {
        return w.ws_col;
    }
    return 80;
}

std::string notice; // the line under the live lines (after Ctrl+C)

// The report could not be written (a full disk, a reader gone): the motors
// are what they are, but whoever reads the output must not take a cut
// report for the whole one. Said on standard error; the status stands.
int told(int status) {
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        fprintf(stderr, "motorbus: the report on standard output is incomplete: %s\n",
                strerror(errno));
    }
    return status;
}

} // namespace

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void report_error(bool json, const std::string &message) {
    if (json) {
        Json j;
        j["schema"] = json_schema;
        j["type"] = "error";
        j["message"] = message;
        fputs(json_line(j).c_str(), stdout);
        fflush(stdout);
    }
    fprintf(stderr, "motorbus: %s\n", message.c_str());
}

void report_start(const Run &run) {
    if (!run.json) {
        return;
    }
    Json buses = Json::array();
    for (const BusRun &b : run.buses) {
        buses.push_back(b.plan.path);
    }
    Json f;
    f["command"] = command_names[static_cast<int>(run.job)];
    f["buses"] = buses;
    if (run.job == Job::rescue) {
        f["hold"] = run.hold_seconds > 0 ? Json(run.hold_seconds) : Json(nullptr);
    }
    if (run.image != nullptr) {
        f["image"] = {{"path", run.image->path},
                      {"size", run.image->size},
                      {"padded", run.image->bytes.size()},
                      {"crc", crc_text(run.image->crc)}};
    }
    emit(run, "start", f);
}

void report_record(Run &run, BusRun &b, const Record &r) {
    const double now = now_seconds();
    const std::string motor = "motor " + std::to_string(r.motor);
    switch (r.kind) {
    case Ev::opened:
        b.opened = true;
        b.stage = "opened";
        if (run.json) {
            emit(run, "bus-opened", {{"bus", b.plan.path}});
        } else if (!run.terminal) {
            plain(b, "%s", "opened");
        }
        break;
    case Ev::bus_error:
        b.error = r.text;
        b.stage = std::string("error: ") + r.text;
        break; // told when the process ends
    case Ev::bus_failed:
        b.failure = r.text;
        if (run.json) {
            emit(run, "bus-failed",
                 {{"bus", b.plan.path}, {"message", b.failure}, {"during", phase(b)}});
        } else if (!run.terminal) {
            plain(b, "failed: %s", b.failure);
        }
        b.stage = "failed: " + b.failure;
        b.current = -1;
        break;
    case Ev::scanning:
        b.scanned = true;
        b.stage = "scanning";
        if (!run.json && !run.terminal) {
            plain(b, "%s", "scanning");
        }
        break;
    case Ev::found:
        row(b, r.motor).found = true;
        if (run.json) {
            emit(run, "found", {{"bus", b.plan.path}, {"motor", r.motor}});
        } else if (!run.terminal) {
            plain(b, "%s found", motor);
        }
        break;
    case Ev::stray:
        if (run.json) {
            emit(run, "stray", {{"bus", b.plan.path}, {"byte", r.status}});
        } else if (!run.terminal) {
            plain(b, "%s",
                  "an answer to the scan that is no motor id: " + std::to_string(r.status));
        }
        break;
    case Ev::not_found:
        row(b, r.motor).not_found = true;
        if (run.json) {
            Json f = {{"bus", b.plan.path}, {"motor", r.motor}};
            if (run.job == Job::rescue) {
                f["cause"] = rescue_not_found;
            }
            emit(run, "not-found", f);
        } else if (!run.terminal) {
            plain(b, "%s",
                  motor + " not found" +
                      (run.job == Job::rescue ? std::string(": ") + rescue_not_found : ""));
        }
        break;
    case Ev::holding:
        b.stage = "holding: power-cycle its motors";
        b.stage_since = now;
        if (run.json) {
            emit(run, "holding", {{"bus", b.plan.path}});
        } else if (!run.terminal) {
            plain(b, "%s", "holding every motor powered up now in its bootloader");
        }
        break;
    case Ev::flash_started:
        row(b, r.motor).flash_started = true;
        b.current = r.motor;
        b.percent = 0;
        b.stage = "flashing";
        b.stage_since = now;
        if (run.json) {
            emit(run, "flash-started", {{"bus", b.plan.path}, {"motor", r.motor}});
        } else if (!run.terminal) {
            plain(b, "%s flashing", motor);
        }
        break;
    case Ev::progress:
        b.percent = r.percent;
        break;
    case Ev::flash_ended: {
        MotorRow &m = row(b, r.motor);
        m.flash_ended = true;
        m.result = static_cast<FlashResult>(r.result);
        m.crc = r.crc;
        m.resent = r.resent;
        m.seconds = r.seconds;
        m.ended = since_start(run);
        b.current = -1;
        b.stage = "flashed";
        const std::string reason =
            std::string(flash_reason(m.result)) + (r.text[0] != '\0' ? "; " : "") + r.text;
        const bool reported_crc = m.result == FlashResult::flashed ||
                                  m.result == FlashResult::start_unconfirmed ||
                                  m.result == FlashResult::crc_mismatch;
        if (run.json) {
            Json f = {{"bus", b.plan.path},
                      {"motor", r.motor},
                      {"result", flash_result_name(m.result)},
                      {"ok", flash_kept(m)},
                      {"crc", reported_crc ? Json(crc_text(m.crc)) : Json(nullptr)},
                      {"resent", m.resent},
                      {"seconds", std::round(m.seconds * 1000) / 1000},
                      {"cut_off", flash_cut_off(m.result)},
                      {"reason", reason}};
            if (flash_cut_off(m.result)) {
                f["rescue"] = rescue(b, run, {r.motor});
            }
            emit(run, "flash-ended", f);
        } else if (!run.terminal) {
            char s[512];
            snprintf(s, sizeof s, "%s %s: %s (%d chunks resent, %.1f s)", motor.c_str(),
                     flash_kept(m) ? "flashed" : "failed", reason.c_str(), m.resent, m.seconds);
            plain(b, "%s", s);
            if (flash_cut_off(m.result)) {
                plain(b, "  rescue: %s", rescue(b, run, {r.motor}));
            }
        }
        break;
    }
    case Ev::not_attempted: {
        MotorRow &m = row(b, r.motor);
        m.skipped = true;
        m.skip = static_cast<Skip>(r.result);
        if (run.json) {
            Json f = {{"bus", b.plan.path},
                      {"motor", r.motor},
                      {"reason", skip_name(m.skip)},
                      {"message", skip_text(m.skip)}};
            if (m.skip == Skip::after_cut_off) {
                f["rescue"] = rescue(b, run, cut_and(b, r.motor));
            }
            emit(run, "not-attempted", f);
        } else if (!run.terminal) {
            plain(b, "%s", motor + " not attempted: " + skip_text(m.skip));
        }
        break;
    }
    case Ev::walking:
        b.stage = "checking";
        b.stage_since = now;
        if (!run.json && !run.terminal) {
            plain(b, "%s", "starting the firmware and checking");
        }
        break;
    case Ev::health: {
        const auto h = static_cast<Health>(r.result);
        ++b.walked;
        b.answered += r.answered ? 1 : 0;
        // A silent id that nobody asked for is no motor to report.
        if (run.job == Job::health && !r.answered && b.plan.ids.empty()) {
            break;
        }
        MotorRow &m = row(b, r.motor);
        m.walked = true;
        m.health = h;
        m.answered = r.answered;
        if (run.json) {
            emit(run, "health",
                 {{"bus", b.plan.path},
                  {"motor", r.motor},
                  {"state", health_name(h)},
                  {"status", r.answered ? Json(r.status) : Json(nullptr)},
                  {"ok", h == Health::running}});
        } else if (!run.terminal) {
            plain(b, "%s", motor + " " + health_text(h));
        }
        break;
    }
    }
}

void report_interrupt(Run &run) {
    const bool first = run.interrupts == 1;
    notice = first ? "interrupted: flashes in progress finish, no new one starts (Ctrl+C again "
                     "stops at once)"
                   : "interrupted again: stopping every bus now";
    if (run.json) {
        emit(run, "interrupted",
             {{"count", run.interrupts}, {"action", first ? "finishing" : "stopping"}});
    } else if (!run.terminal) {
        printf("%s\n", notice.c_str());
        fflush(stdout);
    }
}

void report_process_end(Run &run, BusRun &b) {
    if (!b.error.empty()) {
        if (run.json) {
            emit(run, "bus-error", {{"bus", b.plan.path}, {"message", b.error}});
        } else if (!run.terminal) {
            plain(b, "error: %s", b.error);
        }
    }
    // What health saw on a bus it walked to the end: running firmware does
    // not answer the bootloader's query, so silence is all it shows of it.
    if (run.job == Job::health && b.opened && b.error.empty() && b.failure.empty() &&
        run.interrupts < 2) {
        if (run.json) {
            emit(run, "bus-walked",
                 {{"bus", b.plan.path},
                  {"walked", b.walked},
                  {"in_bootloader", b.answered},
                  {"silent", b.walked - b.answered},
                  {"message", walked_text(b)}});
        } else if (!run.terminal) {
            plain(b, "%s", walked_text(b));
        }
    }
    for (const MotorRow &m : b.motors) {
        if (m.cut_off) {
            if (run.json) {
                emit(run, "cut-off",
                     {{"bus", b.plan.path}, {"motor", m.id}, {"rescue", rescue(b, run, {m.id})}});
            } else if (!run.terminal) {
                plain(b, "%s",
                      "motor " + std::to_string(m.id) +
                          " cut off mid-flash; rescue: " + rescue(b, run, {m.id}));
            }
        }
    }
    b.stage = !b.error.empty()     ? "error: " + b.error
              : !b.failure.empty() ? "failed: " + b.failure
                                   : "done";
    b.current = -1;
}

void redraw_live(const Run &run) {
    const int width = terminal_width() - 1;
    std::string out;
    if (live_lines_drawn > 0) {
        out += "\033[" + std::to_string(live_lines_drawn) + "A";
    }
    int lines = 0;
    const double now = now_seconds();
    for (const BusRun &b : run.buses) {
        char s[512];
        if (b.current >= 0) {
            snprintf(s, sizeof s, "%-24s motor %-2d  %-9s %3d%%  %5.1f s", b.plan.path.c_str(),
                     b.current, b.stage.c_str(), b.percent, now - b.stage_since);
        } else {
            snprintf(s, sizeof s, "%-24s %s", b.plan.path.c_str(), b.stage.c_str());
        }
        std::string line = s;
        if (static_cast<int>(line.size()) > width) {
            line.resize(static_cast<size_t>(width));
        }
        out += "\r\033[K" + line + "\n";
        ++lines;
    }
    if (!notice.empty()) {
        out += "\r\033[K" + notice.substr(0, static_cast<size_t>(width)) + "\n";
        ++lines;
    }
    out += "\033[J"; // and nothing below them: a notice gone, an Enter echoed
    live_lines_drawn = lines;
    fputs(out.c_str(), stdout);
    fflush(stdout);
}

int report_end(Run &run) {
    if (run.terminal) {
        redraw_live(run);
    }
    int buses_failed = 0;
    int motors = 0;
    int failed = 0;
    int found = 0;
    int flashed = 0;
    int not_found = 0;
    int not_attempted = 0;
    int broken = 0;
    int cut_off = 0;
    bool any_opened = false;
    for (const BusRun &b : run.buses) {
        any_opened = any_opened || b.opened;
        // A bus that could not be served or failed, or an upgrade that found nothing to flash.
        if (!b.error.empty() || !b.failure.empty() ||
            (flashes(run.job) && b.motors.empty() && b.opened)) {
            ++buses_failed;
        }
        for (const MotorRow &m : b.motors) {
            if (bystander(b, m)) {
                continue;
            }
            ++motors;
            found += m.found ? 1 : 0;
            not_found += m.not_found ? 1 : 0;
            flashed += flash_kept(m) ? 1 : 0;
            not_attempted +=
                (m.skipped || (flashes(run.job) && !m.flash_started && !m.not_found)) ? 1 : 0;
            cut_off += (m.cut_off || (m.flash_ended && flash_cut_off(m.result))) ? 1 : 0;
            broken +=
                (m.walked && (m.health == Health::crc_error || m.health == Health::no_firmware))
                    ? 1
                    : 0;
            failed += motor_ok(run, m) ? 0 : 1;
        }
    }
    int status = status_ok;
    const char *result = "ok";
    if (run.interrupts > 0) {
        status = status_interrupt;
        result = "interrupted";
    } else if (!any_opened) {
        status = status_usage;
        result = "error";
    } else if (failed > 0 || buses_failed > 0) {
        status = status_failed;
        result = "failed";
    }

    if (run.json) {
        emit(run, "summary",
             {{"command", command_names[static_cast<int>(run.job)]},
              {"result", result},
              {"exit_status", status},
              {"seconds", std::round(since_start(run) * 1000) / 1000},
              {"buses", run.buses.size()},
              {"buses_failed", buses_failed},
              {"motors", motors},
              {"found", found},
              {"flashed", flashed},
              {"failed", failed},
              {"not_found", not_found},
              {"not_attempted", not_attempted},
              {"cut_off", cut_off},
              {"broken", broken}});
        return told(status);
    }
    // The table: one row per motor, and one per bus that has none to show.
    printf("\n%-24s %-5s %-22s %-7s %-6s %s\n", "BUS", "MOTOR", "RESULT", "CRC", "RESENT", "TIME");
    for (const BusRun &b : run.buses) {
        if (!b.failure.empty()) {
            printf("%-24s %-5s %s\n", b.plan.path.c_str(), "-", ("failed: " + b.failure).c_str());
        } else if (b.motors.empty()) {
            const std::string what = !b.error.empty() ? "error: " + b.error
                                     : run.job == Job::rescue && !b.scanned
                                         ? "stopped during the hold"
                                     : flashes(run.job)       ? "no motor answered"
                                     : run.job == Job::health ? walked_text(b)
                                                              : "no motor";
            printf("%-24s %-5s %s\n", b.plan.path.c_str(), "-", what.c_str());
        }
        for (const MotorRow &m : b.motors) {
            const bool crc =
                m.flash_ended && (flash_kept(m) || m.result == FlashResult::crc_mismatch);
            char time[16] = "-";
            if (m.flash_ended) {
                snprintf(time, sizeof time, "%.1f s", m.seconds);
            }
            printf("%-24s %-5d %-22s %-7s %-6s %s\n", b.plan.path.c_str(), m.id,
                   result_of(run, b, m).c_str(), crc ? crc_text(m.crc).c_str() : "-",
                   m.flash_ended ? std::to_string(m.resent).c_str() : "-", time);
        }
    }
    printf("\n%s: %d motor(s), %d failed", command_names[static_cast<int>(run.job)], motors,
           failed);
    if (flashes(run.job)) {
        printf(", %d flashed", flashed);
    }
    printf(" in %.1f s%s\n", since_start(run), run.interrupts > 0 ? " (interrupted)" : "");
    // The motors a person must still see to.
    for (const BusRun &b : run.buses) {
        for (const MotorRow &m : b.motors) {
            if (m.cut_off || (m.flash_ended && flash_cut_off(m.result))) {
                printf("rescue motor %d on %s: %s\n", m.id, b.plan.path.c_str(),
                       rescue(b, run, {m.id}).c_str());
            }
            if (run.job == Job::rescue && m.not_found) {
                printf("motor %d on %s not found: %s\n", m.id, b.plan.path.c_str(),
                       rescue_not_found);
            }
        }
    }
    return told(status);
}

// The hold's instructions, for the person who power-cycles the motors: on
// standard output, or on standard error beside JSON Lines.
void report_hold_start(const Run &run) {
    char until[160];
    if (run.hold_seconds > 0) {
        snprintf(until, sizeof until, "The pattern stays on for %g s%s.", run.hold_seconds,
                 run.hold_enter ? "; Enter ends it earlier" : "");
    } else {
        snprintf(until, sizeof until, "Press Enter when every motor has been power-cycled.");
    }
    FILE *to = run.json ? stderr : stdout;
    fprintf(to,
            "Holding every motor powered up now in its bootloader: power-cycle the motors. A "
            "motor held flashes its LED quickly 3 times.\n%s\n",
            until);
    fflush(to);
    if (run.terminal) {
        notice = run.hold_seconds > 0 ? "holding: power-cycle the motors now"
                                      : "holding: power-cycle the motors now, then press Enter";
    }
}

void report_hold_end(const Run &run, const char *by) {
    notice.clear();
    if (run.terminal && strcmp(by, "enter") == 0 && live_lines_drawn > 0) {
        ++live_lines_drawn; // the terminal echoed the Enter below the live lines
    }
    if (run.json) {
        emit(run, "hold-ended", {{"by", by}});
    } else if (!run.terminal) {
        printf("the hold is over (%s): every bus goes on to its scan\n", by);
        fflush(stdout);
    }
}

} // namespace motorbus
