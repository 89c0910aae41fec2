#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <utility>

#include "protocol/btcmd.h"
#include "protocol/crc_ccitt.h"
#include "protocol/tea.h"
#include "sequences/motorctrl.h"

namespace {

using Frame = std::array<uint8_t, 4>;

// Fields as an array so a mismatch prints the whole record.
std::array<int, 6> fields(const btcmd_data &r) {
    return {r.id, r.param, r.cmd, r.status, r.err, r.value};
}

constexpr btcmd_data CLEARED{};

struct EncodeCase {
    const char *name;
    btcmd_data in;
    uint8_t byte2_before; // what the caller left in buf[2]
    Frame frame;
    btcmd_data after;
};

const EncodeCase encode_cases[] = {
    {"start", {7, 0, 4, 0, 0, 0}, 0x00, {0xFB, 0x04, 0x07, 0xBB}, CLEARED},
    {"query", {5, 9, 3, 2, 1, 0x1111}, 0xEE, {0xFB, 0x03, 0x05, 0xBB}, CLEARED},
    {"crc kept", {3, 2, 6, 1, 0, 0xBEEF}, 0x00, {0xFB, 0x06, 0xBE, 0xEF}, {3, 2, 6, 1, 0, 0xBEEF}},
    {"id+param", {3, 0x1A, 1, 0, 0, 0}, 0x00, {0xFB, 0x01, 0xA3, 0xBB}, CLEARED},
    {"id+param wraps", {0xF0, 0x0F, 1, 0, 0, 0}, 0x00, {0xFB, 0x01, 0xE0, 0xBB}, CLEARED},
    {"download", {3, 0, 2, 0, 0, 0}, 0x55, {0xFB, 0x02, 0x55, 0xBB}, CLEARED},
    {"scan", {9, 0, 0, 0, 0, 0}, 0x00, {0xFB, 0x00, 0x00, 0xBB}, CLEARED},
    {"code 5", {4, 0, 5, 0, 0, 0x1234}, 0x77, {0xFB, 0x05, 0x77, 0xBB}, CLEARED},
    {"code 255", {4, 0, 255, 0, 0, 0}, 0x42, {0xFB, 0xFF, 0x42, 0xBB}, CLEARED},
};

TEST(BtcmdEncode, Vectors) {
    for (const auto &c : encode_cases) {
        SCOPED_TRACE(c.name);
        std::array<uint8_t, 6> buf{0xAA, 0xAA, c.byte2_before, 0xAA, 0xAA, 0xAA};
        btcmd_data rec = c.in;
        Modify_btcmd_data(buf.data(), rec);
        EXPECT_EQ((Frame{buf[0], buf[1], buf[2], buf[3]}), c.frame);
        EXPECT_EQ(buf[4], 0xAA) << "wrote past the 4-byte frame";
        EXPECT_EQ(fields(rec), fields(c.after));
    }
}

struct DecodeCase {
    const char *name;
    Frame frame;
    int result;
    btcmd_data out;
};

constexpr btcmd_data FAILED{0, 0, 0, 0, 1, 0};

const DecodeCase decode_cases[] = {
    {"crc reply", {0xFC, 0x06, 0x12, 0x34}, 0, {15, 0, 6, 0, 0, 0x1234}},
    {"crc lead before tail", {0xFC, 0x06, 0x12, 0xBB}, 0, {15, 0, 6, 0, 0, 0x12BB}},
    {"crc by tail", {0x00, 0x06, 0x21, 0xBB}, 0, {1, 0, 6, 11, 0, 0}},
    {"crc no marker", {0x00, 0x06, 0x12, 0x34}, 1, FAILED},
    {"query crc error", {0xFC, 0x03, 0xC5, 0x00}, 0, {5, 0, 3, 12, 0, 0}},
    {"query no firmware", {0x00, 0x03, 0xE7, 0xBB}, 0, {7, 0, 3, 14, 0, 0}},
    {"start reply", {0xFC, 0x04, 0x05, 0xBB}, 0, {5, 0, 4, 11, 0, 0}},
    {"download reply", {0xFC, 0x02, 0x93, 0x40}, 0, {3, 0, 2, 4, 0, 0}},
    {"no marker", {0x00, 0x04, 0x05, 0x00}, 1, FAILED},
    // The host's own command frames, read back off the bus.
    {"echo query", {0xFB, 0x03, 0x05, 0xBB}, 0, {5, 0, 3, 0, 0, 0}},
    {"echo start", {0xFB, 0x04, 0x07, 0xBB}, 0, {7, 0, 4, 11, 0, 0}},
    {"echo crc", {0xFB, 0x06, 0xBE, 0xEF}, 1, FAILED},
};

TEST(BtcmdDecode, Vectors) {
    for (const auto &c : decode_cases) {
        SCOPED_TRACE(c.name);
        // Stale contents must not survive a decode, successful or not.
        btcmd_data rec{0xA5, 0x5A, 0x77, 0x99, 1, 0xDEAD};
        EXPECT_EQ(Extract_btcmd_data(c.frame.data(), rec), c.result);
        EXPECT_EQ(fields(rec), fields(c.out));
    }
}

TEST(CrcCcitt, TableEntries) {
    const std::pair<int, uint16_t> entries[] = {
        {0, 0x0000}, {1, 0x1189}, {2, 0x2312}, {128, 0x8408}, {255, 0x0F78}};
    for (const auto &[n, v] : entries) {
        EXPECT_EQ(crc_ccitt_table[static_cast<size_t>(n)], v) << "entry " << n;
    }
}

TEST(CrcCcitt, KnownVectors) {
    const uint8_t *digits = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(crc_ccitt(0, digits, 9), 0x2189);

    // The body of the broadcast mode frame; its CRC closes the frame as 6F 9A.
    std::array<uint8_t, 15> mode_frame{0xFE, 0xEE, 0x7F};
    EXPECT_EQ(crc_ccitt(0, mode_frame.data(), mode_frame.size()), 0x9A6F);
}

TEST(CrcCcitt, EmptyInputReturnsStart) {
    const uint8_t byte = 0x5A;
    for (uint16_t start : {0x0000, 0x1234, 0xFFFF}) {
        EXPECT_EQ(crc_ccitt(start, &byte, 0), start);
    }
}

TEST(CrcCcitt, SplitEqualsWhole) {
    std::array<uint8_t, 64> buf{};
    for (size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    const uint16_t whole = crc_ccitt(0, buf.data(), buf.size());
    for (size_t split = 0; split <= buf.size(); ++split) {
        const uint16_t first = crc_ccitt(0, buf.data(), split);
        EXPECT_EQ(crc_ccitt(first, buf.data() + split, buf.size() - split), whole)
            << "split at " << split;
    }
}

// Reference mode frames: the header, 0x70 | id, twelve zeros, CRC low byte first.
// Only the id's low nibble counts: 17 gives the frame of 1.
TEST(ModeFrame, ReferenceFrames) {
    const struct {
        uint8_t id;
        uint8_t mode_byte, crc_lo, crc_hi;
    } cases[] = {{0, 0x70, 0x44, 0xAF},
                 {1, 0x71, 0xE9, 0xAA},
                 {14, 0x7E, 0xC2, 0x9F},
                 {15, 0x7F, 0x6F, 0x9A},
                 {17, 0x71, 0xE9, 0xAA}};
    for (const auto &c : cases) {
        const std::array<uint8_t, 17> f = MotorCtrl_ModeFrame(c.id);
        std::array<uint8_t, 17> want{0xFE, 0xEE, c.mode_byte};
        want[15] = c.crc_lo;
        want[16] = c.crc_hi;
        EXPECT_EQ(f, want) << "id " << int(c.id);
    }
}

TEST(Tea, PublishedVector) {
    std::array<uint32_t, 2> v{0, 0};
    const std::array<uint32_t, 4> k{0, 0, 0, 0};
    encrypt(v.data(), k.data());
    EXPECT_EQ(v, (std::array<uint32_t, 2>{0x41EA3A0A, 0x94BAA940}));
}

TEST(Tea, DecryptUndoesEncrypt) {
    struct Case {
        std::array<uint32_t, 4> key;
        std::array<uint32_t, 2> block;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, {0, 0}},
        {{0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210}, {0xDEADBEEF, 0x00C0FFEE}},
        {{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}},
        {{1, 2, 3, 4}, {0x80000000, 0x00000001}},
    };
    for (const auto &c : cases) {
        auto v = c.block;
        encrypt(v.data(), c.key.data());
        EXPECT_NE(v, c.block) << "encrypt left the block unchanged";
        decrypt(v.data(), c.key.data());
        EXPECT_EQ(v, c.block);
    }
}

} // namespace
