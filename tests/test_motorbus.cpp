// motorbus against machines of several buses, made by motorsim: each case
// is a machine, the command run on it and what must come of every motor.
// The JSON Lines are read with a real parser; what a motor ends up holding
// is read from motorsim's account, what motorbus wrote down of each flash
// from motorbus history.
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <nettle/sha2.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

using harness::TempDir;
using Json = nlohmann::json;

namespace {

struct Case {
    const char *name;
    std::vector<std::string> machine; // motorsim's options
    std::vector<std::string> command; // motorbus's words after --json; IMAGE is the image
    int status;
    // "@BUS.MOTOR" -> what the JSON said of the motor, event by event.
    std::map<std::string, std::string> motors;
    std::map<std::string, int> summary; // counts in the summary object
    bool history_unwritable = false;    // XDG_STATE_HOME is a file
};

const std::vector<Case> cases = {
    {"HealthyMachine",
     {"--motor", "1", "--motor", "2", "--bus", "--motor", "3:boot:none"},
     {"upgrade", "IMAGE", "@1", "@2"},
     0,
     {{"@1.1", "found flashed running"},
      {"@1.2", "found flashed running"},
      {"@2.3", "found flashed running"}},
     {{"flashed", 3}, {"failed", 0}, {"buses_failed", 0}}},
    {"CutOffMidTransferStopsItsBusOnly",
     {"--motor", "1", "--fault", "1:data@5x3:refuse", "--motor", "2", "--bus", "--motor", "3"},
     {"upgrade", "IMAGE", "@1", "@2"},
     1,
     {{"@1.1", "found chunk-refused"},
      {"@1.2", "found not-attempted:after-cut-off running"},
      {"@2.3", "found flashed running"}},
     {{"flashed", 1}, {"failed", 2}, {"not_attempted", 1}, {"cut_off", 1}}},
    {"UnacknowledgedChunkIsACutOffToo",
     {"--motor", "1", "--fault", "1:data@9:silent", "--motor", "2"},
     {"upgrade", "IMAGE", "@"},
     1,
     {{"@1.1", "found transfer-timeout"}, {"@1.2", "found not-attempted:after-cut-off running"}},
     {{"flashed", 0}, {"cut_off", 1}}},
    {"CrcRefusedIsSettledAndTheBusGoesOn",
     {"--motor", "1", "--fault", "1:data@3:corrupt", "--motor", "2", "--bus", "--motor", "3"},
     {"upgrade", "IMAGE", "@1", "@2"},
     1,
     {{"@1.1", "found crc-mismatch crc-error"},
      {"@1.2", "found flashed running"},
      {"@2.3", "found flashed running"}},
     {{"flashed", 2}, {"failed", 1}, {"cut_off", 0}}},
    {"MotorAskedForButNotFound",
     {"--motor", "1", "--bus", "--motor", "3"},
     {"upgrade", "IMAGE", "@1=1,4", "@2=3"},
     1,
     {{"@1.1", "found flashed running"}, {"@1.4", "not-found"}, {"@2.3", "found flashed running"}},
     {{"flashed", 2}, {"not_found", 1}}},
    {"NewFirmwareFailingItsCheckIsCaught",
     {"--motor", "1", "--bus", "--motor", "2", "--fault", "2:start:deaf", "--fault",
      "2:query:garbage=FC03C200"},
     {"upgrade", "IMAGE", "@1", "@2"},
     1,
     {{"@1.1", "found flashed running"}, {"@2.2", "found start-unconfirmed crc-error"}},
     {{"flashed", 2}, {"broken", 1}, {"failed", 1}}},
    // The interrupt comes during motor 1's flash, slowed by late
    // acknowledgements: it finishes, motor 2 is not begun, bus 2 is done.
    {"CtrlCLetsTheFlashInProgressFinish",
     {"--sigint", "6500", "--motor", "1", "--fault", "1:data@1x6:delay=800", "--motor", "2",
      "--bus", "--motor", "3"},
     {"upgrade", "IMAGE", "@1", "@2"},
     130,
     {{"@1.1", "found flashed running"},
      {"@1.2", "found not-attempted:interrupted running"},
      {"@2.3", "found flashed running"}},
     {{"flashed", 2}, {"not_attempted", 1}}},
    {"HealthReportsBrokenFirmware",
     {"--motor", "1:boot:corrupt", "--motor", "2", "--bus", "--motor", "4:boot:none"},
     {"health", "@1", "@2"},
     1,
     {{"@1.1", "crc-error"}, {"@2.4", "no-firmware"}},
     {{"broken", 2}}},
    {"ScanListsEveryBus",
     {"--motor", "1", "--motor", "2:boot", "--bus", "--motor", "7"},
     {"scan", "@1", "@2"},
     0,
     {{"@1.1", "found"}, {"@1.2", "found"}, {"@2.7", "found"}},
     {{"found", 3}, {"failed", 0}}},
    // A firmware deaf to the mode frame on one bus, a motor not yet there on
    // the other: both powered up during the hold, held, and flashed.
    {"RescueHoldsTwoBusesAndFlashesThem",
     {"--motor", "1:on@800", "--fault", "1:mode:deaf", "--motor", "2", "--bus", "--motor",
      "3:on@1200"},
     {"rescue", "--hold", "2.5", "IMAGE", "@1", "@2"},
     0,
     {{"@1.1", "found flashed running"},
      {"@1.2", "found flashed running"},
      {"@2.3", "found flashed running"}},
     {{"flashed", 3}, {"failed", 0}}},
    {"RescueNamesAMotorPoweredUpAfterTheHold",
     {"--motor", "1:on@500", "--motor", "4:on@6000"},
     {"rescue", "--hold", "2", "IMAGE", "@=1,4"},
     1,
     {{"@1.1", "found flashed running"}, {"@1.4", "not-found:not powered up"}},
     {{"flashed", 1}, {"not_found", 1}}},
    {"CtrlCDuringTheHoldFlashesNothing",
     {"--sigint", "1500", "--motor", "1:on@500"},
     {"rescue", "--hold", "5", "IMAGE", "@"},
     130,
     {},
     {{"flashed", 0}, {"found", 0}}},
    {"HistoryThatCannotBeWrittenIsAWarning",
     {"--motor", "1"},
     {"upgrade", "IMAGE", "@"},
     0,
     {{"@1.1", "found flashed running"}},
     {{"flashed", 1}},
     true},
    {"NothingRunsWithoutAnImage",
     {"--motor", "1"},
     {"upgrade", "/nonexistent.bin", "@"},
     2,
     {},
     {}},
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

// Each bus's device path -> "@1", "@2", ..., by its place on the command line.
std::map<std::string, std::string> bus_names(const std::vector<Json> &events) {
    std::map<std::string, std::string> bus_name;
    const Json &buses = events.front().at("buses");
    for (size_t i = 0; i < buses.size(); ++i) {
        bus_name[buses[i]] = std::string("@").append(std::to_string(i + 1));
    }
    return bus_name;
}

// What the JSON said of each motor, event by event: "@BUS.MOTOR" -> tags
// ("found flashed running").
std::map<std::string, std::string> motor_tags(const std::vector<Json> &events) {
    const std::map<std::string, std::string> bus_name = bus_names(events);
    std::map<std::string, std::string> seen;
    for (const Json &e : events) {
        if (!e.contains("motor")) {
            continue;
        }
        const std::string key =
            bus_name.at(e.at("bus")) + "." + std::to_string(e.at("motor").get<int>());
        const std::string type = e.at("type");
        std::string tag;
        if (type == "found") {
            tag = type;
        } else if (type == "not-found") {
            // A rescue names the likely cause.
            tag = type + (e.value("cause", "").find("not powered up") != std::string::npos
                              ? ":not powered up"
                              : "");
        } else if (type == "flash-ended") {
            tag = e.at("result");
            // A confirmed CRC is the image's own.
            if (e.at("ok") == true) {
                EXPECT_EQ(e.at("crc"), events.front().at("image").at("crc")) << key;
            }
        } else if (type == "not-attempted") {
            tag = "not-attempted:" + e.at("reason").get<std::string>();
        } else if (type == "health") {
            tag = e.at("state");
        } else {
            continue;
        }
        seen[key] += (seen[key].empty() ? "" : " ") + tag;
    }
    return seen;
}

class Machine : public testing::TestWithParam<Case> {};

std::string sha256_hex(const std::vector<uint8_t> &data) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.size(), data.data());
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    std::string text;
    for (const uint8_t b : digest) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

// The events of a --json run, each line parsed.
std::vector<Json> parse_lines(const std::string &out) {
    std::vector<Json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        events.push_back(Json::parse(line));
    }
    return events;
}

TEST_P(Machine, EveryMotorEndsAsExpected) {
    const Case &c = GetParam();
    TempDir dir;
    const std::vector<uint8_t> image_bytes = sim::sample_image(3000, 7);
    const std::string image = dir.file("image.bin", image_bytes);
    std::vector<std::string> args = c.machine;
    args.insert(args.end(), {"--", "motorbus", "--json"});
    for (const std::string &w : c.command) {
        args.push_back(w == "IMAGE" ? image : w);
    }
    const std::string state = c.history_unwritable ? image : dir.path + "/state";
    const sim::RunResult r = harness::run_motorsim(args, {"XDG_STATE_HOME=" + state});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.status) << r.out << r.err;
    const bool flashes = c.command[0] == std::string("upgrade") || c.command[0] == "rescue";
    EXPECT_EQ(r.err.find("warning: the flash history was not written") != std::string::npos,
              c.history_unwritable)
        << r.err;

    // Every line an object with its schema and type; the buses by position.
    std::vector<Json> events;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        Json j = Json::parse(line); // throws, failing the test, on anything but JSON
        EXPECT_EQ(j.at("schema"), 1) << line;
        EXPECT_TRUE(j.at("type").is_string()) << line;
        events.push_back(std::move(j));
    }
    ASSERT_FALSE(events.empty());
    const Json &last = events.back();
    if (c.status == 2) {
        EXPECT_EQ(last.at("type"), "error");
        return;
    }
    ASSERT_EQ(events.front().at("type"), "start");
    ASSERT_EQ(last.at("type"), "summary");
    EXPECT_EQ(last.at("exit_status"), c.status);
    const std::map<std::string, std::string> seen = motor_tags(events);
    EXPECT_EQ(seen, c.motors);
    for (const auto &[field, count] : c.summary) {
        EXPECT_EQ(last.at(field), count) << field;
    }

    // What a motor flashed and running holds, motorsim says: the image.
    // With several buses its account names each motor's bus.
    if (flashes) {
        const Json &img = events.front().at("image");
        const bool several = std::count(c.machine.begin(), c.machine.end(), "--bus") > 0;
        for (const auto &[key, tags] : c.motors) {
            if (!tags.ends_with("flashed running")) {
                continue;
            }
            const std::string bus = several ? key.substr(0, key.find('.')) + " " : "";
            const std::string holds = "] " + bus + "motor " + key.substr(key.find('.') + 1) +
                                      ": running its firmware, image " +
                                      std::to_string(img.at("padded").get<int>()) + " bytes, CRC " +
                                      img.at("crc").get<std::string>().substr(2) + ", valid";
            EXPECT_NE(r.err.find(holds), std::string::npos) << holds << "\n" << r.err;
        }
    }

    // The history read back: a record for every motor whose flash was
    // started, with the flash's result and the image's SHA-256.
    if (!flashes || c.history_unwritable) {
        return;
    }
    const std::map<std::string, std::string> bus_name = bus_names(events);
    std::map<std::string, std::string> started;
    for (const Json &e : events) {
        const std::string type = e.at("type");
        if (type == "flash-started" || type == "flash-ended") {
            started[bus_name.at(e.at("bus")) + "." + std::to_string(e.at("motor").get<int>())] =
                e.value("result", "cut-off");
        }
    }
    harness::TestBus idle;
    const sim::RunResult read = idle.run("motorbus", {"--json", "history", "--all"},
                                         harness::shim({"XDG_STATE_HOME=" + state}));
    EXPECT_EQ(read.exit_code, 0) << read.err;
    std::map<std::string, std::string> recorded;
    for (const Json &h : parse_lines(read.out)) {
        const std::string key =
            bus_name.at(h.at("bus")) + "." + std::to_string(h.at("motor").get<int>());
        recorded[key] = h.at("result");
        EXPECT_EQ(h.at("ok"), h.at("result") == "flashed" || h.at("result") == "start-unconfirmed")
            << key;
        EXPECT_EQ(h.at("sha256"), sha256_hex(image_bytes)) << key;
        EXPECT_EQ(h.at("crc"), events.front().at("image").at("crc")) << key;
        EXPECT_EQ(h.at("image"), image) << key;
        EXPECT_EQ(h.at("command"), c.command[0]) << key;
    }
    EXPECT_EQ(recorded, started);
}

INSTANTIATE_TEST_SUITE_P(Motorbus, Machine, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

// ---- One verdict: motorbus and the tool for the job, on the same bus ----

// A bus with a fault, run through a motorbus subcommand and through the tool
// for the same job. The tool's end decides: where it ends -1, motorbus must
// fail the bus (a bus-failed or bus-error object, status 1); where it ends
// 0, motorbus must give every motor the verdict it gives on the same bus
// without the fault, and agree with the tool (the ids ldrmode lists, the
// motors runmode reports broken, the motors fwburn flashes).
struct Fault {
    const char *name;
    const char *job;                             // scan, health or upgrade
    std::vector<std::string> motors;             // --motor words of the bus without the fault
    std::vector<std::string> fault;              // the motorsim options that make it
    std::string ids = "";                        // "=3": the motors named to motorbus
    std::vector<std::string> faulty_motors = {}; // the fault is in a motor
    std::string shell = ""; // motorbus's run, as a shell command (the fault is outside the bus)
};

void PrintTo(const Fault &f, std::ostream *os) {
    *os << f.name;
}

const std::vector<std::string> scan_bus = {"1", "2:boot", "5"};
const std::vector<std::string> walk_bus = {"1", "2:boot:corrupt", "4:boot:none", "6:boot"};
const std::vector<std::string> flash_bus = {"1", "2"};
const std::vector<Fault> faults = {
    {"ScanClean", "scan", scan_bus, {}},
    {"ScanEcho", "scan", scan_bus, {"--adapter", "echo"}},
    {"ScanEchoDamagedInTheFirstFrame", "scan", scan_bus, {"--adapter", "echo:damage@3"}},
    {"ScanEchoStops", "scan", scan_bus, {"--adapter", "echo:stop@17"}},
    {"ScanEchoStopsBeforeTheOnlyAnswer", "scan", {"1"}, {"--adapter", "echo:stop@17"}},
    {"ScanFtdi", "scan", scan_bus, {"--adapter", "ftdi"}},
    {"ScanHangUpAtTheScanCommand", "scan", scan_bus, {"--hangup-after", "17"}},
    {"ScanHangUpWhileListening", "scan", scan_bus, {"--hangup-after", "21"}},
    {"ScanStall", "scan", scan_bus, {"--stall-after", "10"}},
    {"ScanBusProcessKilled",
     "scan",
     scan_bus,
     {},
     "",
     {},
     "motorbus --json scan \"$MOTORSIM_DEVICE\" & p=$!; sleep 2; "
     "kill -KILL $(cat /proc/$p/task/$p/children); wait $p"},
    {"HealthClean", "health", walk_bus, {}},
    {"HealthEcho", "health", walk_bus, {"--adapter", "echo"}},
    {"HealthEchoOneMotorNamed", "health", {"3"}, {"--adapter", "echo"}, "=3"},
    {"HealthEchoDamaged", "health", walk_bus, {"--adapter", "echo:damage@1"}},
    {"HealthFtdi", "health", walk_bus, {"--adapter", "ftdi"}},
    {"HealthCommandForm",
     "health",
     {"0:boot", "2:boot:corrupt", "4:boot:none"},
     {},
     "",
     {"0:boot:good:cmdform", "2:boot:corrupt", "4:boot:none"}},
    {"HealthCommandFormEcho",
     "health",
     {"0:boot", "2:boot:corrupt", "4:boot:none"},
     {"--adapter", "echo"},
     "",
     {"0:boot:good:cmdform", "2:boot:corrupt", "4:boot:none"}},
    {"HealthHangUpInTheWalk", "health", walk_bus, {"--hangup-after", "8"}, "=1,2"},
    {"HealthStall", "health", walk_bus, {"--stall-after", "8"}},
    {"UpgradeClean", "upgrade", flash_bus, {}},
    {"UpgradeEcho", "upgrade", flash_bus, {"--adapter", "echo"}},
    {"UpgradeEchoDamaged", "upgrade", flash_bus, {"--adapter", "echo:damage@4"}},
    {"UpgradeEchoStops", "upgrade", flash_bus, {"--adapter", "echo:stop@17"}},
    {"UpgradeFtdi", "upgrade", flash_bus, {"--adapter", "ftdi"}},
    {"UpgradeHangUpInTheTransfer", "upgrade", flash_bus, {"--hangup-after", "400"}},
    {"UpgradeStall", "upgrade", flash_bus, {"--stall-after", "600"}},
};

class OneVerdict : public testing::TestWithParam<Fault> {};

TEST_P(OneVerdict, MotorbusFailsTheBusExactlyWhereTheToolFails) {
    const Fault &f = GetParam();
    if (!f.shell.empty() && harness::emulated()) {
        GTEST_SKIP() << "the shell would start the target's programs itself";
    }
    TempDir dir;
    const std::string image = dir.file("image.bin", sim::sample_image(3000, 7));
    const auto machine = [&](bool faulty, std::vector<std::string> command) {
        std::vector<std::string> args = faulty ? f.fault : std::vector<std::string>{};
        for (const std::string &m :
             faulty && !f.faulty_motors.empty() ? f.faulty_motors : f.motors) {
            args.insert(args.end(), {"--motor", m});
        }
        args.insert(args.end(), {"--quiet", "--"});
        args.insert(args.end(), command.begin(), command.end());
        return std::async(std::launch::async, [args] { return harness::run_motorsim(args); });
    };
    std::vector<std::string> bus_command = {"motorbus", "--json", f.job};
    if (f.job == std::string("upgrade")) {
        bus_command.push_back(image);
    }
    bus_command.push_back("@" + f.ids);
    auto clean = machine(false, bus_command);
    auto faulty = machine(true, f.shell.empty() ? bus_command
                                                : std::vector<std::string>{"sh", "-c", f.shell});
    // The tool: ldrmode, runmode, or fwburn once per motor.
    std::vector<std::future<sim::RunResult>> tools;
    if (f.job == std::string("upgrade")) {
        for (const std::string &m : f.motors) {
            tools.push_back(machine(true, {"fwburn", "@", image, m.substr(0, m.find(':'))}));
        }
    } else {
        tools.push_back(machine(true, {f.job == std::string("scan") ? "ldrmode" : "runmode", "@"}));
    }
    bool tool_failed = !f.shell.empty(); // a program killed never succeeds
    std::set<std::string> tool_said;     // "@1.3 found", "@1.2 crc-error", "@1.1 flashed"
    for (size_t i = 0; i < tools.size(); ++i) {
        const sim::RunResult t = tools[i].get();
        ASSERT_FALSE(t.timed_out);
        tool_failed = tool_failed || t.exit_code != 0;
        const std::regex said(R"((\d+)\.Motor ID (\d+)|Motor (\d+) (firmware crc|did not find))");
        for (std::sregex_iterator m(t.out.begin(), t.out.end(), said), end; m != end; ++m) {
            tool_said.insert((*m)[2].matched             ? "@1." + (*m)[2].str() + " found"
                             : (*m)[4] == "firmware crc" ? "@1." + (*m)[3].str() + " crc-error"
                                                         : "@1." + (*m)[3].str() + " no-firmware");
        }
        if (f.job == std::string("upgrade") && t.exit_code == 0) {
            tool_said.insert("@1." + f.motors[i].substr(0, f.motors[i].find(':')) + " flashed");
        }
    }
    const sim::RunResult bad = faulty.get();
    const sim::RunResult good = clean.get();
    ASSERT_FALSE(bad.timed_out);
    const std::vector<Json> events = parse_lines(bad.out);
    const bool bus_failed = std::any_of(events.begin(), events.end(), [](const Json &e) {
        return e.at("type") == "bus-failed" || e.at("type") == "bus-error";
    });
    if (tool_failed) {
        EXPECT_EQ(bad.exit_code, 1) << bad.out << bad.err;
        EXPECT_TRUE(bus_failed) << bad.out;
        EXPECT_GE(events.back().at("buses_failed"), 1) << bad.out;
        return;
    }
    EXPECT_EQ(bad.exit_code, good.exit_code) << bad.out << bad.err;
    EXPECT_FALSE(bus_failed) << bad.out;
    const auto tags = motor_tags(events);
    EXPECT_EQ(tags, motor_tags(parse_lines(good.out))) << bad.out;
    // Where the tool speaks of a motor, motorbus says the same of it.
    const std::map<std::string, std::vector<std::string>> words = {
        {"scan", {"found"}}, {"health", {"crc-error", "no-firmware"}}, {"upgrade", {"flashed"}}};
    std::set<std::string> motorbus_said;
    for (const auto &[motor, said] : tags) {
        for (const std::string &word : words.at(f.job)) {
            if ((" " + said + " ").find(" " + word + " ") != std::string::npos) {
                motorbus_said.insert(motor + " " + word);
            }
        }
    }
    if (f.ids.empty()) {
        EXPECT_EQ(motorbus_said, tool_said);
    }
}

INSTANTIATE_TEST_SUITE_P(Motorbus, OneVerdict, testing::ValuesIn(faults),
                         [](const testing::TestParamInfo<Fault> &info) { return info.param.name; });

// A second Ctrl+C stops every bus at once: the motors in their flash are
// named as cut off (and are left erased), the one not begun as not attempted.
TEST(MotorbusInterrupt, SecondCtrlCStopsAtOnceAndNamesTheMotorsCutOff) {
    harness::TestBus one;
    harness::TestBus two;
    const sim::Fault slow{.on = sim::Frame::data, .first = 0, .count = 8, .delay_ms = 800};
    one.add_motor(1, sim::MotorState::firmware).faults.push_back(slow);
    one.add_motor(2, sim::MotorState::firmware);
    two.add_motor(3, sim::MotorState::firmware).faults.push_back(slow);
    // The flashes run from about 4 s (after the scan) to past 10 s.
    const double at = 5500 + harness::startup_ms();
    sim::bus_schedule(one.bus, sim::signal_at(at, SIGINT));
    sim::bus_schedule(one.bus, sim::signal_at(at + 1000, SIGINT));
    TempDir dir;
    const std::string image = dir.file("image.bin", sim::sample_image(3000, 7));
    sim::Bus *const buses[] = {&one.bus, &two.bus};
    const sim::RunResult r = sim::run_program(buses,
                                              {harness::tool("motorbus"), "--json", "upgrade",
                                               image, one.bus.slave_path, two.bus.slave_path},
                                              harness::shim());
    EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
    std::map<std::string, std::string> told;
    for (const Json &e : parse_lines(r.out)) {
        const std::string type = e.at("type");
        if (type == "cut-off" || type == "not-attempted") {
            const std::string bus = e.at("bus") == one.bus.slave_path ? "@1." : "@2.";
            told[bus + std::to_string(e.at("motor").get<int>())] = type;
            EXPECT_TRUE(type != "cut-off" ||
                        e.at("rescue").get<std::string>().starts_with("run 'motorbus rescue "))
                << e;
        }
        if (type == "summary") {
            EXPECT_EQ(e.at("cut_off"), 2);
            EXPECT_EQ(e.at("result"), "interrupted");
        }
    }
    const std::map<std::string, std::string> want = {
        {"@1.1", "cut-off"}, {"@1.2", "not-attempted"}, {"@2.3", "cut-off"}};
    EXPECT_EQ(told, want);
    EXPECT_EQ(one.bus.motors[0].firmware, sim::Firmware::none);
    EXPECT_EQ(two.bus.motors[0].firmware, sim::Firmware::none);
}

// Without a terminal: a plain line per event, then the table and the
// rescue steps of the motor cut off.
TEST(MotorbusText, PlainLinesThenTheTableAndTheRescue) {
    TempDir dir;
    const std::string image = dir.file("image.bin", sim::sample_image(3000, 7));
    const sim::RunResult r =
        harness::run_motorsim({"--quiet", "--motor", "1", "--fault", "1:data@2x3:refuse", "--motor",
                               "2", "--", "motorbus", "upgrade", image, "@"});
    EXPECT_EQ(r.exit_code, 1);
    for (const char *want :
         {": motor 1 found\n", ": motor 1 flashing\n",
          ": motor 2 not attempted: an earlier flash on this bus was cut off", "\nBUS ",
          " 1     chunk-refused ", " 2     not attempted ",
          "\nupgrade: 2 motor(s), 2 failed, 0 flashed in ", "\nrescue motor 1 on /dev/"}) {
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find('\033'), std::string::npos) << "nothing is redrawn";
}

// Command lines refused before any bus is touched, and a run on which no
// bus opens: status 2 and a message naming what is wrong.
TEST(MotorbusUsage, RefusedWithStatusTwoAndTheReason) {
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "usage: motorbus"},
        {{"frob", "@"}, "unknown command 'frob'"},
        {{"--frob", "scan", "@"}, "unknown option '--frob'"},
        {{"scan"}, "no bus given"},
        {{"upgrade", "@"}, "upgrade needs an image and at least one bus"},
        {{"scan", "@=15"}, "bad motor ids"},
        {{"scan", "@=1,x"}, "bad motor ids"},
        {{"scan", "@", "@=2"}, "given twice"},
        {{"scan", "@", "@node"}, "is the device of"}, // a second node of the pty (mknod)
        {{"scan", "--hold", "3", "@"}, "unknown option '--hold' for scan"},
        {{"rescue", dir.file("fw.bin", {1}), "@"},
         "rescue needs --hold SECONDS when standard "
         "input is no terminal"},
        {{"rescue", "--hold", "0", dir.file("fw.bin", {1}), "@"}, "bad --hold '0'"},
        {{"upgrade", dir.path, "@"}, "is not a regular file"},
        {{"upgrade", dir.file("empty.bin", {}), "@"}, "is empty"},
        {{"upgrade", dir.sparse("big.bin", 61441), "@"}, "is 60 KB, more than the 60 KB"},
        {{"health", dir.path + "/no-such-bus"}, "cannot open: No such file or directory"},
    };
    for (const auto &[args, message] : cases) {
        harness::TestBus line;
        std::vector<std::string> words = args;
        for (std::string &w : words) {
            struct stat st {};
            if (w == "@node" &&
                (stat(line.bus.slave_path.c_str(), &st) != 0 ||
                 mknod((dir.path + "/node").c_str(), S_IFCHR | 0600, st.st_rdev) != 0)) {
                GTEST_SKIP() << "mknod needs root";
            }
            w = w == "@node" ? dir.path + "/node"
                : w.starts_with("@")
                    ? line.bus.slave_path + w.substr(1) // "@=2": the bus and its ids
                    : w;
        }
        const sim::RunResult r = line.run("motorbus", words);
        EXPECT_EQ(r.exit_code, 2) << message;
        EXPECT_NE((r.out + r.err).find(message), std::string::npos) << r.out << r.err;
        EXPECT_TRUE(line.bus.wire.empty()) << message << ": the bus was written to";
    }
}

// history keeps each motor's latest record, a motor being its bus by its
// stable name where it has one; a line that is no record is left out.
TEST(MotorbusHistory, TheLatestRecordOfEachMotor) {
    TempDir dir;
    const auto record = [](const char *bus, const char *bus_id, const char *result) {
        return std::string(R"({"schema":1,"type":"flash","bus":")") + bus + R"(","bus_id":)" +
               bus_id + R"(,"motor":1,"result":")" + result + "\"}\n";
    };
    const std::string lines = record("/dev/ttyUSB0", "null", "chunk-refused") + "not a record\n" +
                              record("/dev/ttyUSB0", "null", "flashed") +
                              record("/dev/ttyUSB1", R"("/dev/serial/by-id/x")", "flashed") +
                              record("/dev/ttyUSB2", R"("/dev/serial/by-id/x")", "crc-mismatch");
    mkdir((dir.path + "/motorbus").c_str(), 0700);
    dir.file("motorbus/history.jsonl", std::vector<uint8_t>(lines.begin(), lines.end()));
    harness::TestBus idle;
    const auto shown = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"--json", "history"});
        const sim::RunResult r =
            idle.run("motorbus", words, harness::shim({"XDG_STATE_HOME=" + dir.path}));
        EXPECT_NE(r.err.find("1 line(s)"), std::string::npos) << r.err;
        std::string results;
        for (const Json &j : parse_lines(r.out)) {
            results +=
                j.at("bus").get<std::string>() + " " + j.at("result").get<std::string>() + "; ";
        }
        return results;
    };
    EXPECT_EQ(shown({}), "/dev/ttyUSB0 flashed; /dev/ttyUSB2 crc-mismatch; ");
    EXPECT_EQ(shown({"/dev/serial/by-id/x"}), "/dev/ttyUSB2 crc-mismatch; ");
    EXPECT_EQ(shown({"--all", "/dev/ttyUSB0=1"}),
              "/dev/ttyUSB0 chunk-refused; /dev/ttyUSB0 flashed; ");
}

} // namespace
