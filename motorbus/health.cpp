// motorbus health: every bootloader on each bus is told to start its
// firmware and asked whether it is still there, as runmode does; a motor
// whose firmware is missing or fails its check is reported.
#include "line/LSerial_linux.h"
#include "motorbus.h"
#include "protocol/btcmd.h"
#include "sequences/walk.h"

namespace motorbus {

namespace {

bool tell_health(const WalkAnswer &a, void *context) {
    // On a line that failed (a write, a hang-up, an answer that cannot be
    // explained) silence and answers alike prove nothing: the walk ends.
    if (line_failure() != nullptr) {
        return false;
    }
    const int fd = *static_cast<int *>(context);
    Record r{.kind = Ev::health, .motor = a.asked, .answered = a.answered};
    if (a.answered) {
        r.status = a.status;
        r.result = static_cast<uint8_t>(a.status == BTSTAT_CRC_ERROR     ? Health::crc_error
                                        : a.status == BTSTAT_NO_FIRMWARE ? Health::no_firmware
                                                                         : Health::in_bootloader);
    } else {
        // Silent after the start: its firmware runs (or no motor has the id).
        r.result = static_cast<uint8_t>(Health::running);
    }
    send_record(fd, r);
    return true;
}

} // namespace

void walk_and_tell(int serial, int pollset, const std::vector<uint8_t> &ids, int fd) {
    send_record(fd, {.kind = Ev::walking});
    walk_motors(serial, pollset, ids, tell_health, &fd);
}

void serve_health(int serial, int pollset, const BusPlan &plan, const Image * /*image*/, int fd) {
    std::vector<uint8_t> ids = plan.ids;
    if (ids.empty()) {
        for (uint8_t id = 0; id <= 14; ++id) {
            ids.push_back(id);
        }
    }
    walk_and_tell(serial, pollset, ids, fd);
}

int cmd_health(int argc, char **argv, bool json) {
    Run run;
    std::string error;
    if (!take_options("health", argc, argv, {}, error) ||
        !plan_run(Job::health, json, argc, argv, run, error)) {
        return usage_error(error, json);
    }
    return run_buses(run);
}

} // namespace motorbus
