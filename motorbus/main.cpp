// motorbus's command line: its own options (--json, --help, --version),
// and one table that maps each subcommand's name to its function and
// summary. A subcommand's own options go to it with its words, as git's
// do: it reads them itself (take_options).
#include "host/cli.h"
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
};

constexpr std::array<Command, 7> commands = {{
    {"scan", motorbus::cmd_scan, "scan BUS[=ID,...]...",
     "send every motor into its bootloader and list who answers"},
    {"health", motorbus::cmd_health, "health BUS[=ID,...]...",
     "start every bootloader's firmware and report motors whose firmware is broken"},
    {"upgrade", motorbus::cmd_upgrade, "upgrade IMAGE BUS[=ID,...]...",
     "flash IMAGE into every motor found (or given), then check them"},
    {"rescue", motorbus::cmd_rescue, "rescue [--hold SECONDS] IMAGE BUS[=ID,...]...",
     "hold every motor powered up now in its bootloader, then upgrade as above"},
    {"doctor", motorbus::cmd_doctor, "doctor [BUS...]",
     "check each serial adapter's set-up: access, holder, speed, services, udev rule"},
    {"history", motorbus::cmd_history, "history [--all] [BUS[=ID,...]...]",
     "what each motor was last flashed with, from upgrade and rescue"},
    {"rs485", motorbus::cmd_rs485, "rs485 BUS [on|off] [RS-485 options]",
     "show or set the kernel's RS-485 mode of a board's UART: RTS switched around writes"},
}};

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
    puts("  --help      this text");
    puts("  --version   motorbus's name and version");
    puts("");
    puts("the subcommands' own options, after their name:");
    puts("  --hold SECONDS      (rescue) end the hold after SECONDS; needed when standard");
    puts("                      input is no terminal, where Enter cannot end it");
    puts("  --all               (history) every record, not only each motor's latest");
    puts("  --rts-on-send       (rs485 on) RTS high while sending (the default)");
    puts("  --rts-after-send    (rs485 on) RTS low while sending (a transceiver enabled by a");
    puts("                      low RTS)");
    puts("  --delay-before MS   (rs485 on) RTS switched MS ms before sending (default 0)");
    puts("  --delay-after MS    (rs485 on) RTS held MS ms after sending (default 0)");
    puts("");
    puts("exit status: 0 all done and healthy, 1 a motor failed, was not found or is broken,");
    puts("2 usage error or nothing could run, 130 interrupted; rs485: 0 read back as asked,");
    puts("1 not as asked or no RS-485 mode, 2 usage error, port not opened or in use");
}

} // namespace

int main(int argc, char *argv[]) {
    open_closed_standard_descriptors();
    // motorbus's options may come before or after the command; "--" ends
    // them, and the command's own too. Other options after the command are
    // the command's: they go to it, in their place among its words.
    bool json = false;
    std::vector<char *> words;
    bool options = true;
    bool ended_before_command = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (options && a == "--") {
            options = false;
            ended_before_command = words.empty();
            if (!words.empty()) {
                words.push_back(argv[i]);
            }
        } else if (options && a == "--json") {
            json = true;
        } else if (options && (a == "--help" || a == "-h")) {
            usage();
            return motorbus::status_ok;
        } else if (options && a == "--version") {
            printf("motorbus %s\n", motorbus_version);
            return motorbus::status_ok;
        } else if (options && a.size() > 1 && a[0] == '-' && words.empty()) {
            return motorbus::usage_error("unknown option '" + a + "'", json);
        } else {
            words.push_back(argv[i]);
        }
    }
    if (words.empty()) {
        usage();
        return motorbus::status_usage;
    }
    if (ended_before_command) {
        static char end_of_options[] = "--";
        words.insert(words.begin() + 1, end_of_options);
    }
    for (const Command &c : commands) {
        if (strcmp(words[0], c.name) == 0) {
            return c.run(static_cast<int>(words.size()) - 1, words.data() + 1, json);
        }
    }
    return motorbus::usage_error(std::string("unknown command '") + words[0] + "'", json);
}
