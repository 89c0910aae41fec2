// The flash of one motor (flash.h): download, chunks with their
// acknowledgements and retries, the CRC, the start.
#include "sequences/flash.h"

#include "line/LSerial_linux.h"
#include "protocol/btcmd.h"
#include "protocol/wire.h"
#include "sequences/motorctrl.h"

#include <csignal>
#include <unistd.h>

namespace {

constexpr int chunk_size = 16;       // image bytes in one data frame
constexpr int long_reply_ms = 10000; // download and CRC replies: the motor erases or checks flash
constexpr int start_attempts = 4;
// A refused chunk is sent again; the third refusal in a row ends the flash.
constexpr int max_retries = 2;

struct Flash {
    int serial;
    int pollset;
    uint8_t id;
    const FlashImage &image;
    FlashReport report;
    void *context;
    FlashOutcome outcome;
};

void tell(Flash &f, FlashEvent event) {
    event.id = f.id;
    if (f.report != nullptr) {
        f.report(event, f.context);
    }
}

// Opens a download, which erases the motor's flash (hence the long wait for
// the reply). Any reply that decodes opens it, whatever id and command it
// carries. False when the flash ends here.
bool open_download(Flash &f, const FlashSteps &steps) {
    if (steps.mode_switch) {
        MotorCtrl_SetMode(f.serial, f.pollset, f.id);
        sleep(1);
    }
    // From the download on, the motor's flash is erased: a lost terminal
    // (SIGHUP), a reader of the output that quits (SIGPIPE) or an output
    // file at its size limit (SIGXFSZ) must not end the run and leave it so.
    // Output that cannot be written is lost, the flash is not. Ctrl+C and
    // SIGTERM keep their actions.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    const std::array<uint8_t, 4> download = {command_lead, BTCMD_DOWNLOAD, f.id, frame_trailer};
    tell(f, {.kind = FlashEventKind::download_sent});
    // Whatever arrived since the mode frame (its answer coming late or long,
    // line noise, a scan answer) is no reply to the download and would be
    // read as one.
    discard_input(f.serial);
    usleep(1000);
    std::array<uint8_t, 64> &rx = f.outcome.reply;
    const int len = send_recv_timeout(f.serial, f.pollset, download.data(), download.size(),
                                      rx.data(), 4, long_reply_ms);
    if (len == 0) {
        f.outcome.result = FlashResult::download_timeout;
        return false;
    }
    btcmd_data rec{};
    Extract_btcmd_data(rx.data(), rec);
    if (rec.err == 1) {
        f.outcome.result = FlashResult::download_refused;
        f.outcome.reply_len = len;
        return false;
    }
    tell(f, {.kind = FlashEventKind::download_open});
    sleep(1);
    return true;
}

// Streams the padded image in data frames of 16 bytes and their sum. The
// bootloader acknowledges each with the sum it computed and an error code.
bool transfer(Flash &f) {
    int err_cnt = 0;
    for (int i = 0; i < f.image.padded;) {
        std::array<uint8_t, 2> ack{};
        std::array<uint8_t, chunk_size + 1> frame{};
        uint8_t sum = 0;
        for (int k = 0; k < chunk_size; ++k) {
            frame[static_cast<size_t>(k)] = f.image.data[i + k];
            sum = static_cast<uint8_t>(sum + f.image.data[i + k]);
        }
        frame[chunk_size] = sum;

        if (send_recv(f.serial, f.pollset, frame.data(), frame.size(), ack.data(), ack.size()) ==
            0) {
            f.outcome.result = FlashResult::transfer_timeout;
            f.outcome.offset = i;
            return false;
        }
        if (ack[0] != sum || ack[1] == ack_refused) {
            tell(f, {.kind = FlashEventKind::chunk_refused, .offset = i, .sum = sum, .ack = ack});
            if (err_cnt >= max_retries) {
                f.outcome.result = FlashResult::chunk_refused;
                f.outcome.offset = i;
                f.outcome.sum = sum;
                f.outcome.ack = ack;
                return false;
            }
            ++err_cnt;
            ++f.outcome.resent;
            continue;
        }
        err_cnt = 0;
        // Share of the image sent, in single precision as the bar has always
        // shown it; a chunk wholly in the padding would give more than 100.
        int percent =
            static_cast<int>(static_cast<float>(i + 1) / static_cast<float>(f.image.size) * 100.0f);
        if (percent > 100) {
            percent = 100;
        }
        tell(f, {.kind = FlashEventKind::chunk_accepted, .offset = i, .percent = percent});
        i += chunk_size;
    }
    return true;
}

// Has the bootloader compute the CRC of what it received and compares it
// with ours. Only a reply in the CRC form (FC 06 hi lo) carries a CRC: any
// other reply never counts as a match.
bool crc_confirmed(Flash &f) {
    tell(f, {.kind = FlashEventKind::crc_sent});
    std::array<uint8_t, 4> tx{};
    std::array<uint8_t, 4> rx{};
    btcmd_data rec{};
    rec.id = f.id;
    rec.cmd = BTCMD_CRC;
    rec.value = f.image.crc;
    Modify_btcmd_data(tx.data(), rec);
    if (send_recv_timeout(f.serial, f.pollset, tx.data(), 4, rx.data(), 4, long_reply_ms) == 0) {
        f.outcome.result = FlashResult::crc_timeout;
        return false;
    }
    Extract_btcmd_data(rx.data(), rec);
    f.outcome.crc = rec.value;
    tell(f, {.kind = FlashEventKind::crc_reply, .crc = rec.value});
    const bool crc_form = rx[0] == reply_lead && rx[1] == BTCMD_CRC && rec.err == 0;
    if (!crc_form || rec.value != f.image.crc) {
        f.outcome.result = FlashResult::crc_mismatch;
        return false;
    }
    tell(f, {.kind = FlashEventKind::crc_confirmed});
    return true;
}

// Starts the new firmware (up to four attempts), then, when asked, sends one
// query whose answer is not examined.
void start_firmware(Flash &f, const FlashSteps &steps) {
    std::array<uint8_t, 4> tx{};
    std::array<uint8_t, 4> rx{};
    btcmd_data rec{};
    bool started = false;
    for (int attempt = 0; attempt < start_attempts && !started; ++attempt) {
        rec.id = f.id;
        rec.cmd = BTCMD_START;
        Modify_btcmd_data(tx.data(), rec);
        const int len = send_recv(f.serial, f.pollset, tx.data(), 4, rx.data(), 4);
        Extract_btcmd_data(rx.data(), rec);
        started = len == 4 && rec.cmd == BTCMD_START;
    }
    f.outcome.result = started ? FlashResult::flashed : FlashResult::start_unconfirmed;
    tell(f, {.kind = FlashEventKind::start_done, .started = started});
    if (steps.final_query) {
        rec.id = f.id;
        rec.cmd = BTCMD_QUERY;
        Modify_btcmd_data(tx.data(), rec);
        send_recv(f.serial, f.pollset, tx.data(), 4, rx.data(), 4);
    }
}

} // namespace

bool flash_cut_off(FlashResult result) {
    return result == FlashResult::transfer_timeout || result == FlashResult::chunk_refused ||
           result == FlashResult::crc_timeout || result == FlashResult::download_timeout;
}

const char *flash_result_name(FlashResult result) {
    switch (result) {
    case FlashResult::flashed:
        return "flashed";
    case FlashResult::start_unconfirmed:
        return "start-unconfirmed";
    case FlashResult::crc_mismatch:
        return "crc-mismatch";
    case FlashResult::download_refused:
        return "download-refused";
    case FlashResult::download_timeout:
        return "download-timeout";
    case FlashResult::transfer_timeout:
        return "transfer-timeout";
    case FlashResult::chunk_refused:
        return "chunk-refused";
    case FlashResult::crc_timeout:
        return "crc-timeout";
    }
    return "unknown";
}

FlashOutcome flash_motor(int serial, int pollset, uint8_t id, const FlashImage &image,
                         const FlashSteps &steps, FlashReport report, void *context) {
    Flash f{serial, pollset, id, image, report, context, {}};
    if (open_download(f, steps) && transfer(f) && crc_confirmed(f)) {
        start_firmware(f, steps);
    }
    return f.outcome;
}
