// A USB-to-RS-485 adapter with a latency timer, as an FTDI chip has one: the
// bytes the motors send wait in the chip's buffer and reach the program only
// when the timer fires, every timer period, or at once when a full USB packet
// of 62 bytes is waiting. The timer the program sees, and may lower with the
// low-latency flag, lives in a small file that the pty shim shows the program
// as the adapter's sysfs attribute latency_timer.
//
// Apart from that, an adapter may echo: its receiver stays on while it
// transmits, so every byte the program writes comes straight back to it,
// ahead of any motor's answer (through the latency buffer when there is one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t adapter_packet_bytes = 62;

struct Adapter {
    bool on = false;          // false: motor bytes reach the program at once
    int timer_ms = 16;        // the timer the adapter starts with
    bool ignore_flag = false; // the driver keeps the timer whatever the flag says
    std::string timer_path;   // the attribute file, while the adapter is open
    std::vector<uint8_t> held;
    double release_at_ms = -1; // bus time the held bytes go; -1 when none are held

    bool echo = false;           // every byte the program writes comes back to it
    int64_t echo_damage_at = -1; // >= 0: the echo of this host byte comes back damaged
    int64_t echo_stop_at = -1;   // >= 0: host bytes from this one on are not echoed
};

// "ftdi", "ftdi:MS" or "ftdi:MS:ignore-flag" (MS 1 to 255, 16 when left out),
// or "echo", "echo:damage@N" (the echo of the N-th host byte, counted from 0,
// comes back damaged), "echo:stop@N" (the echo stops before the N-th host
// byte); the option may be given once of each.
bool adapter_parse(const std::string &word, Adapter &a);
// Creates the attribute file, reading the adapter's timer. False on failure, errno set.
bool adapter_open(Adapter &a);
// Removes the attribute file.
void adapter_close(Adapter &a);
// The environment entries that make the pty shim play this adapter.
std::vector<std::string> adapter_env(const Adapter &a);
// The timer in effect now, as the attribute reads; timer_ms when it cannot be read.
int adapter_timer_now(const Adapter &a);

// Takes bytes the motors send at bus time now_ms; returns those that go to
// the program at once (whole packets), the rest wait for the timer.
std::vector<uint8_t> adapter_hold(Adapter &a, const uint8_t *bytes, size_t n, double now_ms);
// The held bytes, once the timer has fired by now_ms; else nothing.
std::vector<uint8_t> adapter_due(Adapter &a, double now_ms);

} // namespace sim
