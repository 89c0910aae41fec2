#include "frames.h"

#include "display_progress.h"
#include "motor.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace frames {

Bytes padded(Bytes image) {
    image.resize((image.size() + block_len - 1) / block_len * block_len, 0xFF);
    return image;
}

// The frames are spelt here on purpose, not taken from lib/wire.h: the tests
// check the tools' bytes against their own account of the wire.
Bytes command(Code code, uint8_t arg) {
    return {0xFB, code, arg, 0xBB};
}

Bytes crc_command(uint16_t crc) {
    return {0xFB, Code::crc, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc & 0xFF)};
}

Bytes mode_frame(uint8_t id) {
    const auto f = sim::mode_frame(id, 7);
    return Bytes(f.begin(), f.end());
}

Bytes data_frame(const Bytes &pad, size_t at) {
    Bytes f(pad.begin() + static_cast<std::ptrdiff_t>(at),
            pad.begin() + static_cast<std::ptrdiff_t>(at + chunk_len));
    uint8_t sum = 0;
    for (uint8_t b : f) {
        sum = static_cast<uint8_t>(sum + b);
    }
    f.push_back(sum);
    return f;
}

void append(Bytes &to, const Bytes &more) {
    to.insert(to.end(), more.begin(), more.end());
}

Bytes wire_to_crc(uint8_t id, const Bytes &pad) {
    Bytes w = mode_frame(id);
    append(w, command(download, id));
    for (size_t at = 0; at < pad.size(); at += chunk_len) {
        append(w, data_frame(pad, at));
    }
    append(w, crc_command(sim::crc16(pad)));
    return w;
}

std::string after_banner(const std::string &out) {
    size_t at = 0;
    for (int line = 0; line < 6; ++line) {
        const size_t nl = out.find('\n', at);
        if (nl == std::string::npos) {
            ADD_FAILURE() << "banner cut short:\n" << out;
            return out;
        }
        const std::string text = out.substr(at, nl - at);
        EXPECT_EQ(text.size(), 57u) << "banner line " << line << ": " << text;
        EXPECT_EQ(text.find_first_not_of("# "), std::string::npos) << text;
        at = nl + 1;
    }
    EXPECT_EQ(out.substr(at, 1), "\n") << "a blank line follows the banner";
    return out.substr(at + 1);
}

std::string flash_head(size_t size, const Bytes &pad, int id) {
    char line[80];
    snprintf(line, sizeof line, "File: %zub, Buff: %zub, CRC: %04X\n", size, pad.size(),
             sim::crc16(pad));
    return line + ("flash " + std::to_string(id) + "\nWait for motor to reply ... ");
}

std::string progress_of(const std::vector<int> &percents) {
    testing::internal::CaptureStdout();
    int count = 0;
    for (int p : percents) {
        count = display_progress(p, count);
    }
    return testing::internal::GetCapturedStdout();
}

std::string transferred(size_t size, const Bytes &pad, int id, const std::vector<int> &percents) {
    return flash_head(size, pad, id) + "Success\nDownload firmware to MCU\n" +
           progress_of(percents);
}

std::string crc_verdict(uint16_t crc, bool ok) {
    char text[40];
    snprintf(text, sizeof text, "CRC:0x%04X ", crc);
    return "\n\nWaiting CRC data ... " + std::string(text) +
           (ok ? "OK!\n\nFlash successfully!\n"
               : "Error!!!\n\nFlash fail!!! Please reapply power to the motor and try again.\n");
}

} // namespace frames
