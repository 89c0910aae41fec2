// CRC-16 (crc_ccitt.h): the byte-wise table of the reflected polynomial
// 0x8408, and the loop over it.
#include "protocol/crc_ccitt.h"

namespace {

constexpr uint16_t CRC_POLY_REFLECTED = 0x8408;

// Entry n is the register started at n after eight LSB-first shift steps.
constexpr std::array<uint16_t, 256> make_crc_ccitt_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned n = 0; n < table.size(); ++n) {
        uint16_t reg = static_cast<uint16_t>(n);
        for (int bit = 0; bit < 8; ++bit) {
            const bool out = (reg & 1U) != 0;
            reg = static_cast<uint16_t>(reg >> 1);
            if (out) {
                reg ^= CRC_POLY_REFLECTED;
            }
        }
        table[n] = reg;
    }
    return table;
}

} // namespace

constexpr std::array<uint16_t, 256> crc_ccitt_table = make_crc_ccitt_table();

uint16_t crc_ccitt(uint16_t crc, const uint8_t *data, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ crc_ccitt_table[(crc ^ data[i]) & 0xFF]);
    }
    return crc;
}
