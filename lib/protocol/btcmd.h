// The bootloader's command frames: a record (btcmd_data) encoded into the
// 4-byte frame FB cmd arg BB, and a 4-byte reply (FC ... or ... BB) decoded
// back into one. No I/O: the exchanges carry the bytes.
#pragma once

#include "protocol/wire.h"

#include <cstdint>

// The command codes (BTCMD_*) and status nibbles (BTSTAT_*) are in wire.h.

// One bootloader command or decoded reply.
struct btcmd_data {
    uint8_t id;     // motor id, low nibble only
    uint8_t param;  // second nibble, carried only by BTCMD_ID_PARAM
    uint8_t cmd;    // command code
    uint8_t status; // status nibble from a reply
    uint8_t err;    // 1 when the last decode failed, else 0
    uint16_t value; // image CRC for BTCMD_CRC
};

// Writes the 4-byte command frame for rec into buf[0..3]. For codes without an
// argument of their own (0, 2, 5, 7..255) buf[2] keeps whatever the caller put
// there. rec is cleared afterwards, except for BTCMD_CRC where it is kept.
void Modify_btcmd_data(uint8_t *buf, btcmd_data &rec);

// Decodes the 4-byte reply p[0..3] into rec (cleared first). Returns 0 on
// success; on failure every field is 0 except err = 1, and 1 is returned.
int Extract_btcmd_data(const uint8_t *p, btcmd_data &rec);
