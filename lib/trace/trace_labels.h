// The labels of the wire trace: the words that name a frame the host writes
// and a reply it reads. A reply is named by what it answers, so the labels
// keep what they learnt of the frames written before in a record of their
// own, which the caller holds and passes in; nothing else is read.
#pragma once

#include <cstddef>
#include <cstdint>

// What the host wrote last, so that the reply read after it can be named.
enum class Sent : uint8_t { nothing, mode, command, data, scan, pattern, other };

// What the labels know of the conversation so far: the frame written last
// and, in a flash, the chunks.
struct LabelState {
    Sent sent = Sent::nothing;
    uint8_t sent_cmd = 0;
    uint8_t sent_sum = 0;
    uint16_t sent_crc = 0;
    bool downloading = false;
    int chunks = 0;      // told by fwburn
    int chunk = 0;       // 1-based number of the chunk last sent
    int retry = 0;       // sends of that chunk beyond the first
    bool resend = false; // its acknowledgement refused it
};

// Names the frame of n bytes at d that the host writes, into out (size
// bytes, always terminated), and notes it in s for the reply that follows.
// After a download command with s.chunks set, a 17-byte frame is a data
// chunk: "data chunk k of n, sum SS", with " (retry r)" when it is sent again.
void label_write(LabelState &s, const uint8_t *d, size_t n, char *out, size_t size);

// Names a whole reply of n bytes at r, into out, by what it answers (the
// frame s says was written last); an acknowledgement that refuses a chunk
// notes in s that the chunk comes again.
void label_reply(LabelState &s, const uint8_t *r, size_t n, char *out, size_t size);
