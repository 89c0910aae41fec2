// Fuzz target: the replay of a wire trace fed arbitrary text, as a user may
// hand in an edited or damaged file. Reading must end in a message or in a
// replay within the limits; a replay is then run as far as the host can
// follow it: the recorded writes in order (a hold-off flood up to a bound),
// then the rest of the input as a host that departs. Every answer it
// schedules must fall within the limits of a delay.
#include "replay.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

void check_due(const auto &list, double from_ms) {
    for (const sim::Scheduled &s : list) {
        if (!std::isfinite(s.at_ms) || s.at_ms < from_ms ||
            s.at_ms > from_ms + sim::replay_max_delay_us / 1000.0 + 1e6) {
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    sim::Replay replay;
    std::string error;
    if (!sim::replay_parse(text, "fuzz.trace", replay, error)) {
        if (error.empty()) {
            abort(); // a refusal always says why
        }
        return 0;
    }
    if (replay.exit_status < 0 && replay.cut.empty()) {
        abort(); // a trace without its exit status says why it ends early
    }
    check_due(replay.before, 0);
    for (const sim::ReplayStep &s : replay.steps) {
        if (s.patterns != s.host.empty() || s.host.size() > sim::replay_max_record_bytes) {
            abort();
        }
        check_due(s.after, 0);
    }

    sim::Bus bus; // no line: only the schedule is exercised
    bus.t0 = sim::Clock::now();
    sim::replay_attach(bus, replay);
    size_t budget = 1 << 16; // host bytes fed in all
    for (size_t k = 0; k < replay.steps.size() && budget > 0 && !replay.departed; ++k) {
        const sim::ReplayStep &s = replay.steps[k];
        std::vector<uint8_t> host = s.host;
        if (s.patterns) {
            host.assign(std::min<uint64_t>(s.pattern_bytes, budget), 0x18);
        }
        budget -= std::min(budget, host.size());
        sim::replay_host_bytes(bus, replay, host);
    }
    const uint8_t *tail = data + size / 2;
    sim::replay_host_bytes(bus, replay, std::span<const uint8_t>(tail, data + size));
    check_due(bus.schedule, 0);
    if (replay.step > replay.steps.size() + 1 || sim::replay_describe(replay).empty()) {
        abort();
    }
    return 0;
}
