// motorsim: runs one of the tools against a virtual motor bus.
//
//   motorsim [options] -- COMMAND [ARGS...]
//
// "@" in the arguments stands for the bus's device path. The command's output
// passes through untouched and its exit status is returned; an account of
// what the motors saw and how they ended follows on standard error.
#include "cli.h"
#include "options.h"
#include "replay.h"
#include "runner.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using motorsim::Options;

namespace {

int refused(const std::string &why) {
    fprintf(stderr, "motorsim: %s\nTry 'motorsim --help'.\n", why.c_str());
    return motorsim::usage_status;
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

// The shim: installed in its private directory, or in the build tree's lib.
std::string find_shim(const std::string &dir) {
    for (const char *rel : {"/" MOTORBUS_SHIM_FROM_BIN "/libptyserial.so",
                            "/../lib/libptyserial.so", "/libptyserial.so"}) {
        const std::string p = dir + rel;
        if (access(p.c_str(), R_OK) == 0) {
            return p;
        }
    }
    return "";
}

// Puts the trace on the bus in place of motors. A trace that cannot be
// read is no misuse of the options: the message names the file and why,
// and --help has nothing to add. False when the run cannot go on.
bool attach_replay(const Options &o, sim::Bus &bus, sim::Replay &replay) {
    std::string error;
    if (!sim::replay_load(o.replay_path, replay, error)) {
        fprintf(stderr, "motorsim: %s\n", error.c_str());
        return false;
    }
    if (replay.echoed && bus.adapter.echo) {
        refused("the trace holds the echo of the adapter it was recorded on: no --adapter echo "
                "with --replay of it");
        return false;
    }
    sim::replay_attach(bus, replay);
    if (!replay.cut.empty()) {
        fprintf(stderr,
                "motorsim: the recording ends before the run did (%s); the command is "
                "interrupted where the recording stops\n",
                replay.cut.c_str());
    }
    // A command traced into the very file being replayed would empty
    // it: the field trace is worth more than a trace of its replay.
    const char *trace = getenv("MOTORBUS_TRACE");
    struct stat a {};
    struct stat b {};
    if (trace != nullptr && stat(trace, &a) == 0 && stat(o.replay_path.c_str(), &b) == 0 &&
        a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
        fprintf(stderr, "motorsim: MOTORBUS_TRACE names the trace being replayed; the "
                        "command runs untraced\n");
        unsetenv("MOTORBUS_TRACE");
    }
    return true;
}

// How the command ended and what each motor saw, on standard error.
void give_account(const sim::Bus &bus, const sim::Replay &replay, const std::string &program,
                  const sim::RunResult &r, int timer_ms) {
    fprintf(stderr, "\n[motorsim] %s", program.c_str());
    if (r.term_signal != 0) {
        fprintf(stderr, " ended by signal %d (%s)", r.term_signal, strsignal(r.term_signal));
    } else {
        fprintf(stderr, " exited with status %d", r.exit_code);
    }
    fprintf(stderr, " after %.1f s; %lld bytes written to the bus%s\n", r.ms / 1000,
            static_cast<long long>(bus.host_bytes),
            bus.hung_up   ? ", then the adapter vanished"
            : bus.stalled ? ", then the adapter took no more"
                          : "");
    for (const sim::Motor &m : bus.motors) {
        fprintf(stderr, "[motorsim] %s\n", sim::describe(m).c_str());
    }
    if (bus.replay != nullptr) {
        fprintf(stderr, "[motorsim] %s\n", sim::replay_describe(replay).c_str());
    }
    if (bus.adapter.on) {
        fprintf(stderr,
                "[motorsim] adapter ftdi: latency timer %d ms at the start, %d ms at the end\n",
                bus.adapter.timer_ms, timer_ms);
    }
    if (bus.adapter.echo && bus.adapter.echo_stop_at >= 0) {
        fprintf(stderr,
                "[motorsim] adapter echo: the bytes the command wrote came back to it up to byte "
                "%lld, none after\n",
                static_cast<long long>(bus.adapter.echo_stop_at));
    } else if (bus.adapter.echo) {
        fprintf(stderr, "[motorsim] adapter echo: every byte the command wrote came back to it\n");
    }
}

} // namespace

int main(int argc, char *argv[]) {
    // The pty it opens must not become the command's standard output.
    open_closed_standard_descriptors();

    Options o;
    std::string error;
    if (!motorsim::parse_options(argc, argv, o, error)) {
        return refused(error);
    }
    if (o.action == Options::Action::help) {
        fputs(motorsim::help_text, stdout);
        return 0;
    }
    if (o.action == Options::Action::version) {
        printf("motorsim %s\n", MOTORBUS_VERSION);
        return 0;
    }

    // The bus as the options describe it: motors, or a recorded trace, and
    // the events of the run.
    sim::Bus bus;
    bus.motors = o.motors;
    bus.adapter = o.adapter;
    bus.hangup_after_host_bytes = o.hangup_after;
    bus.stall_after_host_bytes = o.stall_after;
    sim::Replay replay;
    if (o.replay && !attach_replay(o, bus, replay)) {
        return motorsim::usage_status;
    }
    if (o.sigint_ms >= 0) {
        sim::bus_schedule(bus, sim::signal_at(static_cast<double>(o.sigint_ms), SIGINT));
    }

    // The line: the shim that lets the pty pass for a serial port, the pty,
    // and the adapter's latency timer when one is modelled.
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
    if (bus.adapter.on && !sim::adapter_open(bus.adapter)) {
        perror("motorsim: cannot create the adapter's latency timer file");
        sim::bus_close(bus);
        return 1;
    }

    // The command, "@" standing for the bus's device.
    std::vector<std::string> cmd;
    for (const std::string &word : o.command) {
        cmd.push_back(word == "@" ? bus.slave_path : word);
    }
    cmd[0] = resolve(cmd[0], dir);
    sim::RunOptions opt;
    opt.preload = shim;
    // A script run under motorsim finds the bus, and the tools beside motorsim.
    const char *path = getenv("PATH");
    opt.env = {"MOTORSIM_DEVICE=" + bus.slave_path,
               "PATH=" + dir + (path != nullptr ? std::string(":") + path : "")};
    for (std::string &e : sim::adapter_env(bus.adapter)) {
        opt.env.push_back(std::move(e));
    }
    opt.timeout_ms = INT_MAX;
    opt.capture = false; // the command writes straight to our terminal, progress bar and all

    // The run. Ctrl+C at the terminal reaches the command and motorsim
    // alike: the command ends by it, motorsim stays to give its account.
    // SIGTERM and SIGHUP reach motorsim alone (kill, timeout(1), a closed
    // terminal): they are passed on to the command, and motorsim stays the
    // same way, to give its account and remove its files.
    fflush(stdout);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    sigset_t relayed;
    sigemptyset(&relayed);
    sigaddset(&relayed, SIGTERM);
    sigaddset(&relayed, SIGHUP);
    sigprocmask(SIG_BLOCK, &relayed, nullptr);
    opt.relay_fd = signalfd(-1, &relayed, SFD_CLOEXEC);
    const sim::RunResult r = sim::run_program(bus, cmd, opt);
    if (opt.relay_fd >= 0) {
        close(opt.relay_fd);
    }
    sim::bus_close(bus);
    const int timer_ms = sim::adapter_timer_now(bus.adapter);
    sim::adapter_close(bus.adapter);
    if (!r.spawn_error.empty()) {
        fprintf(stderr, "motorsim: %s\n", r.spawn_error.c_str());
        return 127;
    }
    if (!o.quiet) {
        give_account(bus, replay, cmd[0], r, timer_ms);
    }
    return r.term_signal != 0 ? 128 + r.term_signal : r.exit_code;
}
