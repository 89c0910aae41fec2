// A preloadable library that lets a pseudo-terminal pass for a serial port.
//
// A pty refuses the serial-configuration ioctls (TIOCGSERIAL, TIOCSSERIAL)
// with ENOTTY, so the tools would stop at set-up. This library answers just
// those two requests on a pty slave; every other call goes to the C library.
//
//   PTYSERIAL_FAIL=get   TIOCGSERIAL fails with ENOTTY (a device that is not a serial port)
//   PTYSERIAL_FAIL=set   TIOCSSERIAL fails with EPERM (a driver that refuses the write-back)
//   PTYSERIAL_SPEED=N    tcgetattr reports N baud (an adapter that cannot run at the rate asked)
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
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

// The speed code for a rate given in baud, 0 when there is none.
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
            memset(arg, 0, sizeof(serial_struct));
            return 0;
        }
        if (told_to_fail("set")) {
            errno = EPERM;
            return -1;
        }
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
