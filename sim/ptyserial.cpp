// A preloadable library that lets a pseudo-terminal pass for a serial port.
//
// A pty refuses the serial-configuration ioctls (TIOCGSERIAL, TIOCSSERIAL)
// with ENOTTY, so the tools would stop at set-up. This library answers just
// those two requests on a pty slave; every other call goes to the C library.
//
//   PTYSERIAL_FAIL=get   TIOCGSERIAL fails with ENOTTY (a device that is not a serial port)
//   PTYSERIAL_FAIL=set   TIOCSSERIAL fails with EPERM (a driver that refuses the write-back)
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

bool told_to_fail(const char *which) {
    const char *v = getenv("PTYSERIAL_FAIL");
    return v != nullptr && strcmp(v, which) == 0;
}

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
    static const auto next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}
