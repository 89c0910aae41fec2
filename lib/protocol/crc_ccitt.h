// The CRC-16 of the motor mode frame and of a whole firmware image:
// CRC-CCITT, reflected, from a table computed ahead of time.
#pragma once

#include <array>
#include <cstdint>

// Byte-wise lookup table of CRC-CCITT (0x1021) in its reflected form 0x8408.
extern const std::array<uint16_t, 256> crc_ccitt_table;

// Continues the CRC from crc over count bytes at data and returns the result.
// Reflected, no final XOR: started from 0 this is the KERMIT CRC-16.
uint16_t crc_ccitt(uint16_t crc, const uint8_t *data, uint64_t count);
