// motorbus against machines of several buses, made by motorsim: each case
// is a machine, the command run on it and what must come of every motor.
// The JSON Lines are read with a real parser; what a motor ends up holding
// is read from motorsim's account.
#include "harness.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

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

class Machine : public testing::TestWithParam<Case> {};

TEST_P(Machine, EveryMotorEndsAsExpected) {
    const Case &c = GetParam();
    TempDir dir;
    const std::string image = dir.file("image.bin", sim::sample_image(3000, 7));
    std::vector<std::string> args = c.machine;
    args.insert(args.end(), {"--", "motorbus", "--json"});
    for (const std::string &w : c.command) {
        args.push_back(w == "IMAGE" ? image : w);
    }
    const sim::RunResult r = harness::run_motorsim(args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.status) << r.out << r.err;

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
    std::map<std::string, std::string> bus_name;
    const Json &buses = events.front().at("buses");
    for (size_t i = 0; i < buses.size(); ++i) {
        bus_name[buses[i]] = "@" + std::to_string(i + 1);
    }

    std::map<std::string, std::string> seen;
    for (const Json &e : events) {
        if (!e.contains("motor")) {
            continue;
        }
        const std::string key =
            bus_name.at(e.at("bus")) + "." + std::to_string(e.at("motor").get<int>());
        const std::string type = e.at("type");
        std::string tag;
        if (type == "found" || type == "not-found") {
            tag = type;
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
    EXPECT_EQ(seen, c.motors);
    for (const auto &[field, count] : c.summary) {
        EXPECT_EQ(last.at(field), count) << field;
    }

    // What a motor flashed and running holds, motorsim says: the image.
    // With several buses its account names each motor's bus.
    if (c.command[0] == std::string("upgrade")) {
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
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Motorbus, Machine, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });
