// The Tiny Encryption Algorithm, a block cipher: part of the library
// fwburn links, called by no program.
#pragma once

#include <cstdint>

// Tiny Encryption Algorithm, 32 cycles: enciphers or deciphers in place the
// 64-bit block v[0], v[1] with the 128-bit key k[0..3].
void encrypt(uint32_t *v, const uint32_t *k);
void decrypt(uint32_t *v, const uint32_t *k);
