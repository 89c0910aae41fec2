// motorsim: runs one of the tools against a virtual motor bus.
//
//   motorsim [options] -- COMMAND [ARGS...]
//
// "@" in the arguments stands for the bus's device path. The command's output
// passes through untouched and its exit status is returned; an account of
// what the motors saw and how they ended follows on standard error.
#include "host/cli.h"
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

// How the command ended and what each motor saw, on standard error. With
// several buses each line names its bus (@1, @2, ...).
void give_account(const std::vector<sim::Bus> &buses, const sim::Replay &replay,
                  const std::string &program, const sim::RunResult &r,
                  const std::vector<int> &timers_ms) {
    fprintf(stderr, "\n[motorsim] %s", program.c_str());
    if (r.term_signal != 0) {
        fprintf(stderr, " ended by signal %d (%s)", r.term_signal, strsignal(r.term_signal));
    } else {
        fprintf(stderr, " exited with status %d", r.exit_code);
    }
    fprintf(stderr, " after %.1f s", r.ms / 1000);
    const bool several = buses.size() > 1;
    if (several) {
        fputc('\n', stderr);
    }
    for (size_t i = 0; i < buses.size(); ++i) {
        const sim::Bus &bus = buses[i];
        // "@2 " before each motor of bus 2 when there are several.
        std::string name;
        if (several) {
            name.append("@").append(std::to_string(i + 1)).append(" ");
        }
        if (several) {
            fprintf(stderr, "[motorsim] bus @%zu (%s):", i + 1, bus.slave_path.c_str());
        } else {
            fputc(';', stderr);
        }
        fprintf(stderr, " %lld bytes written to the bus%s\n",
                static_cast<long long>(bus.host_bytes),
                bus.hung_up   ? ", then the adapter vanished"
                : bus.stalled ? ", then the adapter took no more"
                              : "");
        for (const sim::Motor &m : bus.motors) {
            fprintf(stderr, "[motorsim] %s%s\n", name.c_str(), sim::describe(m).c_str());
        }
        if (bus.replay != nullptr) {
            fprintf(stderr, "[motorsim] %s\n", sim::replay_describe(replay).c_str());
        }
        if (bus.adapter.on) {
            fprintf(stderr,
                    "[motorsim] %sadapter ftdi: latency timer %d ms at the start, %d ms at the "
                    "end\n",
                    name.c_str(), bus.adapter.timer_ms, timers_ms[i]);
        }
        if (bus.adapter.echo && bus.adapter.echo_stop_at >= 0) {
            fprintf(stderr,
                    "[motorsim] %sadapter echo: the bytes the command wrote came back to it up to "
                    "byte %lld, none after\n",
                    name.c_str(), static_cast<long long>(bus.adapter.echo_stop_at));
        } else if (bus.adapter.echo) {
            fprintf(stderr,
                    "[motorsim] %sadapter echo: every byte the command wrote came back to it\n",
                    name.c_str());
        }
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

    // The buses as the options describe them: motors, or a recorded trace,
    // and the events of the run (the interrupt on the first bus's clock).
    std::vector<motorsim::BusOptions> groups(1 + o.more_buses.size());
    groups[0] = {o.motors, o.hangup_after, o.stall_after, o.adapter};
    std::copy(o.more_buses.begin(), o.more_buses.end(), groups.begin() + 1);
    std::vector<sim::Bus> buses(groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        buses[i].motors = groups[i].motors;
        buses[i].adapter = groups[i].adapter;
        buses[i].hangup_after_host_bytes = groups[i].hangup_after;
        buses[i].stall_after_host_bytes = groups[i].stall_after;
    }
    sim::Bus &bus = buses[0];
    sim::Replay replay;
    if (o.replay && !attach_replay(o, bus, replay)) {
        return motorsim::usage_status;
    }
    if (o.sigint_ms >= 0) {
        sim::bus_schedule(bus, sim::signal_at(static_cast<double>(o.sigint_ms), SIGINT));
    }

    // The lines: the shim that lets a pty pass for a serial port, a pty per
    // bus, and the latency timer of each adapter modelled.
    const std::string dir = own_dir();
    const std::string shim = find_shim(dir);
    if (shim.empty()) {
        fprintf(stderr, "motorsim: libptyserial.so not found next to %s\n", dir.c_str());
        return 1;
    }
    auto close_all = [&buses] {
        for (sim::Bus &b : buses) {
            sim::bus_close(b);
            sim::adapter_close(b.adapter);
        }
    };
    std::vector<std::string> paths;
    for (sim::Bus &b : buses) {
        if (!sim::bus_open(b)) {
            perror("motorsim: cannot open a pseudo-terminal");
            close_all();
            return 1;
        }
        if (b.adapter.on && !sim::adapter_open(b.adapter)) {
            perror("motorsim: cannot create the adapter's latency timer file");
            close_all();
            return 1;
        }
        paths.push_back(b.slave_path);
    }

    // The command, "@" (or "@1") standing for the first bus's device, "@N"
    // for the N-th's.
    std::vector<std::string> cmd;
    for (const std::string &word : o.command) {
        const std::string path = motorsim::bus_word(word, paths);
        cmd.push_back(path.empty() ? word : path);
    }
    cmd[0] = resolve(cmd[0], dir);
    sim::RunOptions opt;
    opt.preload = shim;
    // A script run under motorsim finds the first bus, and the tools beside
    // motorsim; the shim plays the adapter of each bus that models one.
    const char *path = getenv("PATH");
    opt.env = {"MOTORSIM_DEVICE=" + bus.slave_path,
               "PATH=" + dir + (path != nullptr ? std::string(":") + path : "")};
    std::vector<sim::Bus *> served;
    for (sim::Bus &b : buses) {
        served.push_back(&b);
    }
    for (std::string &e : sim::buses_adapter_env(served)) {
        opt.env.push_back(std::move(e));
    }
    opt.timeout_ms = INT_MAX;
    opt.capture = false;   // the command writes straight to our terminal, progress bar and all
    opt.keep_stdin = true; // and reads it: Enter ends a motorbus rescue's hold

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
    const sim::RunResult r = sim::run_program(served, cmd, opt);
    if (opt.relay_fd >= 0) {
        close(opt.relay_fd);
    }
    std::vector<int> timers_ms;
    for (sim::Bus &b : buses) {
        sim::bus_close(b);
        timers_ms.push_back(sim::adapter_timer_now(b.adapter));
        sim::adapter_close(b.adapter);
    }
    if (!r.spawn_error.empty()) {
        fprintf(stderr, "motorsim: %s\n", r.spawn_error.c_str());
        return 127;
    }
    if (!o.quiet) {
        give_account(buses, replay, cmd[0], r, timers_ms);
    }
    return r.term_signal != 0 ? 128 + r.term_signal : r.exit_code;
}
