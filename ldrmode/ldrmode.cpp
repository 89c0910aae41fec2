// ldrmode: sends every motor on the bus into its bootloader, then lists the
// ids of the bootloaders that answer a scan.
#include "host/cli.h"
#include "host/console.h"
#include "host/ttyinfo.h"
#include "line/LSerial_linux.h"
#include "line/port.h"
#include "sequences/scan.h"
#include "trace/trace.h"

#include <cstdint>
#include <cstdio>

namespace {

void usage() {
    puts("Switch to Bootloader mode to update the firmware or change the ID.");
    puts("Successful switching opportunities are displayed in the list.");
    printf("Version: %s\n\n", motorbus_version);
    puts("usage: ldrmode [tty device]");
    puts("ex:    ldrmode /dev/ttyUSB0 :All motors switch to boot mode.");
}

// Each answer as a numbered line.
void list_motor(uint8_t id, int count, void * /*context*/) {
    printf("%d.Motor ID %d\n", count, id);
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

    const Port port = open_port(argv[1]);
    warn_latency_over(port.serial, argv[1], scan_answer_wait_ms);
    const int motors = scan_bus(port.serial, port.pollset, list_motor, nullptr);
    printf("---------------\nTotal %d motors\n", motors);
    // A frame that could not be written reached no motor, and bytes on the
    // line that could not be explained may have been listed or missed: the
    // total is no count of the bus then.
    // The result is what was printed: a list that could not be written is
    // no result either.
    const bool printed = console_flush_output("ldrmode");
    return printed ? line_status() : -1;
}
