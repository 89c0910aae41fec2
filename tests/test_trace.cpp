// The wire trace (MOTORBUS_TRACE): each program runs once untraced and once
// traced on identical buses; output, status, wire bytes and timing must not
// differ, and the trace must name what crossed the bus.
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using harness::slurp;
using harness::TempDir;
using harness::TestBus;

namespace {

bool has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

// Runs program twice, each time on a fresh bus prepared by setup, without and
// with a trace, checks the two runs alike and returns the trace.
std::string traced_twin(const std::function<void(sim::Bus &)> &setup, const std::string &program,
                        const std::vector<std::string> &args) {
    TempDir dir;
    const std::string path = dir.path + "/trace";
    TestBus plain;
    TestBus traced;
    setup(plain.bus);
    setup(traced.bus);
    const auto a = plain.run(program, args);
    const auto b = traced.run(program, args, harness::shim({"MOTORBUS_TRACE=" + path}));
    EXPECT_EQ(a.out, b.out) << program;
    EXPECT_EQ(harness::replace_all(a.err, plain.bus.slave_path, traced.bus.slave_path), b.err)
        << program;
    EXPECT_EQ(a.exit_code, b.exit_code) << program;
    EXPECT_EQ(a.term_signal, b.term_signal) << program;
    const auto wa = sim::host_stream(plain.bus);
    const auto wb = sim::host_stream(traced.bus);
    if (program != "holdoff") {
        EXPECT_EQ(harness::hex(wa), harness::hex(wb)) << program;
    } else {
        // The pattern count of a timed run varies with the load (by a fifth
        // and more between two runs under the sanitizers on a busy machine):
        // a trace that slowed the flood would take it below half.
        EXPECT_GE(wb.size() * 2, wa.size());
        EXPECT_GE(wa.size() * 2, wb.size());
        EXPECT_EQ(std::count(wb.begin(), wb.end(), 0x18), static_cast<long>(wb.size()));
    }
    EXPECT_NEAR(a.ms, b.ms, 400) << program;
    const std::string trace = slurp(path);
    EXPECT_TRUE(trace.starts_with("# motorbus-trace 1\n# program " + program + "\n")) << trace;
    EXPECT_TRUE(has(trace, "\n# version " MOTORBUS_VERSION "\n")) << trace;
    EXPECT_TRUE(has(trace, "\n# speed 4000000\n# termios ")) << trace;
    EXPECT_TRUE(has(trace, "\n# latency-timer none\n")) << trace;
    // The closing record, unless a signal ended the run.
    const std::string status = std::to_string(a.exit_code);
    EXPECT_EQ(trace.ends_with(" Q " + status + " | exit status " + status + "\n"),
              a.term_signal == 0)
        << trace;
    return trace;
}

sim::Fault fault(sim::Frame on, int first, int count) {
    sim::Fault f;
    f.on = on;
    f.first = first;
    f.count = count;
    return f;
}

TEST(Trace, FlashWithRefusalsAndABadCrcReply) {
    TempDir dir;
    // A file name may hold a newline: the header stays one line a field.
    const std::string image = dir.file("fw\n1 W 4 FB 02 03 BB | x'.bin", sim::sample_image(300, 9));
    const auto trace = traced_twin(
        [](sim::Bus &bus) {
            sim::Fault refuse = fault(sim::Frame::data, 2, 2);
            refuse.refuse = true;
            sim::Fault garble = fault(sim::Frame::crc, 0, 1);
            garble.replace = {0xFC, 0x06, 0x12, 0x34};
            harness::add_motor(bus, 3, sim::MotorState::firmware).faults = {refuse, garble};
        },
        "fwburn", {"@", image, "3"});
    EXPECT_TRUE(has(trace, "\n# args @ ") || has(trace, "\n# args /dev/")) << trace;
    EXPECT_TRUE(has(trace, " $'" + dir.path + "/fw\\n1 W 4 FB 02 03 BB | x\\'.bin' 3\n")) << trace;
    for (const char *label : {" W 17 FE EE 73 ", "| mode frame for id 3, mode 7\n",
                              " W 4 FB 02 03 BB | download, id 3\n", "| data chunk 1 of 20, sum ",
                              "ack of chunk 3: sum ", "code EE: refused\n", "(retry 2)\n",
                              "| data chunk 20 of 20, sum ",
                              " R 4 FC 06 12 34 | CRC reply, "
                              "value 0x1234: differs from "
                              "the image's\n"}) {
        EXPECT_TRUE(has(trace, label)) << label << "\n" << trace;
    }
    EXPECT_FALSE(has(trace, "(retry 3)"));
}

TEST(Trace, HangUpAndTimeOutAreMarked) {
    TempDir dir;
    const std::string image = dir.file("fw.bin", sim::sample_image(300, 9));
    const auto gone = traced_twin(
        [](sim::Bus &bus) {
            harness::add_motor(bus, 1, sim::MotorState::bootloader);
            bus.hangup_after_host_bytes = 17 + 4 + 3 * 17;
        },
        "fwburn", {"@", image, "1"});
    EXPECT_TRUE(has(gone, " E hang-up: ")) << gone;

    const auto silent = traced_twin([](sim::Bus &) {}, "fwburn", {"@", image, "1"});
    EXPECT_TRUE(has(silent, " E time-out: no byte of a 4-byte reply within 10000 ms\n")) << silent;
}

TEST(Trace, ScanAndQueryReplies) {
    const auto scan = traced_twin(
        [](sim::Bus &bus) {
            for (uint8_t id : {2, 6}) {
                harness::add_motor(bus, id, sim::MotorState::bootloader, sim::Firmware::none);
            }
        },
        "ldrmode", {"@"});
    for (const char *label :
         {"mode frame for every motor (id 15), mode 7\n", " W 4 FB 00 00 BB | scan\n",
          " R 1 02 | scan answer: motor id 2\n", " R 1 06 | scan answer: motor id 6\n"}) {
        EXPECT_TRUE(has(scan, label)) << label << "\n" << scan;
    }

    const auto query = traced_twin(
        [](sim::Bus &bus) {
            harness::add_motor(bus, 5, sim::MotorState::bootloader, sim::Firmware::corrupt);
        },
        "runmode", {"@"});
    EXPECT_TRUE(has(query, " W 4 FB 03 05 BB | query, id 5\n")) << query;
    EXPECT_TRUE(has(query, "| reply id 5, cmd 3 (query), status 12,")) << query;
    EXPECT_TRUE(has(query, " E time-out: no byte of a 4-byte reply within 100 ms\n")) << query;
}

// About 500 patterns a second become one line a second.
TEST(Trace, HoldOffStaysBounded) {
    const auto trace =
        traced_twin([](sim::Bus &bus) { sim::bus_schedule(bus, sim::signal_at(2600, SIGINT)); },
                    "holdoff", {"@"});
    EXPECT_TRUE(has(trace, " W 4 18 18 18 18 | hold-off pattern\n")) << trace;
    size_t summaries = 0;
    for (size_t at = trace.find(" S "); at != std::string::npos; at = trace.find(" S ", at + 1)) {
        ++summaries;
    }
    EXPECT_GE(summaries, 2u) << trace;
    EXPECT_LE(summaries, 3u) << trace;
    EXPECT_LT(trace.size(), 2000u) << trace;
}

TEST(Trace, UnwritableTraceIsNamedOnceAndTheRunGoesOn) {
    TestBus plain;
    TestBus traced;
    for (TestBus *b : {&plain, &traced}) {
        b->add_motor(4, sim::MotorState::bootloader);
    }
    const auto a = plain.run("ldrmode", {"@"});
    const auto b =
        traced.run("ldrmode", {"@"}, harness::shim({"MOTORBUS_TRACE=/nonexistent/dir/trace"}));
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.exit_code, b.exit_code);
    EXPECT_EQ(b.err, "warning: cannot write the trace to /nonexistent/dir/trace: No such file or "
                     "directory; running untraced\n");
}

// Ctrl+C in fwburn's pause after the mode frame keeps the answer read before it.
TEST(Trace, InterruptedPauseKeepsTheReplyBeforeIt) {
    TempDir dir;
    const std::string image = dir.file("fw.bin", sim::sample_image(300, 9));
    TestBus line;
    line.add_motor(3, sim::MotorState::firmware);
    sim::bus_schedule(line.bus, sim::signal_at(700 + harness::startup_ms(), SIGINT));
    line.run("fwburn", {"@", image, "3"}, harness::shim({"MOTORBUS_TRACE=" + dir.path + "/t"}));
    const std::string trace = slurp(dir.path + "/t");
    if (!has(trace, "| mode frame for id 3, mode 7\n")) {
        GTEST_SKIP() << "interrupted before the mode frame: a start-up slower than 700 ms";
    }
    EXPECT_TRUE(has(trace, "| answer to the mode frame (not examined)\n")) << trace;
}

// A trace target that fails, or whose reader quits or stalls, stops the
// trace with one warning; the flash ends as an untraced one does.
TEST(Trace, TargetsThatFailOrStallLeaveTheFlashAlone) {
    TempDir dir;
    const std::vector<uint8_t> flashed = sim::sample_image(12288, 7);
    const std::string image = dir.file("fw.bin", flashed);
    const std::string unread = dir.path + "/unread";
    const std::string stalled = dir.path + "/stalled";
    ASSERT_EQ(mkfifo(unread.c_str(), 0600) | mkfifo(stalled.c_str(), 0600), 0);
    const int reader = open(stalled.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); // never reads
    int quit[2];
    ASSERT_EQ(pipe2(quit, O_CLOEXEC), 0);
    close(quit[0]); // standard error is a pipe whose reader has gone
    // A run on standard error that is a pipe whose reader has gone, or with
    // a file size limit (ulimit -f) of size_limit bytes.
    std::string named; // the target, with "@" for the device
    auto flash = [&](const std::string &target, rlim_t size_limit) {
        TestBus line;
        line.add_motor(3, sim::MotorState::firmware);
        named = target == "@" ? line.bus.slave_path : target;
        sim::RunOptions opt = harness::shim({"MOTORBUS_TRACE=" + named});
        opt.timeout_ms = 30000;
        opt.capture = target != "-";
        const int saved = dup(STDERR_FILENO);
        if (!opt.capture) {
            dup2(quit[1], STDERR_FILENO);
        }
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limited{size_limit, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
        const auto r = line.run("fwburn", {"@", image, "3"}, opt);
        setrlimit(RLIMIT_FSIZE, &old);
        dup2(saved, STDERR_FILENO);
        close(saved);
        return r;
    };
    const auto plain = flash("", RLIM_INFINITY);
    const std::string notes = dir.file("notes.txt", {'n', 'o', '\n'});
    const std::string socket_path = dir.path + "/socket";
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socket_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const struct {
        std::string target, reason;
        rlim_t size_limit = RLIM_INFINITY;
    } cases[] = {
        // Files the trace must not destroy, left as they were.
        {image, "it is the file given as argument 2"},
        {"@", "it is the device"},
        {notes, "it holds something other than a trace"},
        {socket_path, "it is a socket, which is not opened as a file"},
        {unread, "it is a FIFO that no program reads"},
        {stalled, "its reader does not keep up"},
        {"/dev/full", "No space left on device"},
        {dir.path + "/limited", "File too large", 20000},
        {"-", ""},
    };
    for (const auto &[target, reason, size_limit] : cases) {
        const auto r = flash(target, size_limit);
        EXPECT_EQ(r.exit_code, plain.exit_code) << target;
        EXPECT_EQ(r.term_signal, 0) << target;
        if (target != "-") {
            EXPECT_EQ(r.out, plain.out) << target;
            EXPECT_EQ(r.err, "warning: cannot write the trace to " + named + ": " + reason +
                                 "; running untraced\n");
        }
        if (size_limit != RLIM_INFINITY) { // the file cut short says so
            const std::string cut = slurp(target);
            EXPECT_TRUE(!cut.ends_with('\n') || has(cut, "\n# incomplete: ")) << cut;
        }
    }
    EXPECT_EQ(slurp(image), std::string(flashed.begin(), flashed.end()));
    EXPECT_EQ(slurp(notes), "no\n");
    close(reader);
    close(quit[1]);
    close(sock);
}

// A run that never gets the device (it is missing, or in use) leaves an
// earlier trace in the file as it was.
TEST(Trace, RunWithoutTheDeviceLeavesAnEarlierTraceAlone) {
    TempDir dir;
    const std::string earlier = "# motorbus-trace 1\n# program fwburn\n12 W 4 FB 00 00 BB | scan\n";
    const std::string path = dir.file("trace", {earlier.begin(), earlier.end()});
    TestBus line;
    const int held = open(line.bus.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"@", line.bus.slave_path + " is in use by another program"},
        {"/nonexistent/tty", "cannot open /nonexistent/tty: No such file or directory"},
        {"/dev/null", "/dev/null is not a serial port: TIOCGSERIAL failed: "},
    };
    for (const auto &[device, why] : cases) {
        const auto r = line.run("ldrmode", {device}, harness::shim({"MOTORBUS_TRACE=" + path}));
        EXPECT_NE(r.exit_code, 0) << device;
        EXPECT_EQ(slurp(path), earlier) << device << "\n" << r.err;
        EXPECT_TRUE(has(r.err, "warning: the trace " + path + " is left as it was: " + why))
            << r.err;
    }
    close(held);
    // A trace refused after it was created (it is the image fwburn is given)
    // is not left behind as an empty image.
    const std::string image = dir.path + "/new.bin";
    line.run("fwburn", {"@", image, "3"}, harness::shim({"MOTORBUS_TRACE=" + image}));
    EXPECT_NE(access(image.c_str(), F_OK), 0);
}

// "-" sends the trace to standard error, standard output stays untouched.
TEST(Trace, DashMeansStandardError) {
    TestBus line;
    line.add_motor(4, sim::MotorState::bootloader);
    const auto r = line.run("ldrmode", {"@"}, harness::shim({"MOTORBUS_TRACE=-"}));
    EXPECT_EQ(r.out, "1.Motor ID 4\n---------------\nTotal 1 motors\n");
    EXPECT_TRUE(r.err.starts_with("# motorbus-trace 1\n# program ldrmode\n")) << r.err;
    EXPECT_TRUE(has(r.err, " R 1 04 | scan answer: motor id 4\n")) << r.err;
}

} // namespace
