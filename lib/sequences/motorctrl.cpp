// The motor mode frame (motorctrl.h): built for an id and sent in one
// exchange whose answer is not examined.
#include "sequences/motorctrl.h"

#include "line/LSerial_linux.h"
#include "protocol/crc_ccitt.h"
#include "protocol/wire.h"

namespace {
constexpr uint16_t answer_len = 16;
} // namespace

std::array<uint8_t, 17> MotorCtrl_ModeFrame(uint8_t id) {
    std::array<uint8_t, 17> frame{};
    frame[0] = mode_frame_lead[0];
    frame[1] = mode_frame_lead[1];
    frame[2] = mode_bootloader | (id & 0x0F);
    const uint16_t crc = crc_ccitt(0, frame.data(), 15);
    frame[15] = static_cast<uint8_t>(crc & 0xFF);
    frame[16] = static_cast<uint8_t>(crc >> 8);
    return frame;
}

void MotorCtrl_SetMode(int fd, int pollset, uint8_t id) {
    const std::array<uint8_t, 17> frame = MotorCtrl_ModeFrame(id);
    uint8_t answer[answer_len] = {};
    send_recv(fd, pollset, frame.data(), frame.size(), answer, answer_len);
}
