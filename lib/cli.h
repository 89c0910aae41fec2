// The two options every command-line user tries first, answered alike by
// every tool.
#pragma once

#include <cstdio>
#include <cstring>

// "--help" or "--version" as the only argument: prints the usage text, or
// the program's name and version as one line, to standard output and
// returns true (the caller then exits 0). Anything else, a device named
// "--help" as well, is left to the caller; such a device is reached as
// "./--help".
inline bool info_option(int argc, char *argv[], const char *name, void (*usage)()) {
    if (argc != 2) {
        return false;
    }
    if (strcmp(argv[1], "--help") == 0) {
        usage();
        return true;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", name, MOTORBUS_VERSION);
        return true;
    }
    return false;
}
