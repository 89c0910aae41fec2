// The kernel's RS-485 mode of a port (rs485.h): read, set and read back
// with TIOCGRS485 and TIOCSRS485, told in words, judged for doctor.
#include "host/rs485.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The delay the kernel caps each of the two at (RS485_MAX_RTS_DELAY).
constexpr uint32_t kernel_delay_cap_ms = 100;

constexpr uint32_t polarity = SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;

struct FlagName {
    uint32_t flag;
    const char *words;
};
constexpr FlagName flag_names[] = {
    {SER_RS485_ENABLED, "the mode itself (SER_RS485_ENABLED)"},
    {SER_RS485_RTS_ON_SEND, "RTS high while sending (SER_RS485_RTS_ON_SEND)"},
    {SER_RS485_RTS_AFTER_SEND, "RTS high after sending (SER_RS485_RTS_AFTER_SEND)"},
    {SER_RS485_RX_DURING_TX, "receiving while sending (SER_RS485_RX_DURING_TX)"},
    {SER_RS485_TERMINATE_BUS, "bus termination (SER_RS485_TERMINATE_BUS)"},
};

std::string flag_words(uint32_t flag) {
    for (const FlagName &f : flag_names) {
        if (f.flag == flag) {
            return f.words;
        }
    }
    char hex[32];
    snprintf(hex, sizeof hex, "flag %#x", flag);
    return hex;
}

std::string delay_difference(const char *when, uint32_t asked, uint32_t kept) {
    std::string s = "a delay of " + std::to_string(asked) + " ms " + when +
                    " sending was asked for, the driver keeps " + std::to_string(kept) + " ms";
    if (kept == kernel_delay_cap_ms && asked > kept) {
        s += " (the kernel's limit)";
    } else if (kept == 0) {
        s += " (the driver has no such delay)";
    }
    return s;
}

} // namespace

Rs485Probe rs485_read(int fd) {
    Rs485Probe p;
    // TIOCGRS485 succeeds on a port whose driver has no mode and reads zeros
    // there, as it does for a mode that is off. TIOCSRS485 tells them apart:
    // the tty core answers ENOTTY for a driver without the mode before it
    // looks at the argument; with the mode, a null argument fails as EFAULT
    // before anything is changed. (Writing back what was read would tell too,
    // but while the mode is off that clears the RTS polarity the driver keeps
    // for the next time it is turned on.)
    if (ioctl(fd, TIOCSRS485, nullptr) != 0 && errno != EFAULT) {
        p.has = errno == ENOTTY ? Rs485Has::none : Rs485Has::unknown;
        p.error = errno;
        return p;
    }
    serial_rs485 r{};
    if (ioctl(fd, TIOCGRS485, &r) != 0) {
        p.error = errno;
        return p;
    }
    p.has = Rs485Has::mode;
    p.mode = {r.flags, r.delay_rts_before_send, r.delay_rts_after_send};
    return p;
}

Rs485Probe rs485_set(int fd, const Rs485 &want) {
    serial_rs485 r{};
    r.flags = want.flags;
    r.delay_rts_before_send = want.before_ms;
    r.delay_rts_after_send = want.after_ms;
    if (ioctl(fd, TIOCSRS485, &r) != 0) {
        Rs485Probe p;
        p.has = errno == ENOTTY ? Rs485Has::none : Rs485Has::unknown;
        p.error = errno;
        return p;
    }
    return rs485_read(fd);
}

Rs485 rs485_asked(const Rs485 &found, bool on, bool rts_on_send, uint32_t before_ms,
                  uint32_t after_ms) {
    if (!on) {
        return {};
    }
    const uint32_t keep = found.flags & ~(SER_RS485_ENABLED | polarity);
    return {keep | SER_RS485_ENABLED |
                (rts_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND),
            before_ms, after_ms};
}

std::vector<std::string> rs485_differences(const Rs485 &asked, const Rs485 &kept) {
    std::vector<std::string> out;
    const bool want_on = (asked.flags & SER_RS485_ENABLED) != 0;
    const bool kept_on = (kept.flags & SER_RS485_ENABLED) != 0;
    if (!want_on || !kept_on) {
        // Off, nothing else counts: the kernel clears the rest.
        if (want_on != kept_on) {
            out.push_back(want_on ? "the driver did not turn the mode on"
                                  : "the driver kept the mode on");
        }
        return out;
    }
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (((asked.flags ^ kept.flags) & bit) != 0) {
            out.push_back((asked.flags & bit) != 0 ? "the driver dropped " + flag_words(bit)
                                                   : "the driver set " + flag_words(bit));
        }
    }
    if (asked.before_ms != kept.before_ms) {
        out.push_back(delay_difference("before", asked.before_ms, kept.before_ms));
    }
    if (asked.after_ms != kept.after_ms) {
        out.push_back(delay_difference("after", asked.after_ms, kept.after_ms));
    }
    return out;
}

std::string rs485_text(const Rs485 &m) {
    if ((m.flags & SER_RS485_ENABLED) == 0) {
        return "off";
    }
    std::string s = "on, RTS ";
    switch (m.flags & polarity) {
    case SER_RS485_RTS_ON_SEND:
        s += "high while sending";
        break;
    case SER_RS485_RTS_AFTER_SEND:
        s += "low while sending";
        break;
    default:
        s += "polarity unset";
        break;
    }
    if (m.before_ms == 0 && m.after_ms == 0) {
        s += ", no delays";
    } else {
        s += ", " + std::to_string(m.before_ms) + " ms before and " + std::to_string(m.after_ms) +
             " ms after sending";
    }
    if ((m.flags & SER_RS485_RX_DURING_TX) != 0) {
        s += ", receiving while sending";
    }
    if ((m.flags & SER_RS485_TERMINATE_BUS) != 0) {
        s += ", bus terminated";
    }
    return s;
}

Rs485Probe rs485_probe(const std::string &device) {
    Rs485Probe p;
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        p.error = errno;
        return p;
    }
    // The lock the tools take: a tool at work is left alone.
    if (isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        p = rs485_read(fd);
    }
    close(fd);
    return p;
}

Verdict rs485_verdict(const Adapter &a, const Rs485Probe &p) {
    Verdict v;
    if (a.pty || !a.vendor.empty() || p.has != Rs485Has::mode) {
        return v; // switches direction by itself, has no mode, or was not looked at
    }
    v.check = "rs485";
    if ((p.mode.flags & SER_RS485_ENABLED) != 0) {
        v.text = "RS-485 mode " + rs485_text(p.mode) + ": the driver switches RTS around writes";
        return v;
    }
    v.level = Level::warn;
    v.text = "RS-485 mode off: the driver leaves RTS alone, so a transceiver whose direction pin "
             "is on RTS never sends (every exchange times out)";
    v.fix = "motorbus rs485 " + a.device +
            " on; at every boot: linux,rs485-enabled-at-boot-time (and rs485-rts-delay) in the "
            "UART's device tree node";
    return v;
}
