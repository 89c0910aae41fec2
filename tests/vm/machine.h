// The QEMU machine of the VM tests: Debian's kernel on an emulated PC with
// its console, its monitor, a second 16550A UART and an FTDI adapter
// (usb-serial on an xHCI controller), or on the arm64 board with its PL011,
// each line on a socket character device that this process serves. The far
// ends of the lines are simulated motor buses. One machine runs for the whole
// test program.
#pragma once

#include "bus.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

using Clock = std::chrono::steady_clock;

// The VM and the two lines it is wired to; one for the whole test program.
struct Vm {
    pid_t qemu = -1;
    int con = -1;
    int mon = -1;
    sim::Bus uart;
    sim::Bus usb;
    std::string con_buf;  // console output not taken yet
    std::string mon_buf;  // what the monitor said
    long pull_after = -1; // >= 0: the USB adapter is pulled once the host read this many bytes
    Clock::time_point pulled_at{};
    bool pulled = false;
    std::string boot_error;
};
extern Vm vm;

// Writes s whole to fd, waiting for room; gives up on an error.
void send_text(int fd, const std::string &s);

// Sends one command line to QEMU's monitor.
void monitor(const std::string &command);

// QEMU removes the FTDI adapter (a cable pulled), or adds it again: the
// guest sees /dev/ttyUSB0 go or come some time later.
void pull_adapter();
void plug_adapter();

// Serves both lines and the console until done() holds or ms pass.
bool pump(const std::function<bool()> &done, int ms);

// The two machines: a PC (console on the first 16550, the line on the
// second, an FTDI adapter), and QEMU's arm64 `virt` board (console on a PCI
// 16550, the line on the board's PL011; vm.usb unused).
enum class Guest { pc, arm64 };

// Starts QEMU on the kernel and initramfs and waits until the guest is
// ready for commands. False with vm.boot_error set when it did not come up.
bool boot(const char *kernel_path, const char *initrd_path, Guest guest);

// Asks QEMU to quit, and kills it when it does not within 5 s.
void shut_down();
