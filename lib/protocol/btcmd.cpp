// The bootloader command frame codec (btcmd.h).
#include "protocol/btcmd.h"

namespace {

void clear(btcmd_data &rec) {
    rec = btcmd_data{};
}

uint8_t low_nibble(uint8_t b) {
    return static_cast<uint8_t>(b & 0x0F);
}
uint8_t high_nibble(uint8_t b) {
    return static_cast<uint8_t>(b >> 4);
}

} // namespace

void Modify_btcmd_data(uint8_t *buf, btcmd_data &rec) {
    buf[0] = command_lead;
    buf[1] = rec.cmd;

    switch (rec.cmd) {
    case BTCMD_ID_PARAM:
        // Two nibbles packed into one byte; the id is added, not masked, so an
        // out-of-range id spills into the parameter nibble (wrapping at 256).
        buf[2] = static_cast<uint8_t>(low_nibble(rec.param) * 16 + rec.id);
        buf[3] = frame_trailer;
        clear(rec);
        break;
    case BTCMD_QUERY:
    case BTCMD_START:
        buf[2] = rec.id;
        buf[3] = frame_trailer;
        clear(rec);
        break;
    case BTCMD_CRC:
        // The CRC replaces the argument and the tail, high byte first. The
        // record is kept so the caller can compare it with the reply.
        buf[2] = static_cast<uint8_t>(rec.value >> 8);
        buf[3] = static_cast<uint8_t>(rec.value & 0xFF);
        break;
    default:
        // No argument of its own: byte 2 is left to the caller (the scan
        // sends 00 there, the download its target id).
        buf[3] = frame_trailer;
        clear(rec);
        break;
    }
}

int Extract_btcmd_data(const uint8_t *p, btcmd_data &rec) {
    clear(rec);

    if (p[1] == BTCMD_CRC) {
        // The lead byte decides first: a CRC reply may well end in 0xBB.
        if (p[0] == reply_lead) {
            rec.id = 15;
            rec.cmd = BTCMD_CRC;
            rec.value = static_cast<uint16_t>(p[2] << 8 | p[3]);
            return 0;
        }
        if (p[3] == frame_trailer) {
            rec.id = low_nibble(p[2]);
            rec.cmd = BTCMD_CRC;
            rec.status = high_nibble(p[3]);
            return 0;
        }
    } else if (p[0] == reply_lead || p[3] == frame_trailer) {
        rec.id = low_nibble(p[2]);
        rec.cmd = p[1];
        // A query reply carries its status next to the id; every other reply
        // carries it in the last byte.
        rec.status = high_nibble(p[1] == BTCMD_QUERY ? p[2] : p[3]);
        return 0;
    }

    rec.err = 1;
    return 1;
}
