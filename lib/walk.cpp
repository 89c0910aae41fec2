#include "walk.h"

#include "LSerial_linux.h"
#include "btcmd.h"

#include <array>

namespace {

// Ids 0 to 14 each name one motor (15 is "every motor" and has no bootloader of its own).
constexpr int motor_ids = 15;

// Command and reply frames are 4 bytes long.
constexpr uint16_t frame_len = 4;

void walk_one(int serial, int pollset, uint8_t id, WalkReport report, void *context) {
    btcmd_data rec{};
    std::array<uint8_t, frame_len> command{};
    std::array<uint8_t, frame_len> reply{};

    // Start the firmware. A bootloader without a good image stays silent
    // and a motor already running ignores the frame, so the answer tells
    // nothing the query below does not. It is not discarded either: a
    // start reply that comes late is read by the query that follows.
    rec.id = id;
    rec.cmd = BTCMD_START;
    Modify_btcmd_data(command.data(), rec);
    send_recv_timeout(serial, pollset, command.data(), frame_len, reply.data(), frame_len,
                      walk_reply_wait_ms);

    rec.id = id;
    rec.cmd = BTCMD_QUERY;
    Modify_btcmd_data(command.data(), rec);
    WalkAnswer answer{.asked = id};
    if (send_recv_timeout(serial, pollset, command.data(), frame_len, reply.data(), frame_len,
                          walk_reply_wait_ms) == frame_len) {
        // A reply that does not decode leaves status 0 and id 0.
        Extract_btcmd_data(reply.data(), rec);
        answer.answered = true;
        answer.id = rec.id;
        answer.status = rec.status;
    }
    if (report != nullptr) {
        report(answer, context);
    }
}

} // namespace

void walk_bus(int serial, int pollset, WalkReport report, void *context) {
    silence_expected(true);
    for (int id = 0; id < motor_ids; ++id) {
        walk_one(serial, pollset, static_cast<uint8_t>(id), report, context);
    }
    silence_expected(false);
}

void walk_motors(int serial, int pollset, std::span<const uint8_t> ids, WalkReport report,
                 void *context) {
    silence_expected(true);
    for (const uint8_t id : ids) {
        walk_one(serial, pollset, id, report, context);
    }
    silence_expected(false);
}
