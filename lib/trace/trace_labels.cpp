// The labels of the wire trace (trace_labels.h): a frame the host writes or
// the bytes that answer it, named in words.
#include "trace/trace_labels.h"

#include "protocol/btcmd.h"
#include "protocol/crc_ccitt.h"
#include "protocol/wire.h"

#include <cstdio>
#include <cstring>

namespace {

const char *command_name(uint8_t cmd) {
    switch (cmd) {
    case BTCMD_SCAN:
        return "scan";
    case BTCMD_ID_PARAM:
        return "id/param";
    case BTCMD_DOWNLOAD:
        return "download";
    case BTCMD_QUERY:
        return "query";
    case BTCMD_START:
        return "start";
    case BTCMD_CRC:
        return "CRC";
    default:
        return "unknown command";
    }
}

bool is_mode_frame(const uint8_t *d, size_t n) {
    return n == 17 && d[0] == mode_frame_lead[0] && d[1] == mode_frame_lead[1] &&
           crc_ccitt(0, d, 15) == static_cast<uint16_t>(d[15] | d[16] << 8);
}

} // namespace

void label_write(LabelState &s, const uint8_t *d, size_t n, char *out, size_t size) {
    s.sent = Sent::other;
    if (n == 17 && s.downloading) {
        if (s.resend) {
            ++s.retry;
        } else {
            ++s.chunk;
            s.retry = 0;
        }
        s.resend = false;
        s.sent = Sent::data;
        s.sent_sum = d[16];
        const int len =
            snprintf(out, size, "data chunk %d of %d, sum %02X", s.chunk, s.chunks, s.sent_sum);
        if (s.retry > 0 && len > 0) {
            snprintf(out + len, size - static_cast<size_t>(len), " (retry %d)", s.retry);
        }
    } else if (is_mode_frame(d, n)) {
        s.sent = Sent::mode;
        const int id = d[2] & 15;
        if (id == 15) {
            snprintf(out, size, "mode frame for every motor (id 15), mode %d", d[2] >> 4);
        } else {
            snprintf(out, size, "mode frame for id %d, mode %d", id, d[2] >> 4);
        }
    } else if (n == 4 && d[0] == command_lead && (d[3] == frame_trailer || d[1] == BTCMD_CRC)) {
        s.sent = d[1] == BTCMD_SCAN ? Sent::scan : Sent::command;
        s.sent_cmd = d[1];
        if (d[1] == BTCMD_CRC) {
            snprintf(out, size, "CRC request, value 0x%02X%02X", d[2], d[3]);
            s.sent_crc = static_cast<uint16_t>(d[2] << 8 | d[3]);
            s.downloading = false;
        } else if (d[1] == BTCMD_SCAN) {
            snprintf(out, size, "scan");
        } else {
            snprintf(out, size, "%s, id %d", command_name(d[1]), d[2] & 15);
            s.downloading = s.downloading || (d[1] == BTCMD_DOWNLOAD && s.chunks > 0);
        }
    } else if (n == 4 && memcmp(d, hold_off_pattern.data(), hold_off_pattern.size()) == 0) {
        s.sent = Sent::pattern;
        snprintf(out, size, "hold-off pattern");
    } else {
        snprintf(out, size, "undecodable");
    }
}

void label_reply(LabelState &s, const uint8_t *r, size_t n, char *out, size_t size) {
    if (s.sent == Sent::mode) {
        snprintf(out, size, "answer to the mode frame (not examined)");
    } else if (s.sent == Sent::data && n == 2) {
        if (r[0] != s.sent_sum) {
            snprintf(out, size, "ack of chunk %d: sum %02X, sent %02X: refused (bad sum)", s.chunk,
                     r[0], s.sent_sum);
        } else if (r[1] == ack_refused) {
            snprintf(out, size, "ack of chunk %d: sum %02X, code EE: refused", s.chunk, r[0]);
        } else {
            snprintf(out, size, "ack of chunk %d: sum %02X, code %02X: ok", s.chunk, r[0], r[1]);
        }
        s.resend = r[0] != s.sent_sum || r[1] == ack_refused;
    } else if (s.sent == Sent::scan && n == 1) {
        snprintf(out, size, "scan answer: motor id %d", r[0]);
    } else if (n == 4) {
        btcmd_data rec{};
        Extract_btcmd_data(r, rec);
        if (rec.err != 0) {
            snprintf(out, size, "undecodable reply");
        } else if (r[0] == reply_lead && r[1] == BTCMD_CRC) {
            const bool asked = s.sent == Sent::command && s.sent_cmd == BTCMD_CRC;
            snprintf(out, size, "CRC reply, value 0x%04X%s", rec.value,
                     !asked                    ? ""
                     : rec.value == s.sent_crc ? ": matches the image's"
                                               : ": differs from the image's");
        } else {
            snprintf(out, size, "reply id %d, cmd %d (%s), status %d, value 0x%04X, err %d", rec.id,
                     rec.cmd, command_name(rec.cmd), rec.status, rec.value, rec.err);
        }
    } else {
        snprintf(out, size, "undecodable");
    }
}
