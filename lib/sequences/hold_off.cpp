// One hold-off pattern written with a limit (hold_off.h).
#include "sequences/hold_off.h"

#include "protocol/wire.h"
#include "trace/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PatternWrite hold_off_write(int serial) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(hold_off_stall_ms);
    size_t done = 0;
    while (done < hold_off_pattern.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{serial, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready == 0) {
            // What waits in the output queue will not go: a real UART or
            // USB adapter would hold the close for its closing_wait (30 s).
            tcflush(serial, TCOFLUSH);
            return PatternWrite::stalled;
        }
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return PatternWrite::poll_failed;
        }
        const ssize_t w =
            write(serial, hold_off_pattern.data() + done, hold_off_pattern.size() - done);
        const int err = errno;
        // A write that found no room (EAGAIN) put nothing on the line.
        if (trace_on && (w >= 0 || err != EAGAIN)) {
            trace_pattern(hold_off_pattern.data() + done, hold_off_pattern.size() - done, w, err);
        }
        errno = err;
        if (w < 0 && err != EINTR && err != EAGAIN) {
            return PatternWrite::write_failed;
        }
        if (w > 0) {
            done += static_cast<size_t>(w);
            deadline = Clock::now() + std::chrono::milliseconds(hold_off_stall_ms);
        }
    }
    return PatternWrite::written;
}
