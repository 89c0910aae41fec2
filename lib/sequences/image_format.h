// What a firmware file is, told from its first bytes, before anything is
// sent: a motor's flash is erased as soon as a download opens, so a file
// that can never run must be refused before the port is opened.
//
// A raw image is any bytes. Refused are only the files that are plainly
// something else: an ELF file (7F 45 4C 46), an Intel HEX or a Motorola
// S-record file (a first line that is one well-formed record: ':' or S0 to
// S9, hex digits of the length its count gives, a correct checksum), and a
// wire trace of these tools (its first line). Each comes with one line for
// the user: what the file is and, where objcopy makes a raw image of it,
// the command.
#pragma once

#include <cstdint>
#include <span>
#include <string>

enum class ImageFormat : uint8_t { raw, elf, intel_hex, srec, trace };

// How many of a file's first bytes image_format() may look at: an Intel HEX
// or S-record line of 255 data bytes and its line end.
constexpr size_t image_format_head = 528;

// The format of a file whose first bytes (up to image_format_head) are head.
ImageFormat image_format(std::span<const uint8_t> head);

// "PATH is an ELF file, not a raw image; make one with: objcopy -O binary
// PATH STEM.bin", and the like; empty for a raw image.
std::string image_format_refusal(ImageFormat format, const std::string &path);
