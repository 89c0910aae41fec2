// holdoff: keeps the hold-off pattern on the bus so that a motor powered up
// meanwhile stays in its bootloader (factory mode) instead of starting its
// firmware. The rescue path after a failed upgrade; runs until interrupted.
#include "LSerial_linux.h"
#include "cli.h"
#include "trace.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr const char *version = MOTORBUS_VERSION;

// A motor that hears this pattern while it powers up does not boot its firmware.
constexpr std::array<uint8_t, 4> hold_off_pattern = {0x18, 0x18, 0x18, 0x18};

// Pause after each pattern: short enough that a motor powering up hears the
// pattern many times while it listens for it.
constexpr useconds_t pattern_pause_us = 2000;

void usage() {
    puts("Make all devices on a RS-485 bus disable boot firmware temporarily, \n"
         "which is suitable for rescue after the motor fails to upgrade firmware.");
    printf("Version: %s\n\n", version);
    puts("usage: holdoff [tty device]");
    puts("ex:    holdoff /dev/ttyUSB0 :Prevent bootloader from booting firmware.");
}

} // namespace

int main(int argc, char *argv[]) {
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

    // Ctrl+C ends the loop by the default signal action.
    for (;;) {
        // A failed write means the adapter is gone: the bus is no longer
        // held, and the user must know. An interrupted write is retried.
        const ssize_t w = write(serial, hold_off_pattern.data(), hold_off_pattern.size());
        if (trace_on) {
            trace_pattern(hold_off_pattern.data(), hold_off_pattern.size(), w, errno);
        }
        if (w < 0 && errno != EINTR) {
            perror("write err\n");
            exit(-1);
        }
        usleep(pattern_pause_us);
    }
}
