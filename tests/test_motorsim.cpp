// motorsim, the user's runner: its options, the faults it injects and the
// account it gives. It is run as a plain program; it makes its own bus.
#include "frames.h"
#include "harness.h"
#include "options.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

using harness::TempDir;

namespace {

// motorsim makes its own bus, and "@" is its to replace; the bus the
// harness runs it beside stays unused.
sim::RunResult motorsim(std::vector<std::string> args, std::vector<std::string> env = {}) {
    harness::TestBus unused;
    args.insert(args.begin(), harness::tool("motorsim"));
    sim::RunOptions opt;
    opt.env = std::move(env);
    return sim::run_program(unused.bus, args, opt);
}

TEST(Motorsim, BadOptionsAreNamedWithStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--motor", "3"},
        {"--motor", "15", "--", "true"},
        {"--motor", "3:fly", "--", "true"},
        {"--motor", "3:run:shiny", "--", "true"},
        {"--motor", "3:on@soon", "--", "true"},
        {"--motor", "3:boot:none:x", "--", "true"},
        {"--motor"},
        {"--fault", "3:data:refuse", "--", "true"}, // no motor 3 on the bus
        {"--motor", "3", "--fault", "3:data@0:refuse", "--", "true"},
        {"--motor", "3", "--fault", "3:beacon:silent", "--", "true"},
        {"--motor", "3", "--fault", "3:query:corrupt", "--", "true"},
        {"--motor", "3", "--fault", "3:data:cut=x", "--", "true"},
        {"--motor", "3", "--fault", "3:data:garbage=XYZ", "--", "true"},
        {"--hangup-after", "-4", "--", "true"},
        {"--stall-after", "4k", "--", "true"},
        {"--sigint", "soon", "--", "true"},
        {"--verbose", "--", "true"},
        {"--motor", "3", "ldrmode", "@"}, // the command comes after --
        {"--replay", "/nonexistent/trace", "--", "true"},
        {"--replay=", "--", "true"},                 // an empty name is no trace either
        {"--replay", "/etc/hostname", "--", "true"}, // not a trace
        {"--replay", "/etc/hostname", "--motor", "3", "--", "true"},
        {"--adapter", "usb", "--", "true"},
        {"--adapter", "ftdi:0", "--", "true"},
        {"--adapter", "ftdi:16:fast", "--", "true"},
        {"--adapter", "echo:loud", "--", "true"},
        {"--adapter", "echo:damage@-1", "--", "true"},
        // What getopt refused is named as it was given.
        {"-xy", "--", "true"},
        {"--h", "--", "true"},
        {"--quiet=yes", "--", "true"},
    };
    // Exactly what some are told, by the whole command line.
    const std::map<std::string, std::string> named = {
        {"-xy -- true", "unknown option '-x'"},
        {"--motor 15 -- true", "bad motor '15': the id is 0 to 14"},
        {"--motor 3:fly -- true", "bad motor '3:fly': the state is run, boot or on@MS"},
        {"--motor 3:run:shiny -- true",
         "bad motor '3:run:shiny': the image is good, corrupt or none"},
        {"--motor 3:boot:none:x -- true", "bad motor '3:boot:none:x': the last part is cmdform"},
        {"--h -- true", "option '--h' is ambiguous; possibilities: '--help' '--hangup-after'"},
        {"--quiet=yes -- true", "option '--quiet' takes no value"},
        {"--motor 3 ldrmode @", "'ldrmode' is not an option; the command follows '--': "
                                "motorsim [options] -- COMMAND [ARGS...]"},
    };
    for (const auto &args : cases) {
        const auto r = motorsim(args);
        std::string line;
        for (const auto &a : args) {
            line += (line.empty() ? "" : " ") + a;
        }
        EXPECT_EQ(r.exit_code, 2) << line;
        EXPECT_TRUE(r.err.starts_with("motorsim: ")) << line << "\n" << r.err;
        // A trace that cannot be used is a file's fault, not the options':
        // it is named without a pointer to --help.
        const bool trace_file =
            line.starts_with("--replay") && line.find("--motor") == std::string::npos;
        EXPECT_EQ(r.err.ends_with("\nTry 'motorsim --help'.\n"), !trace_file) << line << "\n"
                                                                              << r.err;
        EXPECT_EQ(r.out, "") << line;
        if (named.contains(line)) {
            EXPECT_EQ(r.err, "motorsim: " + named.at(line) + "\nTry 'motorsim --help'.\n");
        }
    }
}

// Command lines motorsim takes, and the run each describes.
TEST(MotorsimOptions, CommandLinesAreReadIntoTheRunTheyDescribe) {
    // What the parser made of a command line, in the words of its options.
    auto summary = [](const motorsim::Options &o) {
        std::string s;
        for (const sim::Motor &m : o.motors) {
            s += "motor " + std::to_string(m.id) + ":" + sim::state_name(m.state) + ":" +
                 sim::firmware_name(m.firmware);
            if (m.power_on_ms >= 0) {
                s += ":on@" + std::to_string(static_cast<int>(m.power_on_ms));
            }
            for (const sim::Fault &f : m.faults) {
                s += " fault " + std::string(sim::frame_name(f.on)) + "@" +
                     std::to_string(f.first + 1) + "x" + std::to_string(f.count) +
                     (f.refuse ? ":refuse" : "") + (f.silent ? ":silent" : "") +
                     (f.delay_ms > 0 ? ":delay=" + std::to_string(f.delay_ms) : "");
            }
            s += "; ";
        }
        if (o.adapter.on) {
            s += "ftdi " + std::to_string(o.adapter.timer_ms) +
                 (o.adapter.ignore_flag ? " ignore-flag" : "") + "; ";
        }
        s += o.adapter.echo ? "echo; " : "";
        s += o.replay ? "replay " + o.replay_path + "; " : "";
        s += o.hangup_after >= 0 ? "hangup " + std::to_string(o.hangup_after) + "; " : "";
        s += o.stall_after >= 0 ? "stall " + std::to_string(o.stall_after) + "; " : "";
        s += o.sigint_ms >= 0 ? "sigint " + std::to_string(o.sigint_ms) + "; " : "";
        s += o.quiet ? "quiet; " : "";
        for (const std::string &w : o.command) {
            s += w + " ";
        }
        return s;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--motor", "3", "--motor", "5:boot:none", "--", "ldrmode", "@"},
         "motor 3:running its firmware:valid; motor 5:in its bootloader:no image; ldrmode @ "},
        {{"--motor=3:boot:corrupt", "--fault", "3:data@10x3:refuse", "--fault", "3:crc:silent",
          "--", "fwburn", "@", "fw.bin", "3"},
         "motor 3:in its bootloader:corrupt (CRC check fails) fault data@10x3:refuse fault "
         "crc@1x-1:silent; fwburn @ fw.bin 3 "},
        {{"--motor", "4:on@1000", "--sigint=3000", "--quiet", "--", "holdoff", "@"},
         "motor 4:running its firmware:valid:on@1000; sigint 3000; quiet; holdoff @ "},
        {{"--adapter", "ftdi:8:ignore-flag", "--adapter", "echo", "--hangup-after", "6000",
          "--stall-after", "10", "--", "true"},
         "ftdi 8 ignore-flag; echo; hangup 6000; stall 10; true "},
        // Options end at the command: its own options are its own.
        {{"--replay", "field.trace", "--", "fwburn", "--help", "--motor"},
         "replay field.trace; fwburn --help --motor "},
    };
    for (const auto &[args, want] : cases) {
        std::vector<std::string> words = {"motorsim"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        motorsim::Options o;
        std::string error;
        EXPECT_TRUE(motorsim::parse_options(static_cast<int>(words.size()), argv.data(), o, error))
            << error;
        EXPECT_EQ(summary(o), want);
    }
}

TEST(Motorsim, HelpNamesEveryOption) {
    const auto r = motorsim({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    for (const char *opt :
         {"--motor", "--fault", "--hangup-after", "--sigint", "--quiet", "--replay", "--adapter"}) {
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    }
}

// A flash is recorded in the account as a valid image of the padded size and its CRC.
TEST(Motorsim, AccountOfAFlash) {
    TempDir dir;
    const auto image = sim::sample_image(100, 7);
    const std::string path = dir.file("fw.bin", image);
    const auto r =
        motorsim({"--motor", "3", "--motor", "5:boot:none", "--", "fwburn", "@", path, "3"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    char want[128];
    snprintf(want, sizeof want,
             "motor 3: running its firmware, image 128 bytes, CRC %04X, valid; heard 1 mode, "
             "1 download, 8 data, 1 crc, 1 start\n",
             sim::crc16(frames::padded(image)));
    EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("motor 5: in its bootloader, no image; heard nothing\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Flash successfully!"), std::string::npos);
}

TEST(Motorsim, InjectedRefusalsFailTheFlashAndItsStatusIsPassedOn) {
    TempDir dir;
    const std::string path = dir.file("fw.bin", sim::sample_image(100, 7));
    const auto r =
        motorsim({"--motor", "3", "--fault", "3:data@2x3:refuse", "--", "fwburn", "@", path, "3"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_NE(r.out.find("\n[Error] Flash fail at 16/100 b"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("motor 3: in its bootloader, no image; heard 1 mode, 1 download, 4 data"),
              std::string::npos)
        << r.err;
}

TEST(Motorsim, HangUpAndInterrupt) {
    const auto gone = motorsim({"--motor", "3", "--hangup-after", "17", "--", "ldrmode", "@"});
    EXPECT_EQ(gone.exit_code, 255);
    EXPECT_NE(gone.err.find("17 bytes written to the bus, then the adapter vanished"),
              std::string::npos)
        << gone.err;

    // A byte count beyond 32 bits is a count like any other, on 32-bit machines too.
    const auto far =
        motorsim({"--motor", "3", "--hangup-after", "4294967313", "--quiet", "--", "ldrmode", "@"});
    EXPECT_EQ(far.exit_code, 0) << far.err;
    EXPECT_TRUE(far.out.ends_with("Total 1 motors\n")) << far.out;

    const auto held =
        motorsim({"--motor", "4:on@500", "--sigint", "1500", "--quiet", "--", "holdoff", "@"});
    EXPECT_EQ(held.exit_code, 130);
    EXPECT_EQ(held.err, "");
    const auto account =
        motorsim({"--motor", "4:on@500", "--sigint", "1500", "--", "holdoff", "@"});
    EXPECT_NE(account.err.find("motor 4: in its bootloader, image 4096 bytes"), std::string::npos)
        << account.err;
    EXPECT_NE(account.err.find("held off at power-up"), std::string::npos);
}

// Several tools run on one bus from a script, through $MOTORSIM_DEVICE.
TEST(Motorsim, ScriptsFindTheBusInTheEnvironment) {
    if (harness::emulated()) {
        GTEST_SKIP() << "the script's shell starts the tools built for another machine "
                        "itself, which needs binfmt_misc";
    }
    const auto r = motorsim({
        "--motor",
        "2",
        "--motor",
        "6:boot:corrupt",
        "--quiet",
        "--",
        "sh",
        "-c",
        "ldrmode \"$MOTORSIM_DEVICE\" && runmode \"$MOTORSIM_DEVICE\"",
    });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1.Motor ID 2\n2.Motor ID 6\n---------------\nTotal 2 motors\n"
                     "Motor 6 firmware crc check error.\n");
}

TEST(Motorsim, CommandThatCannotStart) {
    if (harness::emulated()) {
        GTEST_SKIP() << "the emulator forks where posix_spawn asks for vfork, so a failed "
                        "exec shows as a child that exits with status 127";
    }
    const auto r = motorsim({"--", "/nonexistent/tool"});
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_EQ(r.err, "motorsim: cannot start /nonexistent/tool: No such file or directory\n");
}

// Values after '=' are taken; words after "--" are the command's, options or not.
TEST(Motorsim, LongOptionsWithValuesAndTheEndOfOptions) {
    const auto r = motorsim({"--motor=3", "--quiet", "--", "ldrmode", "@"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "1.Motor ID 3\n---------------\nTotal 1 motors\n");
    EXPECT_EQ(r.err, "");
    // ldrmode is given two arguments and shows its usage text.
    const auto passed = motorsim({"--quiet", "--", "ldrmode", "@", "--motor=4"});
    EXPECT_EQ(passed.exit_code, 0) << passed.err;
    EXPECT_TRUE(passed.out.starts_with("Switch to Bootloader mode")) << passed.out;
    EXPECT_EQ(passed.err, "");
}

// A run recorded under motorsim with faults replays, without any motor, to
// the same output and status.
TEST(Motorsim, RecordedFaultsReplayWithoutMotors) {
    TempDir dir;
    // A newline in an argument does not break the trace's header.
    const std::string image = dir.file("fw\n1 W 4 FB 02 03 BB | x.bin", sim::sample_image(500, 4));
    const std::string trace = dir.path + "/trace";
    const std::vector<std::vector<std::string>> scenarios = {
        {"--motor", "3", "--fault", "3:mode:cut=5", "--fault", "3:download:delay=300", "--fault",
         "3:data@2x2:refuse", "--fault", "3:data@6:badsum", "--hangup-after", "300", "--", "fwburn",
         "@", image, "3"},
        {"--motor", "3", "--fault", "3:data@4:delay=300", "--fault", "3:crc:garbage=FC061234", "--",
         "fwburn", "@", image, "3"},
        {"--motor", "3", "--fault", "3:start@1x3:silent", "--", "fwburn", "@", image, "3"},
        {"--motor", "2:boot:corrupt", "--motor", "6:boot:none", "--fault", "2:start:delay=150",
         "--", "runmode", "@"},
        {"--motor", "1:boot", "--motor", "9", "--fault", "9:scan:extra=0505", "--", "ldrmode", "@"},
        // Recorded on an adapter that echoes: the trace holds the echo.
        {"--adapter", "echo", "--motor", "1:boot", "--motor", "9", "--", "ldrmode", "@"},
        {"--adapter", "echo", "--motor", "3", "--fault", "3:data@2:refuse", "--", "fwburn", "@",
         image, "3"},
        // Bytes that were waiting when the tool looked: an answer to the mode
        // frame in ldrmode's pause, one left over before a write behind an echo.
        {"--motor", "3", "--fault", "3:mode:garbage=5AA5C33C", "--", "ldrmode", "@"},
        {"--adapter", "echo", "--motor", "3", "--fault", "3:download:extra=AA", "--", "fwburn", "@",
         image, "3"},
        {"--sigint", "1300", "--", "holdoff", "@"},
        {"--hangup-after", "400", "--", "holdoff", "@"},
    };
    int hang_ups = 0;
    for (const auto &scenario : scenarios) {
        const auto recorded = motorsim(scenario, {"MOTORBUS_TRACE=" + trace});
        std::vector<std::string> again = {"--replay", trace};
        const auto command = std::find(scenario.begin(), scenario.end(), "--");
        if (scenario[0] == "--sigint") {
            again.insert(again.end(), scenario.begin(), scenario.begin() + 2);
        }
        again.insert(again.end(), command, scenario.end());
        const auto replayed = motorsim(again);
        EXPECT_EQ(recorded.out, replayed.out) << *(command + 1);
        EXPECT_EQ(recorded.exit_code, replayed.exit_code) << *(command + 1);
        EXPECT_EQ(replayed.err.find("departs"), std::string::npos) << replayed.err;
        EXPECT_NE(replayed.err.find("[motorsim] replayed "), std::string::npos) << replayed.err;
        const auto vanished = [](const sim::RunResult &r) {
            return r.err.find(", then the adapter vanished") != std::string::npos;
        };
        EXPECT_EQ(vanished(recorded), vanished(replayed)) << replayed.err;
        hang_ups += vanished(replayed) ? 1 : 0;
    }
    EXPECT_EQ(hang_ups, 2); // the first scenario's and the last one's
}

// A recorded write of no bytes has nothing to match: it is passed over.
TEST(Motorsim, ReplayPassesOverAnEmptyWrite) {
    TempDir dir;
    const std::string trace = dir.path + "/trace";
    const auto recorded =
        motorsim({"--motor", "4:boot", "--", "ldrmode", "@"}, {"MOTORBUS_TRACE=" + trace});
    std::string text = harness::slurp(trace);
    const size_t first = text.find("\n", text.find("\n# columns:") + 1) + 1;
    text.insert(first, "1 W 0 | mode frame: short write, 0 of 17 bytes\n");
    dir.file("edited", std::vector<uint8_t>(text.begin(), text.end()));
    const auto replayed = motorsim({"--replay", dir.path + "/edited", "--", "ldrmode", "@"});
    EXPECT_EQ(recorded.out, replayed.out);
    EXPECT_EQ(replayed.err.find("departs"), std::string::npos) << replayed.err;
}

// Copies of a recorded trace as users hand them in: those a replay can use
// replay like the original, the others are refused with the reason.
TEST(Motorsim, ReplayOfTracesAsUsersHandThemIn) {
    TempDir dir;
    const std::string trace = dir.path + "/trace";
    const auto recorded =
        motorsim({"--motor", "4:boot", "--", "ldrmode", "@"}, {"MOTORBUS_TRACE=" + trace});
    const std::string text = harness::slurp(trace);
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    std::string glued = text; // after a progress bar, as on standard error
    glued.insert(glued.rfind('\n', glued.find(" R 1 04 ")) + 1, "Switch ... [50%]");
    // Traces of runs stopped while ldrmode waits for a second scan answer:
    // by a signal (no exit status), with the trace cut inside the record
    // that follows, or after its writer stopped.
    const std::string stopped = text.substr(0, text.find('\n', text.find(" R 1 04 ")) + 1);
    const std::string next = text.substr(stopped.size(), 10);
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto copy = [&](const char *name, const std::string &s) {
        return dir.file(name, {s.begin(), s.end()});
    };
    const std::string ends = "motorsim: the recording ends before the run did (";
    const struct {
        std::string path;
        const char *refusal = nullptr;
        std::string cut; // the replay interrupts the command where the trace ends
    } cases[] = {
        {copy("crlf", crlf), nullptr, ""},
        {copy("glued", glued), nullptr, ""},
        {copy("stopped", stopped), nullptr, ends + "it has no exit status line)"},
        {copy("cut", stopped + next), nullptr, ends + "it ends inside the record on line "},
        {copy("marked",
              stopped + "# incomplete: the trace stopped here: No space left on device\n"),
         nullptr, ends + "its writer stopped at line "},
        {copy("twice", text + text), "the file holds two traces", ""},
        {dir.path, " is a directory, not a trace", ""},
        {fifo, " is not a regular file, not a trace", ""},
    };
    for (const auto &[path, refusal, cut] : cases) {
        const auto r = motorsim({"--replay", path, "--", "ldrmode", "@"});
        const int status = refusal != nullptr ? 2
                           : !cut.empty()     ? 128 + SIGINT
                                              : recorded.exit_code;
        EXPECT_EQ(r.exit_code, status) << path << "\n" << r.err;
        EXPECT_EQ(r.out, refusal == nullptr && cut.empty() ? recorded.out : "") << path;
        EXPECT_TRUE(r.err.starts_with(cut)) << r.err;
        EXPECT_NE(r.err.find(refusal == nullptr ? "[motorsim] replayed 2 of 2 " : refusal),
                  std::string::npos)
            << r.err;
    }
    // The command does not trace into the file being replayed.
    const auto again =
        motorsim({"--replay", trace, "--", "ldrmode", "@"}, {"MOTORBUS_TRACE=" + trace});
    EXPECT_EQ(again.out, recorded.out);
    EXPECT_EQ(harness::slurp(trace), text);
}

TEST(Motorsim, ReplayNamesWhereTheCommandDeparts) {
    TempDir dir;
    const std::string image = dir.file("fw.bin", sim::sample_image(100, 4));
    const std::string other = dir.file("other.bin", sim::sample_image(100, 5));
    const std::string trace = dir.path + "/trace";
    motorsim({"--motor", "3", "--quiet", "--", "fwburn", "@", image, "3"},
             {"MOTORBUS_TRACE=" + trace});
    const auto r = motorsim({"--replay", trace, "--", "fwburn", "@", other, "3"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_NE(r.out.find("[Error] 0/128 b Flash transfer interrupted or timed out!"),
              std::string::npos)
        << r.out;
    const auto a = sim::sample_image(100, 4);
    const auto b = sim::sample_image(100, 5);
    EXPECT_NE(r.err.find("departs from the trace at step 3 (line "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("): expected " + harness::hex(std::span(a).first(16))), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(", got " + harness::hex(std::span(b).first(16))), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("the command departed from it at step 3"), std::string::npos) << r.err;
}

// A replay costs in proportion to the trace's length: 80000 scan answers
// take about a second of CPU (a schedule searched whole for every answer
// took 17 s).
TEST(Motorsim, ReplayOfAFloodOfAnswersStaysLinear) {
    TempDir dir;
    std::string text = "# motorbus-trace 1\n"
                       "100 W 17 FE EE 7F 00 00 00 00 00 00 00 00 00 00 00 00 6F 9A | mode frame\n"
                       "1000100 W 4 FB 00 00 BB | scan\n";
    for (int k = 1; k <= 80000; ++k) {
        text += std::to_string(1000100 + 20 * k) + " R 1 04 | scan answer: motor id 4\n";
    }
    text += "6000000 Q 0 | exit status 0\n";
    const auto r = motorsim({"--replay", dir.file("flood", {text.begin(), text.end()}), "--quiet",
                             "--", "ldrmode", "@"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    if (!harness::emulated()) { // an emulator costs many times the CPU
        EXPECT_LT(r.cpu_ms, 8000);
    }
}

// The runner, under emulation, starts a program of its own machine through
// MOTORBUS_EMULATOR and hands it the library to preload with -E, out of the
// emulator's own environment; anything else (here a script) starts as it is.
// A script stands in for the emulator and shows what it was given.
TEST(Runner, EmulatorStartsOnlyProgramsOfThisMachine) {
    TempDir dir;
    auto script = [&](const std::string &name, const std::string &text) {
        const std::string p = dir.file(name, std::vector<uint8_t>(text.begin(), text.end()));
        EXPECT_EQ(chmod(p.c_str(), 0755), 0);
        return p;
    };
    const std::string fake = script("emulator.sh", "#!/bin/sh\necho \"$*|${LD_PRELOAD:-}\"\n");
    const std::string plain = script("plain.sh", "#!/bin/sh\necho \"plain $1\"\n");
    const char *was = getenv("MOTORBUS_EMULATOR");
    const std::string saved = was != nullptr ? was : "";
    setenv("MOTORBUS_EMULATOR", ("sh " + fake).c_str(), 1);

    harness::TestBus line;
    const sim::RunOptions opt = harness::shim();
    const auto r = line.run("ldrmode", {"@"}, opt);
    const auto s = sim::run_program(line.bus, {plain, "x"}, opt);
    if (was != nullptr) {
        setenv("MOTORBUS_EMULATOR", saved.c_str(), 1);
    } else {
        unsetenv("MOTORBUS_EMULATOR");
    }
    EXPECT_EQ(r.out, "-E LD_PRELOAD=" + opt.preload + " " + harness::tool("ldrmode") + " " +
                         line.bus.slave_path + "|\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(s.out, "plain x\n");
}

} // namespace
