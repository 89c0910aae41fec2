// The motor mode frame, spoken to a motor that runs its firmware.
#pragma once

#include <array>
#include <cstdint>

// The 17-byte frame FE EE, mode byte 0x70 | (id & 0x0F), twelve zero bytes,
// and the CRC-16 of bytes 0 to 14, low byte first. Mode 7 sends the motor
// (or, with id 15, every motor) into its bootloader.
std::array<uint8_t, 17> MotorCtrl_ModeFrame(uint8_t id);

// Sends the mode frame to motor `id` and waits up to one second for its
// 16-byte answer, which is read and not examined. The caller is not told
// whether the motor answered.
void MotorCtrl_SetMode(int fd, int pollset, uint8_t id);
