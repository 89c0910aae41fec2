// Fuzz target: the exchange layer fed arbitrary input. The first bytes choose
// the reply length asked for and whether the far side hangs up; the rest is
// what arrives. The result must be 0 or exactly the length asked for, with
// the buffer holding the bytes that arrived first.
#include "line/LSerial_linux.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint16_t want = static_cast<uint16_t>((data[0] | data[1] << 8) % 512);
    const bool hang_up = data[2] & 1;
    const uint8_t *reply = data + 3;
    const size_t reply_len = size - 3 < 4096 ? size - 3 : 4096;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        return 0;
    }
    if (reply_len > 0 && write(sv[1], reply, reply_len) != static_cast<ssize_t>(reply_len)) {
        abort();
    }
    if (hang_up) {
        close(sv[1]);
        sv[1] = -1;
    }
    const int pollset = epoll_create(1);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = sv[0];
    epoll_ctl(pollset, EPOLL_CTL_ADD, sv[0], &ev);

    std::vector<uint8_t> buf(want + 1, 0xEE);
    const int got = send_recv_timeout(sv[0], pollset, nullptr, 0, buf.data(), want, 0);
    if (got != 0 && got != want) {
        abort();
    }
    if (got == want && want > 0 && (reply_len < want || memcmp(buf.data(), reply, want) != 0)) {
        abort();
    }
    if (got == 0 && want > 0 && reply_len >= want) {
        abort(); // everything was there: nothing may be lost
    }
    if (buf[want] != 0xEE) {
        abort(); // never a byte past the end
    }
    close(pollset);
    close(sv[0]);
    if (sv[1] >= 0) {
        close(sv[1]);
    }
    return 0;
}
