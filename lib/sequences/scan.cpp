// The broadcast and the scan (scan.h): every motor into its bootloader,
// then its one-byte answer listened for.
#include "sequences/scan.h"

#include "line/LSerial_linux.h"
#include "protocol/wire.h"

#include <unistd.h>

namespace {

// Listening ends after this many consecutive one-second waits without an answer.
constexpr int max_misses = 3;

} // namespace

int scan_bus(int serial, int pollset, ScanReport report, void *context) {
    broadcast(serial, broadcast_mode_frame.data(), broadcast_mode_frame.size());
    sleep(1);

    // Only answers to the scan are motor ids: whatever arrived meanwhile
    // (a running firmware answering the mode frame, line noise, the echo of
    // an adapter that echoes) is dropped.
    discard_input(serial);
    broadcast(serial, scan_command.data(), scan_command.size());

    int answers = 0;
    int misses = 0;
    while (misses < max_misses) {
        uint8_t id = 0;
        if (send_recv_timeout(serial, pollset, nullptr, 0, &id, 1, scan_answer_wait_ms) != 0) {
            ++answers;
            if (report != nullptr) {
                report(id, answers, context);
            }
            misses = 0;
        } else {
            ++misses;
        }
    }
    return answers;
}
