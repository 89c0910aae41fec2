#include "motor.h"

#include <cstdio>

namespace sim {

namespace {

// The motor's side of the wire, spelt here on purpose rather than taken from
// lib/wire.h: the simulation checks the tools, so a byte the tools get wrong
// must not be wrong in the motors they are tested against too.
constexpr uint8_t reply_lead = 0xFC;
constexpr uint8_t command_lead = 0xFB;
constexpr uint8_t trailer = 0xBB;
constexpr uint8_t ack_refused = 0xEE;
constexpr uint8_t status_crc_error = 12;
constexpr uint8_t status_no_firmware = 14;
constexpr uint8_t enter_bootloader = 7;
constexpr uint8_t every_motor = 15;
// A motor answers a scan after a pause that grows with its id, so that the
// answers of several motors do not collide on the bus.
constexpr int scan_stagger_ms = 1;

const Fault *find_fault(const Motor &m, Frame kind, int occurrence) {
    for (const Fault &f : m.faults) {
        if (f.on == kind && occurrence >= f.first &&
            (f.count < 0 || occurrence < f.first + f.count)) {
            return &f;
        }
    }
    return nullptr;
}

std::optional<Frame> command_kind(std::span<const uint8_t> frame) {
    if (frame[1] != 6 && frame[3] != trailer) {
        return std::nullopt;
    }
    switch (frame[1]) {
    case 0:
        return Frame::scan;
    case 1:
        return Frame::id_param;
    case 2:
        return Frame::download;
    case 3:
        return Frame::query;
    case 4:
        return Frame::start;
    case 6:
        return Frame::crc;
    default:
        return std::nullopt;
    }
}

// Carries out a frame the motor is meant to act on and returns its normal
// answer (empty when it answers nothing).
std::vector<uint8_t> act(Motor &m, Frame kind, std::span<const uint8_t> frame, const Fault *fault) {
    switch (kind) {
    case Frame::mode: {
        const uint8_t target = frame[2] & 0x0F;
        if (frame[2] >> 4 == enter_bootloader) {
            m.state = MotorState::bootloader;
        }
        if (target == every_motor) {
            return {}; // nobody answers a frame for all motors
        }
        // The running firmware's answer: its own header and mode byte, closed by a CRC.
        std::vector<uint8_t> a(16, 0);
        a[0] = 0xFE;
        a[1] = 0xEE;
        a[2] = frame[2];
        const uint16_t crc = crc16(std::span(a).first(14));
        a[14] = static_cast<uint8_t>(crc & 0xFF);
        a[15] = static_cast<uint8_t>(crc >> 8);
        return a;
    }
    case Frame::scan:
        return {m.id};
    case Frame::id_param:
        m.id = frame[2] >> 4;
        return {reply_lead, 1, m.id, 0};
    case Frame::download:
        // The flash is erased when a download opens. Only a running firmware
        // hears mode frames, so a fault on them (a firmware deaf to the mode
        // frame: a bad rollout) is that firmware's and goes with it.
        m.downloading = true;
        m.incoming.clear();
        m.image.clear();
        m.firmware = Firmware::none;
        for (Fault &f : m.faults) {
            if (f.on == Frame::mode) {
                f.count = 0; // covers no frame from now on
            }
        }
        if (m.command_form) {
            return {command_lead, 2, m.id, trailer};
        }
        return {reply_lead, 2, m.id, 0};
    case Frame::data: {
        uint8_t sum = 0;
        for (size_t i = 0; i < 16; ++i) {
            sum = static_cast<uint8_t>(sum + frame[i]);
        }
        if (sum != frame[16] || (fault != nullptr && fault->refuse)) {
            return {sum, ack_refused};
        }
        const size_t at = m.incoming.size();
        m.incoming.insert(m.incoming.end(), frame.begin(), frame.begin() + 16);
        if (fault != nullptr && fault->corrupt_store) {
            m.incoming[at] ^= 0x01;
        }
        return {sum, 0};
    }
    case Frame::crc: {
        const uint16_t crc = crc16(m.incoming);
        const uint16_t host_crc = static_cast<uint16_t>(frame[2] << 8 | frame[3]);
        m.image = m.incoming;
        m.firmware = crc == host_crc ? Firmware::valid : Firmware::corrupt;
        m.downloading = false;
        return {reply_lead, 6, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc & 0xFF)};
    }
    case Frame::start:
        if (m.firmware != Firmware::valid) {
            return {}; // a bootloader without a good image stays where it is
        }
        m.state = MotorState::firmware;
        if (m.command_form) {
            return {command_lead, 4, m.id, trailer};
        }
        return {reply_lead, 4, m.id, 0};
    case Frame::query: {
        const uint8_t status = m.firmware == Firmware::valid     ? 0
                               : m.firmware == Firmware::corrupt ? status_crc_error
                                                                 : status_no_firmware;
        return {reply_lead, 3, static_cast<uint8_t>(status << 4 | m.id), 0};
    }
    }
    return {};
}

} // namespace

uint16_t crc16(std::span<const uint8_t> data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::array<uint8_t, 17> mode_frame(uint8_t id, uint8_t mode) {
    std::array<uint8_t, 17> f{};
    f[0] = 0xFE;
    f[1] = 0xEE;
    f[2] = static_cast<uint8_t>(mode << 4 | (id & 0x0F));
    const uint16_t crc = crc16(std::span(f).first(15));
    f[15] = static_cast<uint8_t>(crc & 0xFF);
    f[16] = static_cast<uint8_t>(crc >> 8);
    return f;
}

bool is_mode_frame(std::span<const uint8_t> frame) {
    return frame.size() == 17 && frame[0] == 0xFE && frame[1] == 0xEE &&
           crc16(frame.first(15)) == (frame[15] | frame[16] << 8);
}

std::optional<Answer> motor_hear(Motor &m, std::span<const uint8_t> frame, bool data_frame) {
    if (m.state == MotorState::off) {
        return std::nullopt;
    }
    std::optional<Frame> kind;
    if (data_frame) {
        if (m.state == MotorState::bootloader && m.downloading) {
            kind = Frame::data;
        }
    } else if (frame.size() == 17) {
        if (m.state == MotorState::firmware) {
            const uint8_t target = frame[2] & 0x0F;
            if (target == m.id || target == every_motor) {
                kind = Frame::mode;
            }
        } else {
            m.downloading = false; // a bootloader drops an open download, hears nothing else
        }
    } else if (m.state == MotorState::bootloader) {
        kind = command_kind(frame);
        const bool addressed = frame[2] == m.id;
        if ((kind == Frame::download || kind == Frame::query || kind == Frame::start) &&
            !addressed) {
            kind.reset();
        }
        if (kind == Frame::id_param && (frame[2] & 0x0F) != m.id) {
            kind.reset();
        }
        if (kind == Frame::crc && !m.downloading) {
            kind.reset();
        }
    }
    if (!kind) {
        return std::nullopt;
    }

    const int index = static_cast<int>(*kind);
    const Fault *fault = find_fault(m, *kind, m.seen[index]);
    ++m.seen[index];
    if (fault != nullptr && fault->deaf) {
        return std::nullopt;
    }

    Answer answer;
    answer.bytes = act(m, *kind, frame, fault);
    if (*kind == Frame::scan) {
        answer.delay_ms = scan_stagger_ms * (m.id + 1);
    }
    if (fault != nullptr) {
        if (fault->silent) {
            return std::nullopt;
        }
        if (!fault->replace.empty()) {
            answer.bytes = fault->replace;
        }
        for (size_t i = 0; i < fault->patch.size() && i < answer.bytes.size(); ++i) {
            if (fault->patch[i] >= 0) {
                answer.bytes[i] = static_cast<uint8_t>(fault->patch[i]);
            }
        }
        for (size_t i = 0; i < fault->flip.size() && i < answer.bytes.size(); ++i) {
            answer.bytes[i] ^= fault->flip[i];
        }
        if (fault->cut >= 0 && static_cast<size_t>(fault->cut) < answer.bytes.size()) {
            answer.bytes.resize(static_cast<size_t>(fault->cut));
        }
        answer.bytes.insert(answer.bytes.end(), fault->extra.begin(), fault->extra.end());
        answer.delay_ms += fault->delay_ms;
    }
    if (answer.bytes.empty()) {
        return std::nullopt;
    }
    return answer;
}

void motor_boot(Motor &m, bool hold_off_seen) {
    m.held_off = hold_off_seen;
    m.state = (!hold_off_seen && m.firmware == Firmware::valid) ? MotorState::firmware
                                                                : MotorState::bootloader;
}

std::vector<uint8_t> sample_image(size_t n, uint32_t seed) {
    std::vector<uint8_t> image(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return image;
}

const char *state_name(MotorState s) {
    switch (s) {
    case MotorState::off:
        return "off";
    case MotorState::firmware:
        return "running its firmware";
    case MotorState::bootloader:
        return "in its bootloader";
    }
    return "?";
}

const char *firmware_name(Firmware f) {
    switch (f) {
    case Firmware::none:
        return "no image";
    case Firmware::valid:
        return "valid";
    case Firmware::corrupt:
        return "corrupt (CRC check fails)";
    }
    return "?";
}

const char *frame_name(Frame f) {
    constexpr const char *names[frame_kinds] = {"mode", "scan", "id",    "download",
                                                "data", "crc",  "start", "query"};
    return names[static_cast<int>(f)];
}

std::string describe(const Motor &m) {
    char line[200];
    if (m.firmware == Firmware::none) {
        snprintf(line, sizeof line, "motor %d: %s, no image", m.id, state_name(m.state));
    } else {
        snprintf(line, sizeof line, "motor %d: %s, image %zu bytes, CRC %04X, %s", m.id,
                 state_name(m.state), m.image.size(), crc16(m.image), firmware_name(m.firmware));
    }
    std::string s = line;
    if (m.held_off) {
        s += ", held off at power-up";
    }
    if (m.command_form) {
        s += ", acknowledges in the command form";
    }
    std::string heard;
    for (int k = 0; k < frame_kinds; ++k) {
        if (m.seen[static_cast<size_t>(k)] > 0) {
            heard += (heard.empty() ? "" : ", ") + std::to_string(m.seen[static_cast<size_t>(k)]) +
                     " " + frame_name(static_cast<Frame>(k));
        }
    }
    return s + "; heard " + (heard.empty() ? "nothing" : heard);
}

} // namespace sim
