// A simulated motor: what it does with the frames it hears on the bus and
// what it answers. The wire formats are the ones the tools speak; everything
// else about the motor (answer timing, the 16-byte answer to a mode frame,
// the query status of a good image) is this simulation's own choice.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

enum class MotorState : uint8_t { off, firmware, bootloader };
enum class Firmware : uint8_t { none, valid, corrupt };

// The frames a motor reacts to; each is counted per motor, and fault rules
// select them by kind and occurrence.
enum class Frame : uint8_t { mode, scan, id_param, download, data, crc, start, query };
constexpr int frame_kinds = 8;

// A fault rule: changes how a motor answers the occurrences
// [first, first + count) of one kind of frame (count -1: all from first on).
struct Fault {
    Frame on = Frame::query;
    int first = 0;
    int count = 1;
    bool deaf = false;              // the motor does not hear the frame at all
    bool silent = false;            // the frame takes effect, but nothing is answered
    int delay_ms = 0;               // the answer comes this much later
    int cut = -1;                   // only the first `cut` bytes of the answer are sent
    std::vector<int> patch{};       // per answer byte: -1 keeps it, 0..255 replaces it
    std::vector<uint8_t> flip{};    // per answer byte: XORed into it
    std::vector<uint8_t> replace{}; // when not empty: sent instead of the answer
    std::vector<uint8_t> extra{};   // sent after the answer
    bool corrupt_store = false;     // data frame: acknowledged as good, stored with a bit flipped
    bool refuse = false;            // data frame: not stored, answered [sum, EE]
};

struct Motor {
    uint8_t id = 0;
    MotorState state = MotorState::bootloader;
    Firmware firmware = Firmware::none;
    std::vector<uint8_t> image; // the image in the motor's flash
    std::vector<Fault> faults;
    double power_on_ms = -1; // >= 0: off until then, then it boots
    // Acknowledges a download and a start in the command form, with the
    // command's own bytes (FB cmd id BB), as some bootloaders do.
    bool command_form = false;

    // Run-time state, kept for the account of what happened.
    bool downloading = false;
    std::vector<uint8_t> incoming;
    std::array<int, frame_kinds> seen{}; // frames handled, per kind
    bool held_off = false;               // kept in its bootloader by the hold-off pattern
};

struct Answer {
    std::vector<uint8_t> bytes;
    int delay_ms = 0;
};

// CRC-16 as the motors compute it (reflected 0x1021, start 0), bit by bit:
// a computation of its own, not the tools' table (lib/crc_ccitt), so that
// the simulated motors check the tools' CRC rather than share its faults.
uint16_t crc16(std::span<const uint8_t> data);

// The 17-byte mode frame for an id and a mode.
std::array<uint8_t, 17> mode_frame(uint8_t id, uint8_t mode);
bool is_mode_frame(std::span<const uint8_t> frame);

// A motor hears a 17-byte mode frame, a 4-byte command frame, or (while it
// downloads) a 17-byte data frame. Updates the motor and returns its answer.
std::optional<Answer> motor_hear(Motor &m, std::span<const uint8_t> frame, bool data_frame);

// Power-up: the motor boots its firmware if it has a valid one, unless the
// hold-off pattern was on the bus while it powered up.
void motor_boot(Motor &m, bool hold_off_seen);

// Deterministic sample image of n bytes.
std::vector<uint8_t> sample_image(size_t n, uint32_t seed = 1);

const char *state_name(MotorState s);
const char *firmware_name(Firmware f);
const char *frame_name(Frame f);
std::string describe(const Motor &m);

} // namespace sim
