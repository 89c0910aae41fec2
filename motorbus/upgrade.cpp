// motorbus upgrade: one image into every motor of every bus. The image is
// checked once; on each bus one broadcast mode frame sends every motor to
// its bootloader and the scan lists who answers; each motor is flashed from
// the download command on (it is in its bootloader already, so its own mode
// switch and sleep are skipped, and so is the final query a started motor
// leaves unanswered); then the motors are walked, so that a new firmware
// that fails its own check is caught.
#include "line/LSerial_linux.h"
#include "motorbus.h"

#include <algorithm>
#include <chrono>

namespace motorbus {

namespace {

struct Progress {
    int fd;
    int last_percent;
};

// Percent steps only: a record per chunk would outrun any reader.
void tell_step(const FlashEvent &e, void *context) {
    auto &p = *static_cast<Progress *>(context);
    if (e.kind == FlashEventKind::chunk_accepted && e.percent != p.last_percent) {
        p.last_percent = e.percent;
        send_record(p.fd, {.kind = Ev::progress, .motor = e.id, .percent = e.percent});
    }
}

} // namespace

void serve_upgrade(int serial, int pollset, const BusPlan &plan, const Image *image, int fd) {
    std::vector<uint8_t> found;
    const std::vector<uint8_t> work = scan_and_tell(serial, pollset, plan, fd, &found);
    const FlashImage flash_image{image->bytes.data(), image->size,
                                 static_cast<int>(image->bytes.size()), image->crc};
    // Motors in their bootloader already: no mode switch, no final query.
    const FlashSteps steps{.mode_switch = false, .final_query = false};
    std::vector<uint8_t> cut;
    bool cut_off = false;
    for (const uint8_t id : work) {
        const bool failed = line_failure() != nullptr;
        if (cut_off || failed || stop_requested()) {
            const Skip why = cut_off  ? Skip::after_cut_off
                             : failed ? Skip::bus_failed
                                      : Skip::interrupted;
            send_record(
                fd, {.kind = Ev::not_attempted, .motor = id, .result = static_cast<uint8_t>(why)});
            continue;
        }
        send_record(fd, {.kind = Ev::flash_started, .motor = id});
        const auto t0 = std::chrono::steady_clock::now();
        Progress progress{fd, -1};
        const FlashOutcome o =
            flash_motor(serial, pollset, id, flash_image, steps, tell_step, &progress);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
        // Why the line failed during the flash (a stall, a hang-up) is
        // part of its reason.
        const char *why = line_failure();
        Record ended = text_record(Ev::flash_ended, why != nullptr ? why : "");
        ended.motor = id;
        ended.result = static_cast<uint8_t>(o.result);
        ended.resent = o.resent;
        ended.offset = o.offset;
        ended.crc = o.crc;
        ended.seconds = took.count();
        send_record(fd, ended);
        // A bootloader left in the middle of a download may take the next
        // motor's frames as data: no further download on this bus.
        cut_off = flash_cut_off(o.result);
        if (cut_off) {
            cut.push_back(id);
        }
    }
    // Every motor the broadcast sent into its bootloader is started again:
    // the flashed ones with their new firmware, the others (not named, not
    // attempted) with their old one. A motor cut off has nothing to start.
    if (line_failure() != nullptr) {
        return; // nothing can be started on a failed line
    }
    std::vector<uint8_t> walk;
    for (const uint8_t id : found) {
        if (std::find(cut.begin(), cut.end(), id) == cut.end()) {
            walk.push_back(id);
        }
    }
    if (!walk.empty()) {
        walk_and_tell(serial, pollset, walk, fd);
    }
}

int run_flashes(Run &run, int argc, char **argv) {
    const char *command = run.job == Job::rescue ? "rescue" : "upgrade";
    if (argc < 2) {
        return usage_error(std::string(command) + " needs an image and at least one bus", run.json);
    }
    std::string error;
    if (!plan_run(run.job, run.json, argc - 1, argv + 1, run, error)) {
        return usage_error(error, run.json);
    }
    Image image;
    if (!load_image(argv[0], image, error)) {
        report_error(run.json, error);
        return status_usage;
    }
    run.image = &image;
    return run_buses(run);
}

int cmd_upgrade(int argc, char **argv, bool json) {
    Run run;
    run.json = json;
    run.job = Job::upgrade;
    std::string error;
    if (!take_options("upgrade", argc, argv, {}, error)) {
        return usage_error(error, json);
    }
    return run_flashes(run, argc, argv);
}

} // namespace motorbus
