// motorbus's command line: the options every subcommand shares, and one
// table that maps each subcommand's name to its function, summary and the
// options of its own, which are handed to it with its words.
#include "cli.h"
#include "motorbus.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Command {
    const char *name;
    int (*run)(int argc, char **argv, bool json);
    const char *synopsis;
    const char *summary;
    std::array<const char *, 4> options; // its own options, nullptr for none
};

constexpr std::array<Command, 5> commands = {{
    {"scan",
     motorbus::cmd_scan,
     "scan BUS[=ID,...]...",
     "send every motor into its bootloader and list who answers",
     {}},
    {"health",
     motorbus::cmd_health,
     "health BUS[=ID,...]...",
     "start every bootloader's firmware and report motors whose firmware is broken",
     {}},
    {"upgrade",
     motorbus::cmd_upgrade,
     "upgrade IMAGE BUS[=ID,...]...",
     "flash IMAGE into every motor found (or given), then check them",
     {}},
    {"doctor",
     motorbus::cmd_doctor,
     "doctor [BUS...]",
     "check each serial adapter's set-up: access, holder, speed, services, udev rule",
     {}},
    {"rs485",
     motorbus::cmd_rs485,
     "rs485 BUS [on|off] [RS-485 options]",
     "show or set the kernel's RS-485 mode of a board's UART: RTS switched around writes",
     {"--rts-on-send", "--rts-after-send", "--delay-before", "--delay-after"}},
}};

// The command named on the command line: its first word that is no option.
const Command *named_command(int argc, char **argv) {
    const char *word = nullptr;
    for (int i = 1; i < argc && word == nullptr; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            word = i + 1 < argc ? argv[i + 1] : "";
        } else if (argv[i][0] != '-' || argv[i][1] == '\0') {
            word = argv[i];
        }
    }
    for (const Command &c : commands) {
        if (word != nullptr && strcmp(word, c.name) == 0) {
            return &c;
        }
    }
    return nullptr;
}

bool takes(const Command *c, const std::string &option) {
    if (c == nullptr) {
        return false;
    }
    for (const char *o : c->options) {
        if (o != nullptr && option == o) {
            return true;
        }
    }
    return false;
}

void usage() {
    printf("motorbus %s: every motor on every bus, all buses at once.\n\n", motorbus_version);
    puts("usage: motorbus [--json] COMMAND ARGS...");
    for (const Command &c : commands) {
        printf("       motorbus [--json] %s\n", c.synopsis);
    }
    puts("");
    puts("commands:");
    for (const Command &c : commands) {
        printf("  %-8s %s\n", c.name, c.summary);
    }
    puts("");
    puts("BUS is a device path (/dev/ttyUSB0, /dev/serial/by-id/...); =ID,ID,... names the");
    puts("motors (0 to 14) to work on instead of every motor the scan finds.");
    puts("");
    puts("options:");
    puts("  --json      JSON Lines on standard output: one object per event, then a summary");
    puts("");
    puts("RS-485 options, with rs485 on:");
    puts("  --rts-on-send       RTS high while sending (the default)");
    puts("  --rts-after-send    RTS low while sending (a transceiver enabled by a low RTS)");
    puts("  --delay-before MS   RTS switched MS milliseconds before sending (default 0)");
    puts("  --delay-after MS    RTS held MS milliseconds after sending (default 0)");
    puts("  --help      this text");
    puts("  --version   motorbus's name and version");
    puts("");
    puts("exit status: 0 all done and healthy, 1 a motor failed, was not found or is broken,");
    puts("2 usage error or nothing could run, 130 interrupted; rs485: 0 read back as asked,");
    puts("1 not as asked or no RS-485 mode, 2 usage error, port not opened or in use");
}

} // namespace

int main(int argc, char *argv[]) {
    open_closed_standard_descriptors();
    // Options may come before or after the command; "--" ends them.
    bool json = false;
    const Command *command = named_command(argc, argv);
    std::vector<char *> words;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--json") {
            json = true;
        } else if (options && (a == "--help" || a == "-h")) {
            usage();
            return motorbus::status_ok;
        } else if (options && a == "--version") {
            printf("motorbus %s\n", motorbus_version);
            return motorbus::status_ok;
        } else if (options && takes(command, a)) {
            words.push_back(argv[i]);
        } else if (options && a.size() > 1 && a[0] == '-') {
            return motorbus::usage_error("unknown option '" + a + "'", json);
        } else {
            words.push_back(argv[i]);
        }
    }
    if (words.empty()) {
        usage();
        return motorbus::status_usage;
    }
    for (const Command &c : commands) {
        if (strcmp(words[0], c.name) == 0) {
            return c.run(static_cast<int>(words.size()) - 1, words.data() + 1, json);
        }
    }
    return motorbus::usage_error(std::string("unknown command '") + words[0] + "'", json);
}
