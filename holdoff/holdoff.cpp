// holdoff: keeps the hold-off pattern on the bus so that a motor powered up
// meanwhile stays in its bootloader (factory mode) instead of starting its
// firmware. The rescue path after a failed upgrade; runs until interrupted.
#include "LSerial_linux.h"
#include "cli.h"
#include "console.h"
#include "trace.h"
#include "wire.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Pause after each pattern: short enough that a motor powering up hears the
// pattern many times while it listens for it.
constexpr useconds_t pattern_pause_us = 2000;

// How long the adapter may take to accept a pattern: as long as any write
// of the tools may wait (write_stall_ms).
constexpr int stall_ms = write_stall_ms;

// Writes one whole pattern. Waits for room (at once when there is some) and
// gives up when the adapter took no byte for stall_ms: a wedged USB adapter
// or a line held by flow control would otherwise block the write for ever.
// A failed write ends the program: the adapter is gone.
bool write_pattern(int serial) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(stall_ms);
    size_t done = 0;
    while (done < hold_off_pattern.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{serial, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready == 0) {
            return false;
        }
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            console_perror("poll");
            exit(-1);
        }
        const ssize_t w =
            write(serial, hold_off_pattern.data() + done, hold_off_pattern.size() - done);
        // A write that found no room (EAGAIN) put nothing on the line.
        if (trace_on && (w >= 0 || errno != EAGAIN)) {
            trace_pattern(hold_off_pattern.data() + done, hold_off_pattern.size() - done, w, errno);
        }
        if (w < 0 && errno != EINTR && errno != EAGAIN) {
            console_perror("write err\n");
            exit(-1);
        }
        if (w > 0) {
            done += static_cast<size_t>(w);
            deadline = Clock::now() + std::chrono::milliseconds(stall_ms);
        }
    }
    return true;
}

void usage() {
    puts("Make all devices on a RS-485 bus disable boot firmware temporarily, \n"
         "which is suitable for rescue after the motor fails to upgrade firmware.");
    printf("Version: %s\n\n", motorbus_version);
    puts("usage: holdoff [tty device]");
    puts("ex:    holdoff /dev/ttyUSB0 :Prevent bootloader from booting firmware.");
}

} // namespace

int main(int argc, char *argv[]) {
    open_closed_standard_descriptors();
    if (info_option(argc, argv, "holdoff", usage)) {
        return 0;
    }
    trace_start(argc, argv);
    if (argc != 2) {
        usage();
        return 0;
    }

    const int serial = open_set(argv[1]);
    if (serial < 0) {
        // open_set has said why (the device is not a serial port). Flooding
        // an invalid descriptor would hold nothing while the user believes
        // the bus is held.
        exit(-1);
    }

    // The whole text, its last line included, must be on the screen before
    // the loop: the loop only ends by a signal, which drops unflushed output.
    printf("Now, power-off motor, you can plug in the XT30 (2x2) cable and turn on the power. \n"
           "When the LED flashes quickly for 3 times, it successfully enters the factory mode. \n"
           "You can then update the motor firmware or change the motor ID.\n"
           "\n"
           "Press CTRL+C to exit");
    fflush(stdout);

    // The writes wait in poll, never in write: a pattern the driver cannot
    // take at once is finished when it has room.
    fcntl(serial, F_SETFL, fcntl(serial, F_GETFL) | O_NONBLOCK);

    // Ctrl+C ends the loop by the default signal action. An adapter that is
    // gone or takes no more bytes ends it too: the bus is no longer held,
    // and the user must know.
    for (;;) {
        if (!write_pattern(serial)) {
            if (trace_on) {
                trace_event("stall: the adapter took no byte for %d ms", stall_ms);
            }
            console_error(
                "holdoff: the adapter takes no more bytes (%s accepted none for %d s); the "
                "bus is not held\n",
                argv[1], stall_ms / 1000);
            // What waits in the output queue will not go: a real UART or USB
            // adapter would hold the close at exit for its closing_wait.
            tcflush(serial, TCOFLUSH);
            exit(-1);
        }
        usleep(pattern_pause_us);
    }
}
