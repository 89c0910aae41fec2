// Fuzz target: decoding of bootloader replies and the encoder's record handling.
// Any 4 bytes must decode to a record that obeys the decoder's rules.
#include "protocol/btcmd.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) {
        return 0;
    }
    btcmd_data rec;
    memset(&rec, 0xA5, sizeof rec);
    const int r = Extract_btcmd_data(data, rec);
    const bool recognised = data[0] == 0xFC || data[3] == 0xBB;
    if (r != rec.err || r != (recognised ? 0 : 1)) {
        abort();
    }
    if (r == 1 && (rec.id | rec.param | rec.cmd | rec.status | rec.value) != 0) {
        abort(); // a failed decode leaves every field but err at 0
    }
    if (r == 0 && (rec.id > 15 || rec.status > 15 || rec.param != 0 || rec.cmd != data[1])) {
        abort();
    }
    if (r == 0 && rec.value != 0 && !(data[0] == 0xFC && data[1] == BTCMD_CRC)) {
        abort(); // only the lead-byte CRC reply carries a value
    }

    // Encoding any record writes the frame header and keeps the record only for the CRC command.
    if (size >= 10) {
        btcmd_data cmd{data[4], data[5], data[6], data[7], data[8], static_cast<uint16_t>(data[9])};
        uint8_t frame[5] = {0, 0, 0x5A, 0, 0x77};
        const btcmd_data before = cmd;
        Modify_btcmd_data(frame, cmd);
        if (frame[0] != 0xFB || frame[1] != before.cmd || frame[4] != 0x77) {
            abort();
        }
        const bool kept = memcmp(&cmd, &before, sizeof cmd) == 0;
        const bool cleared = (cmd.id | cmd.param | cmd.cmd | cmd.status | cmd.err | cmd.value) == 0;
        if (before.cmd == BTCMD_CRC ? !kept : !cleared) {
            abort();
        }
    }
    return 0;
}
