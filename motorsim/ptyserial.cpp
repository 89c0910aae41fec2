// A preloadable library that lets a pseudo-terminal pass for a serial port.
//
// A pty refuses the serial-configuration ioctls (TIOCGSERIAL, TIOCSSERIAL)
// with ENOTTY, so the tools would stop at set-up. This library answers just
// those two requests on a pty slave: TIOCSSERIAL stores the configuration it
// is given and TIOCGSERIAL reports the last one stored in this process (all
// zero at first), as a driver reports its flags back. Every other call goes
// to the C library.
//
//   PTYSERIAL_FAIL=get   TIOCGSERIAL fails with ENOTTY (a device that is not a serial port)
//   PTYSERIAL_FAIL=set   TIOCSSERIAL fails with EPERM (a driver that refuses the write-back)
//   PTYSERIAL_SPEED=N    tcgetattr reports N baud (an adapter that cannot run at the rate asked)
//
// A USB adapter with a latency timer (motorsim --adapter sets these):
//
//   PTYSERIAL_LATENCY_FILE=PATH   a pty slave's sysfs attribute
//                                 /sys/dev/char/MAJ:MIN/device/latency_timer
//                                 is PATH: open and access of the attribute go there
//   PTYSERIAL_ADAPTER=ftdi:MS[:ignore-flag]
//                                 TIOCSSERIAL with ASYNC_LOW_LATENCY writes 1 to PATH,
//                                 without it MS, as ftdi_sio programs its chip; with
//                                 ignore-flag PATH is left alone (a driver that keeps
//                                 its timer whatever the flag says)
//
// Several adapters, one per pty (motorsim with several buses):
//
//   PTYSERIAL_ADAPTERS=MAJ:MIN ftdi:MS[:ignore-flag] PATH[;...]
//                                 the same for the pty slave MAJ:MIN, each
//                                 with its own attribute file; a pty not
//                                 listed falls back to the two above
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

namespace {

using ioctl_fn = int (*)(int, unsigned long, ...);

// Unix98 pty slaves use the character device majors 136 to 143.
bool is_pty_slave(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

// The speed code for a rate given in baud, 0 when there is none. The shim
// is preloaded into programs it must not change, so it links nothing of
// lib/ and keeps here the few rates PTYSERIAL_SPEED is set to (lib/ttyinfo
// has the full table the tools use).
speed_t speed_code(unsigned long baud) {
    constexpr struct {
        unsigned long baud;
        speed_t code;
    } codes[] = {{9600, B9600},       {115200, B115200},   {921600, B921600},
                 {1000000, B1000000}, {2000000, B2000000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto &c : codes) {
        if (c.baud == baud) {
            return c.code;
        }
    }
    return 0;
}

bool told_to_fail(const char *which) {
    const char *v = getenv("PTYSERIAL_FAIL");
    return v != nullptr && strcmp(v, which) == 0;
}

// The configuration the last TIOCSSERIAL stored.
serial_struct stored{};

// The adapter PTYSERIAL_ADAPTERS gives the pty slave maj:min: its
// "ftdi:..." word into adapter and its attribute file into file. False
// when none is given.
bool listed_adapter(unsigned maj, unsigned min, char *adapter, size_t adapter_size, char *file,
                    size_t file_size) {
    const char *list = getenv("PTYSERIAL_ADAPTERS");
    while (list != nullptr && *list != '\0') {
        unsigned a = 0;
        unsigned b = 0;
        int word = 0;
        int word_end = 0;
        int path = 0;
        int path_end = 0;
        const char *semi = strchr(list, ';');
        const int len =
            semi != nullptr ? static_cast<int>(semi - list) : static_cast<int>(strlen(list));
        if (sscanf(list, "%u:%u %n%*s%n %n", &a, &b, &word, &word_end, &path) == 2 && path > 0 &&
            path < len && a == maj && b == min) {
            path_end = len;
            snprintf(adapter, adapter_size, "%.*s", word_end - word, list + word);
            snprintf(file, file_size, "%.*s", path_end - path, list + path);
            return true;
        }
        list = semi != nullptr ? semi + 1 : nullptr;
    }
    return false;
}

// The attribute a pty slave's latency timer stands in for: PTYSERIAL_LATENCY_FILE
// when path is /sys/dev/char/MAJ:MIN/device/latency_timer of a pty slave,
// else path itself.
const char *redirected(const char *path) {
    const char *file = getenv("PTYSERIAL_LATENCY_FILE");
    unsigned maj = 0;
    unsigned min = 0;
    int end = 0;
    if (path == nullptr ||
        sscanf(path, "/sys/dev/char/%u:%u/device/latency_timer%n", &maj, &min, &end) != 2 ||
        path[end] != '\0' || maj < 136 || maj > 143) {
        return path;
    }
    static thread_local char listed[4096];
    char adapter[64];
    if (listed_adapter(maj, min, adapter, sizeof adapter, listed, sizeof listed)) {
        return listed;
    }
    return file != nullptr ? file : path;
}

// What the adapter's driver does with the low-latency flag: the timer reads
// 1 ms while it is set and the stored value otherwise.
void apply_low_latency(int fd, const serial_struct &s) {
    const char *file = getenv("PTYSERIAL_LATENCY_FILE");
    const char *adapter = getenv("PTYSERIAL_ADAPTER");
    char listed_adapter_word[64];
    char listed_file[4096];
    struct stat st {};
    if (fstat(fd, &st) == 0 &&
        listed_adapter(major(st.st_rdev), minor(st.st_rdev), listed_adapter_word,
                       sizeof listed_adapter_word, listed_file, sizeof listed_file)) {
        adapter = listed_adapter_word;
        file = listed_file;
    }
    int ms = 0;
    int end = 0;
    if (file == nullptr || adapter == nullptr || sscanf(adapter, "ftdi:%d%n", &ms, &end) != 1 ||
        adapter[end] != '\0') {
        return; // no adapter, or one that ignores the flag
    }
    if (FILE *f = fopen(file, "w")) {
        fprintf(f, "%d\n", (s.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : ms);
        fclose(f);
    }
}

// A 32-bit machine built with 64-bit time (armhf, _TIME_BITS=64): the C
// library's header renames ioctl to __ioctl_time64, so the definition below
// stands in for that one, and calls must go on to it, not to the ioctl that
// takes 32-bit time layouts.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
constexpr const char *next_ioctl = "__ioctl_time64";
#else
constexpr const char *next_ioctl = "ioctl";
#endif

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && is_pty_slave(fd)) {
        if (request == TIOCGSERIAL) {
            if (told_to_fail("get")) {
                errno = ENOTTY;
                return -1;
            }
            memcpy(arg, &stored, sizeof stored);
            return 0;
        }
        if (told_to_fail("set")) {
            errno = EPERM;
            return -1;
        }
        memcpy(&stored, arg, sizeof stored);
        apply_low_latency(fd, stored);
        return 0;
    }
    static const auto next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, next_ioctl));
    return next(fd, request, arg);
}

extern "C" int tcgetattr(int fd, termios *tio) noexcept {
    using tcgetattr_fn = int (*)(int, termios *);
    static const auto next = reinterpret_cast<tcgetattr_fn>(dlsym(RTLD_NEXT, "tcgetattr"));
    const int r = next(fd, tio);
    const char *speed = getenv("PTYSERIAL_SPEED");
    if (r == 0 && speed != nullptr && is_pty_slave(fd)) {
        const speed_t code = speed_code(strtoul(speed, nullptr, 10));
        cfsetispeed(tio, code);
        cfsetospeed(tio, code);
    }
    return r;
}

extern "C" int access(const char *path, int mode) noexcept {
    using access_fn = int (*)(const char *, int);
    static const auto next = reinterpret_cast<access_fn>(dlsym(RTLD_NEXT, "access"));
    return next(redirected(path), mode);
}

namespace {

using open_fn = int (*)(const char *, int, ...);

// The mode argument follows only when a file may be created.
int forward_open(open_fn next, const char *path, int flags, va_list ap) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        return next(redirected(path), flags, va_arg(ap, mode_t));
    }
    return next(redirected(path), flags);
}

} // namespace

// Both names are defined whatever this build's headers map open to: open64
// is the one a program built with 64-bit file offsets on a 32-bit machine calls.
extern "C" int shim_open(const char *path, int flags, ...) __asm__("open");
extern "C" int shim_open64(const char *path, int flags, ...) __asm__("open64");

extern "C" int shim_open(const char *path, int flags, ...) {
    static const auto next = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    va_list ap;
    va_start(ap, flags);
    const int fd = forward_open(next, path, flags, ap);
    va_end(ap);
    return fd;
}

extern "C" int shim_open64(const char *path, int flags, ...) {
    static const auto next = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open64"));
    va_list ap;
    va_start(ap, flags);
    const int fd = forward_open(next, path, flags, ap);
    va_end(ap);
    return fd;
}
