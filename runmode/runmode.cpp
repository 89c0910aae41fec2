// runmode: tells the bootloader of every id 0 to 14 to start its firmware,
// then asks each for its status and reports the motors whose firmware is
// missing or fails its CRC check.
#include "host/cli.h"
#include "host/console.h"
#include "host/ttyinfo.h"
#include "line/LSerial_linux.h"
#include "line/port.h"
#include "protocol/wire.h"
#include "sequences/walk.h"
#include "trace/trace.h"

#include <cstdio>

namespace {

void usage() {
    puts("Switch to motor mode so that the motor working and control it.\n");
    printf("Version: %s\n", motorbus_version);
    puts("usage: runmode [tty device]");
    puts("ex:    runmode /dev/ttyUSB0 :All motors switch to motor mode.");
}

// Only a bootloader still there answers the query: its firmware did not
// start, and the status says why. The id reported is the one the reply
// names; a reply that does not decode reports nothing.
bool report_motor(const WalkAnswer &a, void * /*context*/) {
    if (!a.answered) {
        return true;
    }
    if (a.status == BTSTAT_CRC_ERROR) {
        printf("Motor %d firmware crc check error.\n", a.id);
    } else if (a.status == BTSTAT_NO_FIRMWARE) {
        printf("Motor %d did not find firmware.\n", a.id);
    }
    return true;
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

    const Port port = open_port(argv[1]);
    warn_latency_over(port.serial, argv[1], walk_reply_wait_ms);
    walk_bus(port.serial, port.pollset, report_motor, nullptr);
    // A write that failed (the adapter vanished) leaves ids unasked, and a
    // line that could not be explained may have hidden a reply: no report is
    // no proof of a healthy bus then.
    // The result is what was printed: a list that could not be written is
    // no result either.
    const bool printed = console_flush_output("runmode");
    return printed ? line_status() : -1;
}
