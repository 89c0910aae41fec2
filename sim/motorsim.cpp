// motorsim: runs one of the tools against a virtual motor bus.
//
//   motorsim [options] -- COMMAND [ARGS...]
//
// "@" in the arguments stands for the bus's device path. The command's output
// passes through untouched and its exit status is returned; an account of
// what the motors saw and how they ended follows on standard error.
#include "bus.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int usage_status = 2;

const char *help_text =
    "usage: motorsim [options] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND against a virtual RS-485 motor bus. \"@\" in ARGS stands for the\n"
    "bus's device path. The command's output passes through untouched, its exit\n"
    "status is returned, and an account of the motors follows on standard error.\n"
    "\n"
    "options:\n"
    "  --motor ID[:STATE[:IMAGE]]  put a motor on the bus (repeatable)\n"
    "        ID     0 to 14\n"
    "        STATE  run   running its firmware (default)\n"
    "               boot  sitting in its bootloader\n"
    "               on@MS powered up MS milliseconds after the command starts\n"
    "        IMAGE  good (default), corrupt, none\n"
    "  --quiet     no account on standard error\n"
    "  --help      this text\n"
    "\n"
    "example:\n"
    "  motorsim --motor 3:run --motor 5:boot:none -- ldrmode @\n";

bool parse_int(const std::string &s, long lo, long hi, long &out) {
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool parse_motor(const std::string &spec, sim::Motor &m) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = spec.find(':', start);
        parts.push_back(spec.substr(start, colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    long id = 0;
    if (parts.size() > 3 || !parse_int(parts[0], 0, 14, id)) {
        return false;
    }
    m.id = static_cast<uint8_t>(id);
    m.state = sim::MotorState::firmware;
    m.firmware = sim::Firmware::valid;
    if (parts.size() > 1) {
        const std::string &st = parts[1];
        long at = 0;
        if (st == "run") {
            m.state = sim::MotorState::firmware;
        } else if (st == "boot") {
            m.state = sim::MotorState::bootloader;
        } else if (st.starts_with("on@") && parse_int(st.substr(3), 0, INT_MAX, at)) {
            m.power_on_ms = static_cast<double>(at);
        } else {
            return false;
        }
    }
    if (parts.size() > 2) {
        const std::string &fw = parts[2];
        if (fw == "good") {
            m.firmware = sim::Firmware::valid;
        } else if (fw == "corrupt") {
            m.firmware = sim::Firmware::corrupt;
        } else if (fw == "none") {
            m.firmware = sim::Firmware::none;
        } else {
            return false;
        }
    }
    if (m.firmware != sim::Firmware::none) {
        m.image = sim::sample_image(4096, m.id + 1u);
        if (m.firmware == sim::Firmware::corrupt) {
            m.image[100] ^= 0x5A;
        }
    }
    if (m.firmware != sim::Firmware::valid && m.state == sim::MotorState::firmware) {
        m.state = sim::MotorState::bootloader; // without a good image it cannot run
    }
    return true;
}

// The directory this program lives in; the tools and the shim are found next to it.
std::string own_dir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return ".";
    }
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

// A bare command name is looked up next to motorsim first, then on PATH.
std::string resolve(const std::string &cmd, const std::string &dir) {
    if (cmd.find('/') != std::string::npos) {
        return cmd;
    }
    const std::string beside = dir + "/" + cmd;
    if (access(beside.c_str(), X_OK) == 0) {
        return beside;
    }
    const char *path = getenv("PATH");
    std::string p = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= p.size()) {
        const size_t colon = p.find(':', start);
        const std::string candidate = p.substr(start, colon - start) + "/" + cmd;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    return cmd;
}

std::string find_shim(const std::string &dir) {
    for (const char *rel : {"/../lib/libptyserial.so", "/libptyserial.so"}) {
        const std::string p = dir + rel;
        if (access(p.c_str(), R_OK) == 0) {
            return p;
        }
    }
    return "";
}

int bad_usage(const char *fmt, const char *what) {
    fprintf(stderr, "motorsim: ");
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\nTry 'motorsim --help'.\n");
    return usage_status;
}

} // namespace

int main(int argc, char *argv[]) {
    sim::Bus bus;
    bool quiet = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help" || a == "-h") {
            fputs(help_text, stdout);
            return 0;
        }
        if (a == "--quiet") {
            quiet = true;
        } else if (a == "--motor") {
            sim::Motor m;
            if (i + 1 >= argc || !parse_motor(argv[i + 1], m)) {
                return bad_usage("bad motor '%s'", i + 1 < argc ? argv[i + 1] : "");
            }
            bus.motors.push_back(m);
            ++i;
        } else {
            return bad_usage("unknown option '%s'", argv[i]);
        }
    }
    if (i >= argc) {
        return bad_usage("%sno command given after --", "");
    }

    const std::string dir = own_dir();
    const std::string shim = find_shim(dir);
    if (shim.empty()) {
        fprintf(stderr, "motorsim: libptyserial.so not found next to %s\n", dir.c_str());
        return 1;
    }
    if (!sim::bus_open(bus)) {
        perror("motorsim: cannot open a pseudo-terminal");
        return 1;
    }
    std::vector<std::string> cmd;
    for (int k = i; k < argc; ++k) {
        cmd.push_back(strcmp(argv[k], "@") == 0 ? bus.slave_path : argv[k]);
    }
    cmd[0] = resolve(cmd[0], dir);

    sim::RunOptions opt;
    opt.preload = shim;
    opt.timeout_ms = INT_MAX;
    opt.capture = false; // the command writes straight to our terminal, progress bar and all
    fflush(stdout);
    const sim::RunResult r = sim::run_program(bus, cmd, opt);
    sim::bus_close(bus);

    if (!quiet) {
        fprintf(stderr, "\n[motorsim] %s", cmd[0].c_str());
        if (r.term_signal != 0) {
            fprintf(stderr, " ended by signal %d", r.term_signal);
        } else {
            fprintf(stderr, " exited with status %d", r.exit_code);
        }
        fprintf(stderr, " after %.1f s; %ld bytes written to the bus\n", r.ms / 1000,
                bus.host_bytes);
        for (const sim::Motor &m : bus.motors) {
            fprintf(stderr, "[motorsim] %s\n", sim::describe(m).c_str());
        }
    }
    return r.term_signal != 0 ? 128 + r.term_signal : r.exit_code;
}
