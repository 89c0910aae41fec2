// A hostile bus: seeded random motors that answer with random bytes, lengths
// and delays, stray bytes and adapters that vanish. Whatever the bus does,
// every run must end on its own within the worst case of the programs' own
// waits, never by a signal, with a clear message, and fwburn may claim
// success only for an image the motor really holds.
//
// A failing run names its seed; replay it with
//   HOSTILE_PROGRAM=fwburn HOSTILE_SEED=n test_hostile --gtest_filter=Hostile.Replay
#include "frames.h"
#include "harness.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

using harness::TempDir;
using sim::Firmware;
using sim::Frame;
using sim::MotorState;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int shards = 4; // ctest runs the shards of a program in parallel
// and each shard runs this many programs at a time. Under the emulator one:
// it starts a program by forking the whole emulated process, and a fork
// taken while another thread of it holds a lock can hang before the exec.
const int threads = harness::emulated() ? 1 : 6;
constexpr int runs = HOSTILE_RUNS; // per program

struct Rng {
    std::mt19937 gen;
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
    bool chance(double p) { return std::bernoulli_distribution(p)(gen); }
    Bytes noise(int lo, int hi) {
        Bytes b(static_cast<size_t>(pick(lo, hi)));
        for (uint8_t &x : b) {
            x = static_cast<uint8_t>(pick(0, 255));
        }
        return b;
    }
};

sim::Fault random_fault(Rng &rng, Frame kind) {
    sim::Fault f;
    f.on = kind;
    f.first = rng.pick(0, 3);
    const int counts[] = {1, 1, 2, -1};
    f.count = counts[rng.pick(0, 3)];
    switch (rng.pick(0, kind == Frame::data ? 9 : 7)) {
    case 0:
        f.silent = true;
        break;
    case 1:
        f.deaf = true;
        break;
    case 2:
        f.delay_ms = rng.pick(0, 1200);
        break;
    case 3:
        f.cut = rng.pick(0, 3);
        break;
    case 4:
        f.replace = rng.noise(1, 20);
        break;
    case 5:
        f.extra = rng.noise(1, 20);
        break;
    case 6:
        f.flip = rng.noise(1, 4);
        break;
    case 7:
        f.patch = {rng.pick(-1, 255), rng.pick(-1, 255), rng.pick(-1, 255), rng.pick(-1, 255)};
        break;
    case 8:
        f.refuse = true;
        break;
    default:
        f.corrupt_store = true;
        break;
    }
    if (rng.chance(0.2)) {
        f.delay_ms += rng.pick(0, 400);
    }
    return f;
}

// One to three motors with distinct ids, in any state, each with random faults.
void random_bus(Rng &rng, sim::Bus &bus) {
    std::vector<int> ids(15);
    for (int i = 0; i < 15; ++i) {
        ids[static_cast<size_t>(i)] = i;
    }
    std::shuffle(ids.begin(), ids.end(), rng.gen);
    const int n = rng.pick(1, 3);
    for (int i = 0; i < n; ++i) {
        sim::Motor m;
        m.id = static_cast<uint8_t>(ids[static_cast<size_t>(i)]);
        m.firmware = static_cast<Firmware>(rng.pick(0, 2));
        m.image = m.firmware == Firmware::none ? Bytes{} : rng.noise(64, 256);
        m.state = m.firmware == Firmware::valid && rng.chance(0.5) ? MotorState::firmware
                                                                   : MotorState::bootloader;
        for (int k = 0; k < sim::frame_kinds; ++k) {
            if (rng.chance(0.25)) {
                m.faults.push_back(random_fault(rng, static_cast<Frame>(k)));
            }
        }
        bus.motors.push_back(m);
    }
    for (int i = rng.pick(0, 2); i > 0; --i) {
        sim::bus_schedule(bus, sim::stray_at(rng.pick(0, 4000), rng.noise(1, 6)));
    }
    if (rng.chance(0.08)) {
        sim::bus_schedule(bus, sim::hangup_at(rng.pick(0, 5000) + harness::startup_ms()));
    } else if (rng.chance(0.08)) {
        bus.hangup_after_host_bytes = rng.pick(0, 300);
    }
}

bool contains(const std::string &s, const char *what) {
    return s.find(what) != std::string::npos;
}

// Standard error may only carry the hang-up and reports of failed writes
// (after it), or, after a run in which nothing answered, the one line that
// points to motorbus doctor.
bool only_write_errors(const std::string &err) {
    static const std::regex reports("(error: [^\n]+: the line hung up: the "
                                    "adapter was unplugged or reset\n)?"
                                    "(write err\n: [^\n]+\n)*"
                                    "(hint: none of the [0-9]+ exchanges on [^\n]+ was answered; "
                                    "[^\n]+ 'motorbus doctor [^\n]+' checks the adapter's "
                                    "set-up\n)?");
    return std::regex_match(err, reports);
}

// Under the emulator a program now and then hangs in the emulator's fork
// before it runs at all: killed at its time-out without a byte written or a
// line printed. Such a run says nothing about the program and is run again.
constexpr const char *never_started = "never started under the emulator";

// Runs one seeded case; returns what went wrong, or "" when all is well.
// `succeeded` counts the runs that ended in success (fwburn: a verified flash).
std::string run_case(const std::string &program, unsigned seed, std::atomic<int> &succeeded) {
    Rng rng{std::mt19937(seed)};
    harness::TestBus line;
    random_bus(rng, line.bus);
    TempDir dir;
    std::vector<std::string> args{"@"};
    Bytes image;
    uint8_t target = 0;
    double bound_ms = 0; // the worst case of the program's own waits
    if (program == "fwburn") {
        image = rng.noise(1, 128);
        target = rng.chance(0.8) ? line.bus.motors[0].id : static_cast<uint8_t>(rng.pick(0, 14));
        args = {"@", dir.file("fw.bin", image), std::to_string(target)};
        const double chunks = static_cast<double>(frames::chunks_of(image.size()));
        // mode switch (wait + fill) 2 s, two 1 s sleeps, download and CRC 20 s each,
        // each chunk three tries of 2 s, four starts and a query of 2 s.
        bound_ms = 2000 + 2000 + 2 * 20000 + chunks * 3 * 2000 + 5 * 2000;
    } else if (program == "runmode") {
        bound_ms = 30 * 2 * 100; // thirty exchanges of at most 100 ms plus 100 ms to fill
    } else {
        // The sleep, the last answer (strays up to 4 s, late answers up to 1.6 s after
        // the scan), then three silent seconds.
        bound_ms = 1000 + 5000 + 3000;
    }
    sim::RunOptions opt = harness::shim();
    opt.timeout_ms = static_cast<int>(bound_ms) + 15000;
    const auto r = line.run(program, args, opt);

    std::ostringstream why;
    const double slack_ms = 3000; // a shared, noisy machine
    if ((r.timed_out || r.term_signal != 0) && harness::emulated() && line.bus.host_bytes == 0 &&
        r.out.empty() && r.err.empty()) {
        why << never_started;
    } else if (r.timed_out || r.term_signal != 0) {
        why << "did not end on its own (signal " << r.term_signal << ")";
    } else if (r.ms > bound_ms + slack_ms) {
        why << "took " << r.ms << " ms, more than its waits allow (" << bound_ms << " ms)";
    } else if (program == "ldrmode") {
        static const std::regex listing("([0-9]+\\.Motor ID [0-9]+\n)*---------------\nTotal "
                                        "[0-9]+ motors\n");
        if (r.exit_code != (r.err.empty() ? 0 : 255) || !std::regex_match(r.out, listing) ||
            !only_write_errors(r.err)) {
            why << "unexpected end";
        }
        succeeded += r.out.starts_with("1.Motor ID") ? 1 : 0;
    } else if (program == "runmode") {
        static const std::regex reports(
            "(Motor [0-9]+ (firmware crc check error|did not find firmware)\\.\n)*");
        if (r.exit_code != (r.err.empty() ? 0 : 255) || !std::regex_match(r.out, reports) ||
            !only_write_errors(r.err)) {
            why << "unexpected end";
        }
        succeeded += r.out.empty() ? 0 : 1;
    } else {
        const bool success = contains(r.out, "Flash successfully!");
        succeeded += success ? 1 : 0;
        bool holds = false;
        for (const sim::Motor &m : line.bus.motors) {
            holds |=
                m.id == target && m.firmware == Firmware::valid && m.image == frames::padded(image);
        }
        const bool clear_failure = contains(r.out, "Timeout\n") ||
                                   contains(r.out, "Bootloader err msg:") ||
                                   contains(r.out, "Flash transfer interrupted or timed out!\n") ||
                                   contains(r.out, "Transmission data check result error") ||
                                   contains(r.out, "Flash fail!!! Please reapply power");
        if (success && !holds) {
            why << "claimed success for an image the motor does not hold";
        } else if (r.exit_code == 0 && !success) {
            why << "status 0 without success";
        } else if (r.exit_code == 255 && (success || !clear_failure)) {
            why << "status 255 without a clear failure message";
        } else if (r.exit_code != 0 && r.exit_code != 255) {
            why << "status " << r.exit_code;
        } else if (!only_write_errors(r.err)) {
            why << "unexpected standard error";
        }
    }
    if (why.str().empty()) {
        return "";
    }
    why << "\n  status " << r.exit_code << ", " << r.ms << " ms\n  stdout: " << r.out
        << "\n  stderr: " << r.err;
    return why.str();
}

unsigned first_seed(const std::string &program) {
    return program == "fwburn" ? 100000 : program == "runmode" ? 200000 : 300000;
}

struct Shard {
    std::string program;
    int index;
};

void PrintTo(const Shard &s, std::ostream *os) {
    *os << s.program << " shard " << s.index;
}

class Hostile : public ::testing::TestWithParam<Shard> {};

TEST_P(Hostile, EveryRunEndsCleanly) {
    const Shard shard = GetParam();
    const int begin = runs * shard.index / shards;
    const int end = runs * (shard.index + 1) / shards;
    std::atomic<int> next{begin};
    std::atomic<int> succeeded{0};
    std::mutex lock;
    std::vector<std::string> failures;
    std::atomic<int> restarts{0};
    const auto work = [&] {
        for (int k = next++; k < end; k = next++) {
            const unsigned seed = first_seed(shard.program) + static_cast<unsigned>(k);
            std::string why = run_case(shard.program, seed, succeeded);
            for (int again = 0; again < 2 && why.starts_with(never_started); ++again) {
                ++restarts;
                why = run_case(shard.program, seed, succeeded);
            }
            if (!why.empty()) {
                const std::lock_guard<std::mutex> guard(lock);
                failures.push_back("HOSTILE_PROGRAM=" + shard.program +
                                   " HOSTILE_SEED=" + std::to_string(seed) + ": " + why);
            }
        }
    };
    // One at a time runs in this thread: the emulator's fork is safest from
    // a process with a single thread.
    if (threads == 1) {
        work();
    } else {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back(work);
        }
        for (std::thread &t : pool) {
            t.join();
        }
    }
    if (restarts > 0) {
        printf("%s: %d runs started again (the emulator hung before the program ran)\n",
               shard.program.c_str(), restarts.load());
    }
    for (const std::string &f : failures) {
        ADD_FAILURE() << f;
    }
    // How many runs got through (a flash, a listed motor, a report) and how many failed cleanly.
    printf("%s: %d runs, %d got through\n", shard.program.c_str(), end - begin, succeeded.load());
}

std::vector<Shard> all_shards() {
    std::vector<Shard> all;
    for (const char *program : {"fwburn", "runmode", "ldrmode"}) {
        for (int i = 0; i < shards; ++i) {
            all.push_back({program, i});
        }
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Bus, Hostile, ::testing::ValuesIn(all_shards()),
                         [](const ::testing::TestParamInfo<Shard> &info) {
                             return info.param.program + "_" + std::to_string(info.param.index);
                         });

TEST(Hostile, Replay) {
    const char *program = getenv("HOSTILE_PROGRAM");
    const char *seed = getenv("HOSTILE_SEED");
    if (program == nullptr || seed == nullptr) {
        GTEST_SKIP() << "set HOSTILE_PROGRAM and HOSTILE_SEED to replay one run";
    }
    std::atomic<int> succeeded{0};
    EXPECT_EQ(run_case(program, static_cast<unsigned>(strtoul(seed, nullptr, 10)), succeeded), "");
}

// holdoff keeps its pace on any bus until it is interrupted, or ends at once
// with the write error when the adapter vanishes first.
TEST(Hostile, HoldoffKeepsItsPaceOrReportsTheLoss) {
    for (unsigned seed = 400000; seed < 400006; ++seed) {
        Rng rng{std::mt19937(seed)};
        harness::TestBus line;
        random_bus(rng, line.bus);
        line.bus.hangup_after_host_bytes = -1;
        std::erase_if(line.bus.schedule,
                      [](const sim::Scheduled &s) { return s.action == sim::Action::hangup; });
        const double gone_at = rng.chance(0.5) ? rng.pick(200, 1500) + harness::startup_ms() : -1;
        if (gone_at >= 0) {
            sim::bus_schedule(line.bus, sim::hangup_at(gone_at));
        }
        sim::bus_schedule(line.bus, sim::signal_at(2000 + harness::startup_ms(), SIGINT));
        const auto r = line.run("holdoff", {"@"});
        if (gone_at >= 0) {
            EXPECT_EQ(r.exit_code, 255) << "seed " << seed;
            EXPECT_EQ(r.err, "write err\n: Input/output error\n") << "seed " << seed;
            EXPECT_LT(r.ms, gone_at + 1000) << "seed " << seed;
        } else {
            EXPECT_EQ(r.term_signal, SIGINT) << "seed " << seed;
            const double rate = static_cast<double>(line.bus.host_bytes) / 4 / (r.ms / 1000);
            // Under the emulator each write and sleep costs more: no lower bound there.
            if (!harness::emulated()) {
                EXPECT_GT(rate, 300) << "seed " << seed;
            }
            EXPECT_LT(rate, 520) << "seed " << seed;
        }
    }
}

} // namespace
