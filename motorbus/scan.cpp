// motorbus scan: every motor on each bus into its bootloader, and the list
// of those that answer.
#include "sequences/scan.h"
#include "line/LSerial_linux.h"
#include "motorbus.h"

#include <algorithm>

namespace motorbus {

namespace {

struct Answers {
    int fd;
    std::vector<uint8_t> found;
};

void tell_answer(uint8_t answer, int /*count*/, void *context) {
    auto &a = *static_cast<Answers *>(context);
    Record r;
    if (answer > 14) {
        // Line noise or a collision: no motor has this id.
        r.kind = Ev::stray;
        r.status = answer;
    } else {
        r.kind = Ev::found;
        r.motor = answer;
        if (std::find(a.found.begin(), a.found.end(), answer) != a.found.end()) {
            return; // an id answered twice is one motor
        }
        a.found.push_back(answer);
    }
    send_record(a.fd, r);
}

} // namespace

std::vector<uint8_t> scan_and_tell(int serial, int pollset, const BusPlan &plan, int fd,
                                   std::vector<uint8_t> *found) {
    send_record(fd, {.kind = Ev::scanning});
    Answers answers{fd, {}};
    scan_bus(serial, pollset, tell_answer, &answers);
    if (found != nullptr) {
        *found = answers.found;
    }
    if (plan.ids.empty()) {
        return answers.found;
    }
    // On a failed line the answers that came stand, but a silence proves nothing.
    const bool failed = line_failure() != nullptr;
    std::vector<uint8_t> work;
    for (const uint8_t id : plan.ids) {
        if (std::find(answers.found.begin(), answers.found.end(), id) != answers.found.end()) {
            work.push_back(id);
        } else if (!failed) {
            send_record(fd, {.kind = Ev::not_found, .motor = id});
        }
    }
    return work;
}

void serve_scan(int serial, int pollset, const BusPlan &plan, const Image * /*image*/, int fd) {
    scan_and_tell(serial, pollset, plan, fd);
}

int cmd_scan(int argc, char **argv, bool json) {
    Run run;
    std::string error;
    if (!take_options("scan", argc, argv, {}, error) ||
        !plan_run(Job::scan, json, argc, argv, run, error)) {
        return usage_error(error, json);
    }
    return run_buses(run);
}

} // namespace motorbus
