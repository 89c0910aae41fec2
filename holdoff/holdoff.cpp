// holdoff: keeps the hold-off pattern on the bus so that a motor powered up
// meanwhile stays in its bootloader (factory mode) instead of starting its
// firmware. The rescue path after a failed upgrade; runs until interrupted.
#include "host/cli.h"
#include "host/console.h"
#include "line/LSerial_linux.h"
#include "sequences/hold_off.h"
#include "trace/trace.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

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
        const PatternWrite w = hold_off_write(serial);
        if (w == PatternWrite::poll_failed) {
            console_perror("poll");
            exit(-1);
        }
        if (w == PatternWrite::write_failed) {
            console_perror("write err\n");
            exit(-1);
        }
        if (w == PatternWrite::stalled) {
            if (trace_on) {
                trace_event("stall: the adapter took no byte for %d ms", hold_off_stall_ms);
            }
            console_error(
                "holdoff: the adapter takes no more bytes (%s accepted none for %d s); the "
                "bus is not held\n",
                argv[1], hold_off_stall_ms / 1000);
            exit(-1);
        }
        usleep(hold_off_pause_us);
    }
}
