// fwburn: flashes a firmware image into one motor on the RS-485 bus.
//
// The motor is sent into its bootloader, a download is opened, the image
// (padded with 0xFF to whole 64-byte blocks) goes out in 16-byte data frames,
// each acknowledged with its sum, the bootloader's CRC-16 of what it received
// is compared with ours, and the new firmware is started.
#include "display_progress.h"
#include "file_size2.h"
#include "host/cli.h"
#include "host/console.h"
#include "host/ttyinfo.h"
#include "line/LSerial_linux.h"
#include "line/port.h"
#include "protocol/crc_ccitt.h"
#include "sequences/flash.h"
#include "sequences/image_format.h"
#include "trace/trace.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t max_image_size = 61440; // 60 KiB of flash in the motor
constexpr int block_size = 64;            // the image is padded to whole blocks
constexpr uint8_t padding = 0xFF;         // what erased flash reads as
constexpr int chunk_size = 16;            // image bytes in one data frame
constexpr long max_motor_id = 14;

constexpr const char *banner = "######## ##      ## #######  ##    ## #######  ###     ##\n"
                               "##       ##      ## ##    ## ##    ## ##    ## ####    ##\n"
                               "######   ##  ##  ## #######  ##    ## #######  ## ##   ##\n"
                               "##       ## #### ## ##    ## ##    ## ##  ##   ##  ##  ##\n"
                               "##       ####  #### ##    ## ##    ## ##   ##  ##   ## ##\n"
                               "##       ###    ### #######   ######  ##    ## ##    ####\n";

// The state of one run.
int serial = -1;           // the bus
FILE *fp = nullptr;        // the image file while it is read
uint8_t *buffer = nullptr; // the padded image
int fw_size = 0;           // image length in bytes
uint16_t crc_res = 0;      // CRC-16 of the padded image

void usage() {
    puts("RS-485 firmware upgrade tool.");
    printf("Version: %s\n", motorbus_version);
    puts("Support Device: RX-D4420-3\n");
    puts("example: fwburn [com_port] [upgrade .bin file] [motor id]");
    puts("example: fwburn /dev/ttyUSB0 ./RX_D4420_3_v1.0.bin 0: Upgrade firmware for Motor ID 0");
}

// A motor id is a whole base-10 number: leading blanks and a sign as strtol
// takes them, at least one digit and nothing after the digits. A typo must
// not turn into id 0 and flash the wrong motor.
bool parse_motor_id(const char *arg, uint8_t &id) {
    char *end = nullptr;
    const long v = strtol(arg, &end, 10);
    if (end == arg || *end != '\0' || v < 0 || v > max_motor_id) {
        return false;
    }
    id = static_cast<uint8_t>(v);
    return true;
}

[[noreturn]] void refuse_image(const char *path) {
    printf("Error in open file:%s\n", path);
    puts("File type error or file doesn't exist.");
    exit(-1);
}

// Opens the image into fp. Only a regular file is taken: a directory cannot
// be read as an image, and opening a FIFO without a writer would block for
// ever. The type is checked before the open and again on the open file (the
// open does not block even on a FIFO), so nothing else is ever read.
void open_image(const char *path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        refuse_image(path);
    }
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        refuse_image(path);
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        refuse_image(path);
    }
    fp = fdopen(fd, "rb");
    if (fp == nullptr) {
        close(fd);
        refuse_image(path);
    }
}

// Loads the image into buffer, padded to whole blocks. Returns the padded size.
int load_image(const char *path) {
    open_image(path);
    const int64_t size = file_size2(fileno(fp));
    if (size < 0) {
        console_perror("Reading error, try using sudo execute.");
        fclose(fp);
        exit(3);
    }
    if (size > max_image_size) {
        puts("Firmware too large,are you sure this is Tarvo firmware package?");
        printf("File:%s, size:%" PRId64 "KB > Tarvo firmware max size:%" PRId64 "KB\n", path,
               size / 1024, max_image_size / 1024);
        exit(-1);
    }
    if (size == 0) {
        printf("Firmware file %s is empty, nothing to flash.\n", path);
        fclose(fp);
        exit(-1);
    }
    fw_size = static_cast<int>(size);

    const int padded = (fw_size + block_size - 1) / block_size * block_size;
    buffer = static_cast<uint8_t *>(malloc(static_cast<size_t>(padded)));
    if (buffer == nullptr) {
        console_perror("Cannot allocate the firmware buffer");
        fclose(fp);
        exit(-1);
    }
    memset(buffer, padding, static_cast<size_t>(padded));
    if (fread(buffer, 1, static_cast<size_t>(fw_size), fp) != static_cast<size_t>(fw_size)) {
        console_perror("Reading error, try using sudo execute.");
        fclose(fp);
        exit(3);
    }
    // The download erases the motor: a file that can never run (an ELF or
    // hex file, a trace) is refused before the port is opened.
    const ImageFormat format = image_format({buffer, static_cast<size_t>(fw_size)});
    if (format != ImageFormat::raw) {
        printf("Firmware file %s\n", image_format_refusal(format, path).c_str());
        fclose(fp);
        exit(-1);
    }
    return padded;
}

[[noreturn]] void close_and_exit(int status) {
    close_serial(serial);
    // The flash's result is the status; output that could not be written
    // is named, and changes nothing.
    console_flush_output("fwburn");
    exit(status);
}

// An FTDI adapter holds every short reply for its latency timer (16 ms by
// default) before it passes it on, and each chunk waits for its 2-byte
// acknowledgement: a flash loses chunks x timer. Say so, with the fix,
// before the transfer starts. Devices without the timer (an on-board UART,
// a pty) and a timer of 1 ms say nothing.
void warn_latency_timer(const char *device, int chunks) {
    const int timer_ms = tty_latency_timer_ms(serial);
    char attr[96];
    if (timer_ms <= 1 || !tty_latency_timer_path(serial, attr, sizeof attr)) {
        return;
    }
    const long lost_ms = static_cast<long>(chunks) * timer_ms;
    char lost[32];
    if (lost_ms >= 1000) {
        snprintf(lost, sizeof lost, "%ld s", (lost_ms + 500) / 1000);
    } else {
        snprintf(lost, sizeof lost, "%ld ms", lost_ms);
    }
    console_error(
        "warning: %s holds every reply for its USB latency timer of %d ms; this flash of %d "
        "chunks will lose about %s to it\n"
        "  fix: echo 1 | sudo tee %s, or install the udev rule 60-motorbus-adapter.rules\n",
        device, timer_ms, chunks, lost, attr);
}

// fwburn's texts for the steps of the flash. Standard output is flushed
// only by the progress bar, so each wait text reaches the screen with the
// line that completes it.
void print_step(const FlashEvent &e, void *context) {
    int &bar = *static_cast<int *>(context); // characters the bar has drawn
    switch (e.kind) {
    case FlashEventKind::download_sent:
        printf("flash %d\n", e.id);
        printf("Wait for motor to reply ... ");
        break;
    case FlashEventKind::download_open:
        puts("Success");
        puts("Download firmware to MCU");
        break;
    case FlashEventKind::chunk_accepted:
        bar = display_progress(e.percent, bar);
        break;
    case FlashEventKind::chunk_refused:
        break;
    case FlashEventKind::crc_sent:
        printf("\n\nWaiting CRC data ... ");
        break;
    case FlashEventKind::crc_reply:
        printf("CRC:0x%04X ", e.crc);
        break;
    case FlashEventKind::crc_confirmed:
        puts("OK!");
        puts("\nFlash successfully!");
        break;
    case FlashEventKind::start_done:
        if (!e.started) {
            puts("But failed to start the motor, you can power off the motor and try again.");
        }
        break;
    }
}

// How a flash that did not end well is told; the exit status.
int print_failure(const FlashOutcome &o, int padded) {
    switch (o.result) {
    case FlashResult::flashed:
    case FlashResult::start_unconfirmed:
        // A flash confirmed on a line that showed bytes it could not explain
        // is no sure one.
        return line_unexplained() == 0 ? 0 : -1;
    case FlashResult::download_timeout:
    case FlashResult::crc_timeout:
        puts("Timeout");
        break;
    case FlashResult::download_refused:
        puts("Error");
        printf("Bootloader err msg:%s, len:%d\n", reinterpret_cast<const char *>(o.reply.data()),
               o.reply_len);
        break;
    case FlashResult::transfer_timeout:
        printf("\n[Error] %d/%d b Flash transfer interrupted or timed out!\n", o.offset, padded);
        break;
    case FlashResult::chunk_refused:
        printf("\n[Error] Flash fail at %d/%d b, Transmission data check result "
               "error.CRC:%02X/%02X ErrCode:%02X\n",
               o.offset, fw_size, o.sum, o.ack[0], o.ack[1]);
        break;
    case FlashResult::crc_mismatch:
        puts("Error!!!");
        puts("\nFlash fail!!! Please reapply power to the motor and try again.");
        break;
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[]) {
    open_closed_standard_descriptors();
    if (info_option(argc, argv, "fwburn", usage)) {
        return 0;
    }
    trace_start(argc, argv);
    if (argc != 4) {
        usage();
        return -1;
    }
    uint8_t id = 0;
    if (!parse_motor_id(argv[3], id)) {
        puts("Motor ID must be in the range 0-14.");
        return -1;
    }
    const int padded = load_image(argv[2]);
    trace_chunks(padded / chunk_size);

    const Port port = open_port(argv[1]);
    serial = port.serial;
    fclose(fp);
    fp = nullptr;

    puts(banner);
    crc_res = crc_ccitt(0, buffer, static_cast<uint64_t>(padded));
    printf("File: %db, Buff: %db, CRC: %04X\n", fw_size, padded, crc_res);

    warn_latency_timer(argv[1], padded / chunk_size);
    const FlashImage image{buffer, fw_size, padded, crc_res};
    int bar = 0;
    const FlashOutcome outcome =
        flash_motor(serial, port.pollset, id, image, FlashSteps{}, print_step, &bar);
    close_and_exit(print_failure(outcome, padded));
}
