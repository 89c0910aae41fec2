// ldrmode: sends every motor on the bus into its bootloader, then lists the
// ids of the bootloaders that answer a scan.
#include "LSerial_linux.h"
#include "cli.h"
#include "trace.h"
#include "ttyinfo.h"
#include "wire.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

// Listening ends after this many consecutive one-second waits without an answer.
constexpr int max_misses = 3;
// Each wait for an answer to the scan.
constexpr int answer_wait_ms = 1000;

void usage() {
    puts("Switch to Bootloader mode to update the firmware or change the ID.");
    puts("Successful switching opportunities are displayed in the list.");
    printf("Version: %s\n\n", motorbus_version);
    puts("usage: ldrmode [tty device]");
    puts("ex:    ldrmode /dev/ttyUSB0 :All motors switch to boot mode.");
}

} // namespace

int main(int argc, char *argv[]) {
    open_closed_standard_descriptors();
    if (info_option(argc, argv, "ldrmode", usage)) {
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
    warn_latency_over(serial, argv[1], answer_wait_ms);

    broadcast(serial, broadcast_mode_frame.data(), broadcast_mode_frame.size());
    sleep(1);

    // Only answers to the scan are motor ids: whatever arrived meanwhile
    // (a running firmware answering the mode frame, line noise, the echo of
    // an adapter that echoes) is dropped.
    discard_input(serial);
    broadcast(serial, scan_command.data(), scan_command.size());

    int motors = 0;
    int misses = 0;
    while (misses < max_misses) {
        uint8_t id = 0;
        if (send_recv_timeout(serial, pollset, nullptr, 0, &id, 1, answer_wait_ms) != 0) {
            ++motors;
            printf("%d.Motor ID %d\n", motors, id);
            misses = 0;
        } else {
            ++misses;
        }
    }
    printf("---------------\nTotal %d motors\n", motors);
    // A frame that could not be written reached no motor, and bytes on the
    // line that could not be explained may have been listed or missed: the
    // total is no count of the bus then.
    return line_status();
}
