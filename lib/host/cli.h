// Start-up shared by every tool: the standard descriptors it inherits, and
// the two options every command-line user tries first, answered alike.
#pragma once

#include "host/console.h"
#include "host/version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// A program started with standard input, output or error closed (`ldrmode
// /dev/ttyUSB0 >&-`, cron, some service managers) would be given the device
// as that descriptor when it opens it, and print its results onto the bus.
// Each of 0, 1 and 2 that is closed is opened on /dev/null first; where even
// that fails the program does not run. Then, with 1 and 2 settled, the
// console learns whether they are one file (console.h).
inline void open_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor: fd itself, since those below it are open.
        const int null = open("/dev/null", O_RDWR);
        if (null != fd) {
            exit(-1);
        }
    }
    console_start();
}

// "--help" (or "-h") or "--version" as the only argument: prints the usage
// text, or the program's name and version as one line, to standard output
// and returns true (the caller then exits 0). Anything else is left to the
// caller; a device named "-h" or "--help" is reached as "./-h".
inline bool info_option(int argc, char *argv[], const char *name, void (*usage)()) {
    if (argc != 2) {
        return false;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        usage();
        return true;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", name, motorbus_version);
        return true;
    }
    return false;
}
