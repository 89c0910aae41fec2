// What the host writes on the bus, by name, and what fwburn prints: shared
// by the tests so that each one reads as its case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

// Lengths, in bytes, of the frames the host writes.
constexpr size_t mode_len = 17;   // motor-mode frame: the switch to the bootloader
constexpr size_t command_len = 4; // bootloader command: FB code argument BB
constexpr size_t data_len = 17;   // data frame: a chunk and its sum
constexpr size_t chunk_len = 16;  // image bytes in one data frame
constexpr size_t block_len = 64;  // images are padded with 0xFF to whole blocks

// Codes of the bootloader commands (the second byte of a command frame),
// kept apart from lib/wire.h's on purpose: the tests check the tools' codes.
enum Code : uint8_t { scan = 0, set_id = 1, download = 2, query = 3, start = 4, crc = 6 };

// The image as fwburn sends it: padded with 0xFF to a whole number of blocks.
Bytes padded(Bytes image);
// Data frames fwburn sends for an image of `size` bytes.
constexpr size_t chunks_of(size_t size) {
    return (size + block_len - 1) / block_len * block_len / chunk_len;
}
// Host bytes of a flash of an image of `size` bytes up to the end of these
// steps: the mode switch and the download command, then `data` data frames,
// then `commands` more commands (the CRC, the starts, the query).
constexpr size_t flash_bytes(size_t data, size_t commands = 0) {
    return mode_len + command_len + data * data_len + commands * command_len;
}

Bytes command(Code code, uint8_t arg);
Bytes crc_command(uint16_t crc);
Bytes mode_frame(uint8_t id);
// The data frame of the chunk at offset `at` of a padded image.
Bytes data_frame(const Bytes &pad, size_t at);
void append(Bytes &to, const Bytes &more);
// What fwburn writes up to and including the CRC command, every chunk once.
Bytes wire_to_crc(uint8_t id, const Bytes &pad);

// ---- fwburn's standard output ------------------------------------------------

// Checks fwburn's banner (six lines of 57 block-letter characters and a blank
// line) and returns what follows it.
std::string after_banner(const std::string &out);
// "File: ..." and "flash N" up to the wait for the motor's reply.
std::string flash_head(size_t size, const Bytes &pad, int id);
// The bar as fwburn draws it for these percentages in turn.
std::string progress_of(const std::vector<int> &percents);
// The console after the banner up to the end of a transfer with this bar.
std::string transferred(size_t size, const Bytes &pad, int id, const std::vector<int> &percents);
// The CRC check's lines after the bar: verified or not.
std::string crc_verdict(uint16_t crc, bool ok);

} // namespace frames
