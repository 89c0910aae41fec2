#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "trace/trace_labels.h"

namespace {

// One frame of a conversation: written by the host (W) or read (R), and the
// label it gets after the frames above it.
struct Step {
    char dir;
    std::vector<uint8_t> bytes;
    const char *label;
};

// A flash of a three-chunk image into motor 2, with a refusal of each kind,
// then frames the labels must not take for what they resemble.
const Step flash[] = {
    {'W',
     {0xFE, 0xEE, 0x72, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1E, 0xA4},
     "mode frame for id 2, mode 7"},
    {'R', std::vector<uint8_t>(16, 0x55), "answer to the mode frame (not examined)"},
    {'W', {0xFB, 0x02, 0x02, 0xBB}, "download, id 2"},
    {'R', {0xFC, 0x02, 0x02, 0x00}, "reply id 2, cmd 2 (download), status 0, value 0x0000, err 0"},
    {'W', std::vector<uint8_t>(17, 0x00), "data chunk 1 of 3, sum 00"},
    {'R', {0x00, 0x00}, "ack of chunk 1: sum 00, code 00: ok"},
    {'W', std::vector<uint8_t>(17, 0x01), "data chunk 2 of 3, sum 01"},
    {'R', {0x02, 0x00}, "ack of chunk 2: sum 02, sent 01: refused (bad sum)"},
    {'W', std::vector<uint8_t>(17, 0x01), "data chunk 2 of 3, sum 01 (retry 1)"},
    {'R', {0x01, 0xEE}, "ack of chunk 2: sum 01, code EE: refused"},
    {'W', std::vector<uint8_t>(17, 0x01), "data chunk 2 of 3, sum 01 (retry 2)"},
    {'R', {0x01, 0x00}, "ack of chunk 2: sum 01, code 00: ok"},
    {'W', std::vector<uint8_t>(17, 0x02), "data chunk 3 of 3, sum 02"},
    {'R', {0x02, 0x07}, "ack of chunk 3: sum 02, code 07: ok"},
    // The CRC command ends the download: 17 bytes are no data chunk after it.
    {'W', {0xFB, 0x06, 0xBE, 0xEF}, "CRC request, value 0xBEEF"},
    {'R', {0xFC, 0x06, 0xBE, 0xEF}, "CRC reply, value 0xBEEF: matches the image's"},
    {'W', std::vector<uint8_t>(17, 0x03), "undecodable"},
    {'W', {0xFB, 0x06, 0x12, 0x34}, "CRC request, value 0x1234"},
    {'R', {0xFC, 0x06, 0xBE, 0xEF}, "CRC reply, value 0xBEEF: differs from the image's"},
    {'W', {0xFB, 0x04, 0x02, 0xBB}, "start, id 2"},
    {'R', {0xFC, 0x06, 0xBE, 0xBB}, "CRC reply, value 0xBEBB"},
    {'W', {0xFB, 0x03, 0x12, 0xBB}, "query, id 2"},
    {'R', {0xFC, 0x03, 0xC2, 0x00}, "reply id 2, cmd 3 (query), status 12, value 0x0000, err 0"},
    {'R', {0x12, 0x03, 0x02, 0x34}, "undecodable reply"},
    {'R', {0x00, 0x00}, "undecodable"},
    // A mode frame whose CRC is wrong is none.
    {'W', {0xFE, 0xEE, 0x72, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1E, 0xA5}, "undecodable"},
    {'W',
     {0xFE, 0xEE, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x6F, 0x9A},
     "mode frame for every motor (id 15), mode 7"},
    {'W', {0xFB, 0x00, 0x00, 0xBB}, "scan"},
    {'R', {0x07}, "scan answer: motor id 7"},
    {'W', {0xFB, 0x09, 0x03, 0xBB}, "unknown command, id 3"},
    {'W', {0xFB, 0x03, 0x03, 0xBA}, "undecodable"},
    {'W', {0x18, 0x18, 0x18, 0x18}, "hold-off pattern"},
    {'W', {0x18, 0x18, 0x18}, "undecodable"},
};

TEST(Labels, OneConversation) {
    LabelState state;
    state.chunks = 3;
    for (const Step &step : flash) {
        char out[192];
        if (step.dir == 'W') {
            label_write(state, step.bytes.data(), step.bytes.size(), out, sizeof out);
        } else {
            label_reply(state, step.bytes.data(), step.bytes.size(), out, sizeof out);
        }
        EXPECT_EQ(std::string(out), step.label) << "at the step labelled \"" << step.label << '"';
    }
}

// Without fwburn's chunk count no 17-byte frame is a chunk, and a label
// never runs past the space it is given.
TEST(Labels, NoChunkCountAndShortSpace) {
    LabelState state;
    const uint8_t download[] = {0xFB, 0x02, 0x05, 0xBB};
    const std::vector<uint8_t> frame(17, 0x00);
    char out[192];
    label_write(state, download, sizeof download, out, sizeof out);
    label_write(state, frame.data(), frame.size(), out, sizeof out);
    EXPECT_STREQ(out, "undecodable");

    char small[12];
    small[sizeof small - 1] = 'x';
    label_write(state, download, sizeof download, small, sizeof small - 1);
    EXPECT_STREQ(small, "download, ");
    EXPECT_EQ(small[sizeof small - 1], 'x');
}

} // namespace
