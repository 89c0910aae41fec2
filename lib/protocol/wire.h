// The bytes the tools put on the bus and look for in what comes back, each
// named once: the codec, the motor mode frame, the trace's labels and the
// four tools all take them from here.
#pragma once

#include <array>
#include <cstdint>

// ---- Bootloader frames ----------------------------------------------------------
//
// A command is FB cmd arg BB; a reply FC cmd arg status, or, from a motor
// that keeps the command form, ... BB. The CRC command and its reply carry
// the CRC in place of the last two bytes, high byte first.

constexpr uint8_t command_lead = 0xFB;
constexpr uint8_t reply_lead = 0xFC;
constexpr uint8_t frame_trailer = 0xBB;

// Command codes (the second byte of a command frame).
constexpr uint8_t BTCMD_SCAN = 0;
constexpr uint8_t BTCMD_ID_PARAM = 1;
constexpr uint8_t BTCMD_DOWNLOAD = 2;
constexpr uint8_t BTCMD_QUERY = 3;
constexpr uint8_t BTCMD_START = 4;
constexpr uint8_t BTCMD_CRC = 6;

// Status nibbles a bootloader reports in its reply to BTCMD_QUERY.
constexpr uint8_t BTSTAT_CRC_ERROR = 12;
constexpr uint8_t BTSTAT_NO_FIRMWARE = 14;

// The scan: every bootloader on the bus answers with one byte, its id.
constexpr std::array<uint8_t, 4> scan_command = {command_lead, BTCMD_SCAN, 0x00, frame_trailer};

// The second byte of a data frame's acknowledgement when the bootloader
// refuses the chunk (the first is the sum it computed).
constexpr uint8_t ack_refused = 0xEE;

// ---- Motor mode frame -------------------------------------------------------------

// The first two bytes of the 17-byte motor mode frame.
constexpr std::array<uint8_t, 2> mode_frame_lead = {0xFE, 0xEE};

// Mode 7, in the high nibble of the mode byte (the id is in the low one):
// the motor goes into its bootloader.
constexpr uint8_t mode_bootloader = 0x70;

// The mode frame for id 15 (every motor), mode 7: the lead, the mode byte,
// twelve zero bytes and the CRC-16 of bytes 0 to 14, low byte first.
constexpr std::array<uint8_t, 17> broadcast_mode_frame = [] {
    std::array<uint8_t, 17> frame{};
    frame[0] = mode_frame_lead[0];
    frame[1] = mode_frame_lead[1];
    frame[2] = mode_bootloader | 15;
    frame[15] = 0x6F;
    frame[16] = 0x9A;
    return frame;
}();

// ---- Hold-off -----------------------------------------------------------------------

// A motor that hears this pattern while it powers up does not boot its firmware.
constexpr std::array<uint8_t, 4> hold_off_pattern = {0x18, 0x18, 0x18, 0x18};
