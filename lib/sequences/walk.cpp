// The start-and-query walk (walk.h), and the second look at answers that
// rested on a guess about the line.
#include "sequences/walk.h"

#include "line/LSerial_linux.h"
#include "protocol/btcmd.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

// Ids 0 to 14 each name one motor (15 is "every motor" and has no bootloader of its own).
constexpr int motor_ids = 15;

// Command and reply frames are 4 bytes long.
constexpr uint16_t frame_len = 4;

// One exchange of command cmd with motor id; true when a 4-byte reply came.
bool ask(int serial, int pollset, uint8_t cmd, uint8_t id, std::array<uint8_t, frame_len> &reply) {
    btcmd_data rec{};
    std::array<uint8_t, frame_len> command{};
    rec.id = id;
    rec.cmd = cmd;
    Modify_btcmd_data(command.data(), rec);
    return send_recv_timeout(serial, pollset, command.data(), frame_len, reply.data(), frame_len,
                             walk_reply_wait_ms) == frame_len;
}

WalkAnswer walk_one(int serial, int pollset, uint8_t id) {
    std::array<uint8_t, frame_len> reply{};
    // Start the firmware. A bootloader without a good image stays silent
    // and a motor already running ignores the frame, so the answer tells
    // nothing the query below does not. It is not discarded either: a
    // start reply that comes late is read by the query that follows.
    ask(serial, pollset, BTCMD_START, id, reply);

    WalkAnswer answer{.asked = id};
    if (ask(serial, pollset, BTCMD_QUERY, id, reply)) {
        // A reply that does not decode leaves status 0 and id 0.
        btcmd_data rec{};
        Extract_btcmd_data(reply.data(), rec);
        answer.answered = true;
        answer.id = rec.id;
        answer.status = rec.status;
    }
    return answer;
}

bool tell(WalkReport report, const WalkAnswer &answer, void *context) {
    return report == nullptr || report(answer, context);
}

} // namespace

void walk_bus(int serial, int pollset, WalkReport report, void *context) {
    silence_expected(true);
    for (int id = 0; id < motor_ids; ++id) {
        if (!tell(report, walk_one(serial, pollset, static_cast<uint8_t>(id)), context)) {
            break;
        }
    }
    silence_expected(false);
}

void walk_motors(int serial, int pollset, std::span<const uint8_t> ids, WalkReport report,
                 void *context) {
    silence_expected(true);
    std::vector<WalkAnswer> guessed; // answers waiting for the line to be known
    // Walks the motors whose answers were guesses again, and reports them.
    const auto settle = [&]() {
        for (const WalkAnswer &g : guessed) {
            if (!tell(report, walk_one(serial, pollset, g.asked), context)) {
                return false;
            }
        }
        guessed.clear();
        return true;
    };
    bool going = true;
    for (const uint8_t id : ids) {
        const int guesses = line_guesses();
        const WalkAnswer answer = walk_one(serial, pollset, id);
        if (line_guesses() != guesses && !line_known()) {
            guessed.push_back(answer);
            continue;
        }
        going = (guessed.empty() || settle()) && tell(report, answer, context);
        if (!going) {
            break;
        }
    }
    if (going && !guessed.empty()) {
        // The line is still not known: a query to an id not walked (it
        // changes nothing in a motor) shows whether commands come back.
        uint8_t other = 0;
        while (other < motor_ids - 1 && std::find(ids.begin(), ids.end(), other) != ids.end()) {
            ++other;
        }
        std::array<uint8_t, frame_len> reply{};
        ask(serial, pollset, BTCMD_QUERY, other, reply);
        if (line_known()) {
            settle();
        } else {
            for (const WalkAnswer &g : guessed) {
                if (!tell(report, g, context)) {
                    break;
                }
            }
        }
    }
    silence_expected(false);
}
