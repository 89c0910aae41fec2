// What a firmware file is, from its first bytes (image_format.h): ELF,
// Intel HEX, Motorola S-record, a wire trace, or a raw image.
#include "sequences/image_format.h"

#include "trace/trace_format.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace {

constexpr std::array<uint8_t, 4> elf_magic = {0x7F, 'E', 'L', 'F'};

struct Described {
    ImageFormat format;
    const char *what;
    const char *objcopy; // the options that make a raw image of it; null: none
};

constexpr std::array<Described, 4> described = {{
    {ImageFormat::elf, "an ELF file", "objcopy -O binary"},
    {ImageFormat::intel_hex, "an Intel HEX file", "objcopy -I ihex -O binary"},
    {ImageFormat::srec, "a Motorola S-record file", "objcopy -I srec -O binary"},
    {ImageFormat::trace, "a wire trace of these tools (MOTORBUS_TRACE)", nullptr},
}};

std::optional<uint8_t> hex_byte(std::span<const uint8_t> s, size_t at) {
    if (at + 2 > s.size()) {
        return std::nullopt;
    }
    int v = 0;
    for (size_t i = at; i < at + 2; ++i) {
        const int c = s[i];
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
        if (d < 0) {
            return std::nullopt;
        }
        v = v * 16 + d;
    }
    return static_cast<uint8_t>(v);
}

// One record's bytes in hex from `at` to the end of the first line: count
// bytes after the count itself (Intel HEX: count data bytes plus address,
// type and checksum; S-record: count bytes, checksum included). True when
// the line holds exactly those, then ends, and the bytes sum (count
// included) to want_sum modulo 256.
bool record_line(std::span<const uint8_t> head, size_t at, size_t extra, uint8_t want_sum) {
    const auto count = hex_byte(head, at);
    if (!count) {
        return false;
    }
    const size_t n = *count + extra;
    uint8_t sum = *count;
    for (size_t i = 0; i < n; ++i) {
        const auto b = hex_byte(head, at + 2 + 2 * i);
        if (!b) {
            return false;
        }
        sum = static_cast<uint8_t>(sum + *b);
    }
    const size_t end = at + 2 + 2 * n;
    const bool line_ends = end == head.size() || head[end] == '\n' ||
                           (head[end] == '\r' && end + 1 < head.size() && head[end + 1] == '\n');
    return line_ends && sum == want_sum;
}

bool starts_with(std::span<const uint8_t> head, std::string_view prefix) {
    return head.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), head.begin());
}

} // namespace

ImageFormat image_format(std::span<const uint8_t> head) {
    head = head.first(std::min(head.size(), image_format_head));
    if (head.size() >= elf_magic.size() &&
        std::equal(elf_magic.begin(), elf_magic.end(), head.begin())) {
        return ImageFormat::elf;
    }
    // ":LLAAAATT<data>CC": address, type and checksum follow the data; all
    // the bytes, checksum included, sum to 0.
    if (starts_with(head, ":") && record_line(head, 1, 4, 0)) {
        return ImageFormat::intel_hex;
    }
    // "StLL<address><data>CC": the count covers address, data and
    // checksum; the checksum is the complement of the sum before it.
    if (head.size() >= 2 && head[0] == 'S' && head[1] >= '0' && head[1] <= '9' &&
        record_line(head, 2, 0, 0xFF)) {
        return ImageFormat::srec;
    }
    // "# motorbus-trace N": any version of the format.
    const std::string_view first = trace_format_line;
    if (starts_with(head, first.substr(0, first.rfind(' ') + 1))) {
        return ImageFormat::trace;
    }
    return ImageFormat::raw;
}

std::string image_format_refusal(ImageFormat format, const std::string &path) {
    for (const Described &d : described) {
        if (d.format != format) {
            continue;
        }
        std::string line = path + " is " + d.what + ", not a raw image";
        if (d.objcopy == nullptr) {
            return line;
        }
        // The raw image beside it: its name with .bin for the extension.
        const size_t slash = path.rfind('/');
        const size_t dot = path.rfind('.');
        const bool has_ext =
            dot != std::string::npos && dot != 0 && (slash == std::string::npos || dot > slash + 1);
        std::string raw = (has_ext ? path.substr(0, dot) : path) + ".bin";
        if (raw == path) {
            raw = path.substr(0, dot) + "-raw.bin";
        }
        return line + "; make one with: " + d.objcopy + " " + path + " " + raw;
    }
    return "";
}
