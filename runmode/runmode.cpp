// runmode: tells the bootloader of every id 0 to 14 to start its firmware,
// then asks each for its status and reports the motors whose firmware is
// missing or fails its CRC check.
#include "LSerial_linux.h"
#include "btcmd.h"
#include "cli.h"
#include "trace.h"
#include "ttyinfo.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>

namespace {

// Ids 0 to 14 each name one motor (15 is "every motor" and has no bootloader of its own).
constexpr int motor_ids = 15;

// Command and reply frames are 4 bytes long.
constexpr uint16_t frame_len = 4;

// A bootloader answers well within this; a motor silent for this long is skipped.
constexpr int reply_wait_ms = 100;

void usage() {
    puts("Switch to motor mode so that the motor working and control it.\n");
    printf("Version: %s\n", motorbus_version);
    puts("usage: runmode [tty device]");
    puts("ex:    runmode /dev/ttyUSB0 :All motors switch to motor mode.");
}

} // namespace

int main(int argc, char *argv[]) {
    open_closed_standard_descriptors();
    if (info_option(argc, argv, "runmode", usage)) {
        return 0;
    }
    trace_start(argc, argv);
    if (argc != 2) {
        usage();
        return 0;
    }

    const int serial = open_set(argv[1]);
    const int pollset = epoll_create(1);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = serial;
    const int r = epoll_ctl(pollset, EPOLL_CTL_ADD, serial, &ev);
    if (r != 0) {
        printf("[ERROR] Serial communication: epoll set error: %d\n", r);
        exit(r);
    }
    warn_latency_over(serial, argv[1], reply_wait_ms);

    for (int id = 0; id < motor_ids; ++id) {
        btcmd_data rec{};
        std::array<uint8_t, frame_len> command{};
        std::array<uint8_t, frame_len> reply{};

        // Start the firmware. A bootloader without a good image stays silent
        // and a motor already running ignores the frame, so the answer tells
        // nothing the query below does not. It is not discarded either: a
        // start reply that comes late is read by the query that follows.
        rec.id = static_cast<uint8_t>(id);
        rec.cmd = BTCMD_START;
        Modify_btcmd_data(command.data(), rec);
        send_recv_timeout(serial, pollset, command.data(), frame_len, reply.data(), frame_len,
                          reply_wait_ms);

        // Only a bootloader still there answers the query: its firmware did
        // not start, and the status says why.
        rec.id = static_cast<uint8_t>(id);
        rec.cmd = BTCMD_QUERY;
        Modify_btcmd_data(command.data(), rec);
        if (send_recv_timeout(serial, pollset, command.data(), frame_len, reply.data(), frame_len,
                              reply_wait_ms) != frame_len) {
            continue;
        }
        // A reply that does not decode leaves status 0 and reports nothing.
        // The id reported is the one the reply names.
        Extract_btcmd_data(reply.data(), rec);
        if (rec.status == BTSTAT_CRC_ERROR) {
            printf("Motor %d firmware crc check error.\n", rec.id);
        } else if (rec.status == BTSTAT_NO_FIRMWARE) {
            printf("Motor %d did not find firmware.\n", rec.id);
        }
    }
    // A write that failed (the adapter vanished) leaves ids unasked, and a
    // line that could not be explained may have hidden a reply: no report is
    // no proof of a healthy bus then.
    return line_status();
}
