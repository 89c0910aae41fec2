// fwburn: flashes a firmware image into one motor on the RS-485 bus.
//
// The motor is sent into its bootloader, a download is opened, the image
// (padded with 0xFF to whole 64-byte blocks) goes out in 16-byte data frames,
// each acknowledged with its sum, the bootloader's CRC-16 of what it received
// is compared with ours, and the new firmware is started.
#include "LSerial_linux.h"
#include "btcmd.h"
#include "cli.h"
#include "console.h"
#include "crc_ccitt.h"
#include "display_progress.h"
#include "file_size2.h"
#include "motorctrl.h"
#include "trace.h"
#include "ttyinfo.h"
#include "wire.h"

#include <array>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t max_image_size = 61440; // 60 KiB of flash in the motor
constexpr int block_size = 64;            // the image is padded to whole blocks
constexpr uint8_t padding = 0xFF;         // what erased flash reads as
constexpr int chunk_size = 16;            // image bytes in one data frame
constexpr long max_motor_id = 14;

constexpr int long_reply_ms = 10000; // download and CRC replies: the motor erases or checks flash
constexpr int start_attempts = 4;
// A refused chunk is sent again; the third refusal in a row ends the run.
constexpr int max_retries = 2;

constexpr const char *banner = "######## ##      ## #######  ##    ## #######  ###     ##\n"
                               "##       ##      ## ##    ## ##    ## ##    ## ####    ##\n"
                               "######   ##  ##  ## #######  ##    ## #######  ## ##   ##\n"
                               "##       ## #### ## ##    ## ##    ## ##  ##   ##  ##  ##\n"
                               "##       ####  #### ##    ## ##    ## ##   ##  ##   ## ##\n"
                               "##       ###    ### #######   ######  ##    ## ##    ####\n";

// The state of one run.
int serial = -1;                  // the bus
FILE *fp = nullptr;               // the image file while it is read
uint8_t *buffer = nullptr;        // the padded image
int fw_size = 0;                  // image length in bytes
uint16_t crc_res = 0;             // CRC-16 of the padded image
int len = 0;                      // byte count of the latest exchange
std::array<uint8_t, 64> rxdata{}; // 4-byte replies; the bytes after them stay 0
std::array<uint8_t, 64> txdata{}; // encoded commands

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
    return padded;
}

[[noreturn]] void close_and_exit(int status) {
    close_serial(serial);
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

// Sends the motor into its bootloader and opens a download, which erases its
// flash (hence the long wait for the reply).
void open_download(int pollset, uint8_t id) {
    MotorCtrl_SetMode(serial, pollset, id);
    sleep(1);

    // From the download on, the motor's flash is erased: a lost terminal
    // (SIGHUP), a reader of the output that quits (SIGPIPE) or an output
    // file at its size limit (SIGXFSZ) must not end the run and leave it so.
    // Output that cannot be written is lost, the flash is not. Ctrl+C and
    // SIGTERM keep their default actions.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    const std::array<uint8_t, 4> download = {command_lead, BTCMD_DOWNLOAD, id, frame_trailer};
    printf("flash %d\n", id);
    printf("Wait for motor to reply ... ");
    // Whatever arrived since the mode frame (its answer coming late or long,
    // line noise) is no reply to the download and would be read as one.
    discard_input(serial);
    usleep(1000);
    len = send_recv_timeout(serial, pollset, download.data(), download.size(), rxdata.data(), 4,
                            long_reply_ms);
    if (len == 0) {
        puts("Timeout");
        close_and_exit(-1);
    }
    // Any reply that decodes opens the download, whatever id and command it carries.
    btcmd_data rec{};
    Extract_btcmd_data(rxdata.data(), rec);
    if (rec.err == 1) {
        puts("Error");
        printf("Bootloader err msg:%s, len:%d\n", reinterpret_cast<const char *>(rxdata.data()),
               len);
        close_and_exit(-1);
    }
    puts("Success");
    puts("Download firmware to MCU");
    sleep(1);
}

// Streams the padded image in data frames of 16 bytes and their sum. The
// bootloader acknowledges each with the sum it computed and an error code; a
// refused chunk is sent again, at most twice in a row.
void transfer(int pollset, int padded) {
    static int err_cnt = 0;
    int count = 0;
    for (int i = 0; i < padded;) {
        std::array<uint8_t, 2> ack{};
        std::array<uint8_t, chunk_size + 1> frame{};
        uint8_t sum = 0;
        for (int k = 0; k < chunk_size; ++k) {
            frame[static_cast<size_t>(k)] = buffer[i + k];
            sum = static_cast<uint8_t>(sum + buffer[i + k]);
        }
        frame[chunk_size] = sum;

        len = send_recv(serial, pollset, frame.data(), frame.size(), ack.data(), ack.size());
        if (len == 0) {
            printf("\n[Error] %d/%d b Flash transfer interrupted or timed out!\n", i, padded);
            close_and_exit(-1);
        }
        if (ack[0] != sum || ack[1] == ack_refused) {
            if (err_cnt >= max_retries) {
                printf("\n[Error] Flash fail at %d/%d b, Transmission data check result "
                       "error.CRC:%02X/%02X ErrCode:%02X\n",
                       i, fw_size, sum, ack[0], ack[1]);
                close_and_exit(-1);
            }
            ++err_cnt;
            continue;
        }
        err_cnt = 0;
        // Share of the image sent, in single precision as the bar has always
        // shown it; a chunk wholly in the padding would give more than 100.
        int percent =
            static_cast<int>(static_cast<float>(i + 1) / static_cast<float>(fw_size) * 100.0f);
        if (percent > 100) {
            percent = 100;
        }
        count = display_progress(percent, count);
        i += chunk_size;
    }
}

// Has the bootloader compute the CRC of what it received and compares it
// with ours. Only a reply in the CRC form (FC 06 hi lo) carries a CRC: any
// other reply never counts as a match.
bool crc_confirmed(int pollset, uint8_t id) {
    printf("\n\nWaiting CRC data ... ");
    btcmd_data rec{};
    rec.id = id;
    rec.cmd = BTCMD_CRC;
    rec.value = crc_res;
    Modify_btcmd_data(txdata.data(), rec);
    len = send_recv_timeout(serial, pollset, txdata.data(), 4, rxdata.data(), 4, long_reply_ms);
    if (len == 0) {
        puts("Timeout");
        close_and_exit(-1);
    }
    Extract_btcmd_data(rxdata.data(), rec);
    printf("CRC:0x%04X ", rec.value);
    const bool crc_form = rxdata[0] == reply_lead && rxdata[1] == BTCMD_CRC && rec.err == 0;
    return crc_form && rec.value == crc_res;
}

// Starts the new firmware (up to four attempts), then sends one query whose
// answer is not examined.
void start_firmware(int pollset, uint8_t id) {
    btcmd_data rec{};
    bool started = false;
    for (int attempt = 0; attempt < start_attempts && !started; ++attempt) {
        rec.id = id;
        rec.cmd = BTCMD_START;
        Modify_btcmd_data(txdata.data(), rec);
        len = send_recv(serial, pollset, txdata.data(), 4, rxdata.data(), 4);
        Extract_btcmd_data(rxdata.data(), rec);
        started = len == 4 && rec.cmd == BTCMD_START;
    }
    if (!started) {
        puts("But failed to start the motor, you can power off the motor and try again.");
    }
    rec.id = id;
    rec.cmd = BTCMD_QUERY;
    Modify_btcmd_data(txdata.data(), rec);
    len = send_recv(serial, pollset, txdata.data(), 4, rxdata.data(), 4);
    Extract_btcmd_data(rxdata.data(), rec);
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

    serial = open_set(argv[1]);
    const int pollset = epoll_create(1);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = serial;
    const int r = epoll_ctl(pollset, EPOLL_CTL_ADD, serial, &ev);
    if (r != 0) {
        printf("[ERROR] Serial communication: epoll set error: %d\n", r);
        exit(r);
    }
    fclose(fp);
    fp = nullptr;

    puts(banner);
    crc_res = crc_ccitt(0, buffer, static_cast<uint64_t>(padded));
    printf("File: %db, Buff: %db, CRC: %04X\n", fw_size, padded, crc_res);

    warn_latency_timer(argv[1], padded / chunk_size);
    open_download(pollset, id);
    transfer(pollset, padded);
    if (!crc_confirmed(pollset, id)) {
        puts("Error!!!");
        puts("\nFlash fail!!! Please reapply power to the motor and try again.");
        close_and_exit(-1);
    }
    puts("OK!");
    puts("\nFlash successfully!");
    start_firmware(pollset, id);
    // A flash confirmed on a line that showed bytes it could not explain is
    // no sure one.
    close_and_exit(line_unexplained() == 0 ? 0 : -1);
}
