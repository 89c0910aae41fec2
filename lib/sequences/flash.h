// The flash of one motor: open a download (which erases the motor's flash),
// stream the padded image in 16-byte data frames, each acknowledged with
// its sum and resent at most twice, have the bootloader confirm the image's
// CRC-16, and start the new firmware.
//
// flash_motor() prints nothing. It hands each step to one callback as a
// FlashEvent, and returns how the flash ended as a FlashOutcome; fwburn
// prints its texts from these, motorbus its lines and JSON objects.
//
// Waits: the mode switch (when asked) takes up to 1 s for the motor's
// answer and 1 s of sleep; the download reply and the CRC reply up to 10 s
// each (the motor erases or checks its flash); each acknowledgement, start
// attempt and the final query up to 1 s. Nothing waits longer.
#pragma once

#include <array>
#include <cstdint>

// The padded image: `size` bytes of the file followed by 0xFF up to
// `padded`, a whole number of 64-byte blocks; crc is CRC-16 of all padded
// bytes.
struct FlashImage {
    const uint8_t *data = nullptr;
    int size = 0;
    int padded = 0;
    uint16_t crc = 0;
};

struct FlashSteps {
    // Send the motor mode frame and sleep a second first. A motor that has
    // just answered a scan sits in its bootloader already and needs neither.
    bool mode_switch = true;
    // After the start, one query whose answer is not examined (a started
    // motor leaves it unanswered: a second lost).
    bool final_query = true;
};

enum class FlashEventKind : uint8_t {
    download_sent,  // the download command goes out now
    download_open,  // the bootloader answered it: the transfer follows
    chunk_accepted, // offset, percent
    chunk_refused,  // offset, sum, ack: the chunk is sent again (or the flash ends)
    crc_sent,       // the CRC command goes out now
    crc_reply,      // crc: the CRC the bootloader computed
    crc_confirmed,  // it equals the image's: the start follows
    start_done,     // started: whether the bootloader confirmed the start
};

struct FlashEvent {
    FlashEventKind kind = FlashEventKind::download_sent;
    uint8_t id = 0;
    int offset = 0;  // chunk events: the chunk's offset in the padded image
    int percent = 0; // chunk_accepted: share of the image sent, at most 100
    uint8_t sum = 0; // chunk_refused: our sum and the acknowledgement
    std::array<uint8_t, 2> ack{};
    uint16_t crc = 0;     // crc_reply
    bool started = false; // start_done
};

using FlashReport = void (*)(const FlashEvent &event, void *context);

enum class FlashResult : uint8_t {
    flashed,           // CRC confirmed and the start confirmed
    start_unconfirmed, // CRC confirmed, no attempt to start was answered
    crc_mismatch,      // the bootloader's CRC differs: the image is not kept
    download_refused,  // the reply to the download command does not decode
    download_timeout,  // no reply to the download command
    transfer_timeout,  // a chunk was not acknowledged in time
    chunk_refused,     // a chunk was refused three times in a row
    crc_timeout,       // no reply to the CRC command
};

struct FlashOutcome {
    FlashResult result = FlashResult::flashed;
    int offset = 0;  // transfer_timeout, chunk_refused: the chunk's offset
    uint8_t sum = 0; // chunk_refused: our sum and the last acknowledgement
    std::array<uint8_t, 2> ack{};
    uint16_t crc = 0; // the CRC the bootloader reported (crc_reply seen)
    int resent = 0;   // chunks sent again over the whole transfer
    // download_refused: the reply as received, zero-terminated, and its length.
    std::array<uint8_t, 64> reply{};
    int reply_len = 0;
};

// True for the ends that leave the bootloader in the middle of a download:
// it may still take whatever the bus carries next as data, so no further
// download on that bus can be trusted until the motor is power-cycled.
bool flash_cut_off(FlashResult result);

// A short English name of the result ("flashed", "crc-mismatch", ...), stable
// for scripts.
const char *flash_result_name(FlashResult result);

// Flashes motor id on the bus. report may be null. From the download on,
// SIGHUP, SIGPIPE and SIGXFSZ are ignored: a lost terminal or a reader that
// quits must not leave the motor erased.
FlashOutcome flash_motor(int serial, int pollset, uint8_t id, const FlashImage &image,
                         const FlashSteps &steps, FlashReport report, void *context);
