// The Tiny Encryption Algorithm (tea.h): 32 cycles, delta 0x9E3779B9.
#include "protocol/tea.h"

namespace {

constexpr uint32_t TEA_DELTA = 0x9E3779B9;
constexpr int TEA_CYCLES = 32;
// Sum after all cycles: TEA_DELTA * TEA_CYCLES modulo 2^32.
constexpr uint32_t TEA_SUM_END = TEA_DELTA * TEA_CYCLES;
static_assert(TEA_SUM_END == 0xC6EF3720);

uint32_t mix(uint32_t x, uint32_t sum, uint32_t ka, uint32_t kb) {
    return ((x << 4) + ka) ^ (x + sum) ^ ((x >> 5) + kb);
}

} // namespace

void encrypt(uint32_t *v, const uint32_t *k) {
    uint32_t v0 = v[0];
    uint32_t v1 = v[1];
    uint32_t sum = 0;
    for (int i = 0; i < TEA_CYCLES; ++i) {
        sum += TEA_DELTA;
        v0 += mix(v1, sum, k[0], k[1]);
        v1 += mix(v0, sum, k[2], k[3]);
    }
    v[0] = v0;
    v[1] = v1;
}

void decrypt(uint32_t *v, const uint32_t *k) {
    uint32_t v0 = v[0];
    uint32_t v1 = v[1];
    uint32_t sum = TEA_SUM_END;
    for (int i = 0; i < TEA_CYCLES; ++i) {
        v1 -= mix(v0, sum, k[2], k[3]);
        v0 -= mix(v1, sum, k[0], k[1]);
        sum -= TEA_DELTA;
    }
    v[0] = v0;
    v[1] = v1;
}
