#include "adapter.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace sim {

bool adapter_parse(const std::string &word, Adapter &a) {
    if (word.starts_with("echo")) {
        // "echo:damage@N": the echo of host byte N comes back with a bit
        // flipped; "echo:stop@N": nothing from host byte N on comes back.
        const std::string rest = word.substr(4);
        const bool stop = rest.starts_with(":stop@");
        const size_t skip = stop ? 6 : 8;
        char *end = nullptr;
        errno = 0;
        const long long at = (stop || rest.starts_with(":damage@")) && rest.size() > skip
                                 ? strtoll(rest.c_str() + skip, &end, 10)
                                 : -1;
        if (!rest.empty() && (at < 0 || *end != '\0' || errno != 0)) {
            return false;
        }
        a.echo = true;
        (stop ? a.echo_stop_at : a.echo_damage_at) = at;
        return true;
    }
    if (!word.starts_with("ftdi")) {
        return false;
    }
    std::string rest = word.substr(4);
    a.on = true;
    a.timer_ms = 16;
    a.ignore_flag = rest.ends_with(":ignore-flag");
    if (a.ignore_flag) {
        rest.resize(rest.size() - 12);
    }
    if (rest.empty()) {
        return true;
    }
    char *end = nullptr;
    errno = 0;
    const long ms = strtol(rest.c_str() + 1, &end, 10);
    if (rest[0] != ':' || end == rest.c_str() + 1 || *end != '\0' || errno != 0 || ms < 1 ||
        ms > 255) {
        return false;
    }
    a.timer_ms = static_cast<int>(ms);
    return true;
}

bool adapter_open(Adapter &a) {
    const char *tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/motorsim-latency-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        return false;
    }
    const std::string text = std::to_string(a.timer_ms) + "\n";
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int err = errno;
    close(fd);
    if (!ok) {
        unlink(path.c_str());
        errno = err != 0 ? err : ENOSPC;
        return false;
    }
    a.timer_path = path;
    return true;
}

void adapter_close(Adapter &a) {
    if (!a.timer_path.empty()) {
        unlink(a.timer_path.c_str());
        a.timer_path.clear();
    }
}

std::vector<std::string> adapter_env(const Adapter &a) {
    if (!a.on) {
        return {};
    }
    return {"PTYSERIAL_LATENCY_FILE=" + a.timer_path,
            "PTYSERIAL_ADAPTER=ftdi:" + std::to_string(a.timer_ms) +
                (a.ignore_flag ? ":ignore-flag" : "")};
}

int adapter_timer_now(const Adapter &a) {
    const int fd = open(a.timer_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return a.timer_ms;
    }
    char text[16] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    char *end = nullptr;
    const long ms = n > 0 ? strtol(text, &end, 10) : 0;
    return ms >= 1 && ms <= 255 ? static_cast<int>(ms) : a.timer_ms;
}

std::vector<uint8_t> adapter_hold(Adapter &a, const uint8_t *bytes, size_t n, double now_ms) {
    if (a.held.empty() && n > 0) {
        // The timer runs from the adapter's start and fires every period; the
        // bytes go at its next tick.
        const double period = adapter_timer_now(a);
        a.release_at_ms = (std::floor(now_ms / period) + 1) * period;
    }
    a.held.insert(a.held.end(), bytes, bytes + n);
    const size_t whole = a.held.size() - a.held.size() % adapter_packet_bytes;
    std::vector<uint8_t> now(a.held.begin(), a.held.begin() + static_cast<std::ptrdiff_t>(whole));
    a.held.erase(a.held.begin(), a.held.begin() + static_cast<std::ptrdiff_t>(whole));
    if (a.held.empty()) {
        a.release_at_ms = -1;
    }
    return now;
}

std::vector<uint8_t> adapter_due(Adapter &a, double now_ms) {
    if (a.release_at_ms < 0 || now_ms < a.release_at_ms) {
        return {};
    }
    a.release_at_ms = -1;
    return std::exchange(a.held, {});
}

} // namespace sim
