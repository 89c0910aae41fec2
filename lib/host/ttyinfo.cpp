// What the tty driver says about an open device (ttyinfo.h): its rate, its
// USB latency timer from sysfs, the adapters there are when one is missing.
#include "host/ttyinfo.h"

#include "host/console.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

// Speed codes and the rates they stand for.
struct SpeedCode {
    speed_t code;
    unsigned baud;
};
constexpr SpeedCode speed_codes[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

} // namespace

unsigned baud_of(speed_t code) {
    for (const SpeedCode &s : speed_codes) {
        if (s.code == code) {
            return s.baud;
        }
    }
    return 0;
}

unsigned tty_baud(int fd) {
    termios now{};
    if (tcgetattr(fd, &now) != 0) {
        return 0;
    }
    return baud_of(cfgetospeed(&now));
}

bool tty_latency_timer_path(int fd, char *path, size_t size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const int n = snprintf(path, size, "/sys/dev/char/%u:%u/device/latency_timer",
                           major(st.st_rdev), minor(st.st_rdev));
    return n > 0 && static_cast<size_t>(n) < size && access(path, F_OK) == 0;
}

int tty_latency_timer_ms(int fd) {
    char path[96];
    if (!tty_latency_timer_path(fd, path, sizeof path)) {
        return -1;
    }
    const int attr = open(path, O_RDONLY | O_CLOEXEC);
    if (attr < 0) {
        return -1;
    }
    char text[16] = {};
    const ssize_t n = read(attr, text, sizeof text - 1);
    close(attr);
    if (n <= 0) {
        return -1;
    }
    char *end = nullptr;
    const long ms = strtol(text, &end, 10);
    return end != text && ms >= 0 && ms <= 255 ? static_cast<int>(ms) : -1;
}

void warn_latency_over(int fd, const char *device, int wait_ms) {
    const int timer_ms = tty_latency_timer_ms(fd);
    char attr[96];
    if (timer_ms <= wait_ms || !tty_latency_timer_path(fd, attr, sizeof attr)) {
        return;
    }
    console_error(
        "warning: %s holds every reply for its USB latency timer of %d ms, longer than the "
        "%d ms this tool waits for one: motors may be missed\n"
        "  fix: echo 1 | sudo tee %s, or install the udev rule 60-motorbus-adapter.rules\n",
        device, timer_ms, wait_ms, attr);
}

namespace {

// Appends text to the list in out, after a ", " when it is not the first.
void append(char *out, size_t size, size_t &used, const char *sep, const char *text) {
    const int n = snprintf(out + used, size - used, "%s%s", used > 0 ? sep : "", text);
    if (n > 0) {
        used = std::min(size - 1, used + static_cast<size_t>(n));
    }
}

} // namespace

int tty_adapters(const char *root, char *out, size_t size) {
    if (size == 0) {
        return 0;
    }
    out[0] = '\0';
    size_t used = 0;
    char pattern[PATH_MAX];
    glob_t devices{};
    snprintf(pattern, sizeof pattern, "%s/ttyUSB*", root);
    glob(pattern, 0, nullptr, &devices);
    snprintf(pattern, sizeof pattern, "%s/ttyACM*", root);
    glob(pattern, GLOB_APPEND, nullptr, &devices);
    glob_t names{};
    snprintf(pattern, sizeof pattern, "%s/serial/by-id/*", root);
    glob(pattern, 0, nullptr, &names);

    std::vector<bool> named(names.gl_pathc); // listed beside its device
    int listed = 0;
    for (size_t d = 0; d < devices.gl_pathc; ++d) {
        append(out, size, used, ", ", devices.gl_pathv[d]);
        ++listed;
        char device[PATH_MAX];
        char target[PATH_MAX];
        int aliases = 0;
        for (size_t k = 0; k < names.gl_pathc; ++k) {
            if (realpath(devices.gl_pathv[d], device) != nullptr &&
                realpath(names.gl_pathv[k], target) != nullptr && strcmp(device, target) == 0) {
                append(out, size, used, aliases == 0 ? " (" : " ", names.gl_pathv[k]);
                named[k] = true;
                ++aliases;
            }
        }
        if (aliases > 0) {
            append(out, size, used, "", ")");
        }
    }
    for (size_t k = 0; k < names.gl_pathc; ++k) {
        if (!named[k]) {
            append(out, size, used, ", ", names.gl_pathv[k]);
            ++listed;
        }
    }
    globfree(&names);
    globfree(&devices);
    return listed;
}

void tty_say_missing(const char *path) {
    const int err = errno;
    if (err != ENOENT && err != ENXIO && err != ENODEV) {
        return;
    }
    char adapters[2048];
    if (tty_adapters("/dev", adapters, sizeof adapters) > 0) {
        console_error("the device '%s' is not there; the serial adapters here: %s\n", path,
                      adapters);
    } else {
        console_error("the device '%s' is not there, nor any serial adapter (/dev/ttyUSB*, "
                      "/dev/ttyACM*, /dev/serial/by-id/*): is the adapter plugged in?\n",
                      path);
    }
    errno = err;
}
