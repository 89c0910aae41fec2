// The facts about a serial adapter and the user (facts.h): sysfs, /dev,
// /proc, /etc/group and the udev rule folders, read under a root.
#include "host/facts.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "host/ttyinfo.h"

namespace facts {

// The content of a small regular file, at most 256 KiB; empty when it is
// missing, unreadable or no regular file (a FIFO is never opened: it could
// block).
std::string read_text(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return {};
    }
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while (text.size() < 256 * 1024 && (n = read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// The first line of a file, without its newline.
std::string read_line(const std::string &path) {
    std::string t = read_text(path);
    const size_t nl = t.find('\n');
    return nl == std::string::npos ? t : t.substr(0, nl);
}

std::string real(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string base(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string link_base(const std::string &path) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? base(std::string(buf, static_cast<size_t>(n))) : std::string();
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool starts(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::string lower(std::string s) {
    for (char &c : s) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool all_digits(const std::string &s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return isdigit(c) != 0; });
}

std::string group_name(const std::string &root, gid_t gid, std::vector<std::string> *members) {
    std::istringstream in(read_text(root + "/etc/group"));
    std::string line;
    while (std::getline(in, line)) {
        // name:password:gid:member,member
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string part;
        while (std::getline(fields, part, ':')) {
            f.push_back(part);
        }
        if (f.size() >= 3 && all_digits(f[2]) && strtoul(f[2].c_str(), nullptr, 10) == gid) {
            if (members != nullptr && f.size() >= 4) {
                std::istringstream list(f[3]);
                while (std::getline(list, part, ',')) {
                    members->push_back(part);
                }
            }
            return f[0];
        }
    }
    return std::to_string(gid);
}

// The name and pid of a process, "name (pid N)".
std::string process(const std::string &root, const std::string &pid) {
    std::string comm = read_line(root + "/proc/" + pid + "/comm");
    return (comm.empty() ? std::string("a process") : comm) + " (pid " + pid + ")";
}

// Processes whose comm is name.
bool running(const std::string &root, const char *name) {
    for (const std::string &pid : entries(root + "/proc")) {
        if (all_digits(pid) && read_line(root + "/proc/" + pid + "/comm") == name) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> holders(const std::string &root, const Adapter &a) {
    struct stat st {};
    if (stat((root + a.device).c_str(), &st) != 0) {
        return {};
    }
    std::vector<std::string> holders;
    // The lock the tools take (flock) is in /proc/locks as
    // "1: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE 0 EOF", the device number
    // of the file system (hex) and the inode.
    char key[64];
    snprintf(key, sizeof key, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    std::istringstream locks(read_text(root + "/proc/locks"));
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream w(line);
        std::vector<std::string> f;
        std::string word;
        while (w >> word) {
            f.push_back(word);
        }
        if (f.size() >= 6 && f[1] == "FLOCK" && f[5] == key && all_digits(f[4])) {
            holders.push_back(process(root, f[4]) + " holds its lock");
        }
    }
    // Open descriptors: /proc/PID/fd/N leads to the device (readable for
    // one's own processes, or all of them as root).
    for (const std::string &pid : entries(root + "/proc")) {
        if (!all_digits(pid) || pid == std::to_string(getpid())) {
            continue;
        }
        for (const std::string &fd : entries(root + "/proc/" + pid + "/fd")) {
            char target[PATH_MAX];
            const std::string link = root + "/proc/" + pid + "/fd/" + fd;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == a.device) {
                const std::string who = process(root, pid) + " has it open";
                const std::string locker = process(root, pid) + " holds its lock";
                if (std::find(holders.begin(), holders.end(), locker) == holders.end()) {
                    holders.push_back(who);
                }
                break;
            }
        }
    }
    return holders;
}

// The lines of the udev rule files under root that mention both words
// (case-insensitive) and, when want is set, contain it too.
std::vector<RuleHit> rules_with(const std::string &root, const std::vector<std::string> &any_of,
                                const char *file_word, const char *line_word) {
    std::vector<RuleHit> hits;
    for (const char *dir : rule_dirs) {
        for (const std::string &f : entries(root + dir)) {
            if (f.size() < 6 || f.substr(f.size() - 6) != ".rules") {
                continue;
            }
            const bool file_named =
                file_word != nullptr && lower(f).find(file_word) != std::string::npos;
            std::istringstream in(read_text(root + dir + "/" + f));
            std::string line;
            int number = 0;
            while (std::getline(in, line)) {
                ++number;
                const std::string l = lower(line);
                if (l.empty() || l[0] == '#') {
                    continue;
                }
                if (!file_named &&
                    (line_word == nullptr || l.find(line_word) == std::string::npos)) {
                    continue;
                }
                for (const std::string &w : any_of) {
                    if (l.find(w) != std::string::npos) {
                        hits.push_back(
                            {std::string(dir) + "/" + f + ":" + std::to_string(number), line});
                        break;
                    }
                }
            }
        }
    }
    return hits;
}

} // namespace facts

using namespace facts;

namespace {

// Fills in what sysfs says of the tty called a.name.
void read_sysfs(const std::string &root, Adapter &a) {
    const std::string cls = root + "/sys/class/tty/" + a.name;
    const std::string dev = cls + "/device";
    a.driver = link_base(dev + "/driver");
    // Newer kernels put a UART's port under its controller: the driver of
    // the port ("port") says less than the controller's (serial8250).
    std::string above = real(dev);
    for (int i = 0; i < 3 && (a.driver.empty() || a.driver == "port" || a.driver == "ctrl") &&
                    above.size() > 1;
         ++i) {
        above = above.substr(0, above.rfind('/'));
        const std::string d = link_base(above + "/driver");
        a.driver = d.empty() ? a.driver : d;
    }
    // A UART's clock: the base rate is a sixteenth of it.
    const std::string clk = read_line(cls + "/uartclk");
    if (!clk.empty()) {
        a.uart_base = static_cast<unsigned>(strtoul(clk.c_str(), nullptr, 10) / 16);
    }
    // The USB device is the first directory above the tty's device with
    // USB ids; the walk stops at the root's /sys.
    std::string up = real(dev);
    const std::string top = real(root + "/sys");
    while (!up.empty() && !top.empty() && up.size() > top.size() && starts(up, top.c_str())) {
        const std::string v = read_line(up + "/idVendor");
        if (!v.empty()) {
            a.vendor = lower(v);
            a.product = lower(read_line(up + "/idProduct"));
            a.bcd_device = lower(read_line(up + "/bcdDevice"));
            a.product_name = read_line(up + "/product");
            a.serial = read_line(up + "/serial");
            break;
        }
        up = up.substr(0, up.rfind('/'));
    }
}

// The links in dir that lead to the device.
std::vector<std::string> links_to(const std::string &root, const std::string &dir,
                                  const std::string &target) {
    std::vector<std::string> found;
    for (const std::string &n : entries(root + dir)) {
        if (real(root + dir + "/" + n) == target) {
            found.push_back(dir + "/" + n);
        }
    }
    return found;
}

// The first directory on path's way that this process may not search;
// empty when none stops it.
std::string blocked_dir(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (access(dir.c_str(), X_OK) != 0 && errno == EACCES) {
            return dir;
        }
    }
    return {};
}

// On this machine: what the device node a.device is, by its type and its
// number, not its name (a node made with mknod anywhere is the device it
// names). Sets a.name to the kernel's name of it. False, with not_serial
// said, when it is no serial adapter.
bool judge_node(Adapter &a) {
    struct stat st {};
    if (stat(a.device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        a.not_serial = S_ISREG(st.st_mode)   ? "a regular file"
                       : S_ISDIR(st.st_mode) ? "a directory"
                                             : "not a character device";
        return false;
    }
    if (a.pty) {
        return true;
    }
    const std::string node = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
    const std::string name = link_base(node);
    if (link_base(node + "/subsystem") != "tty" || name.empty()) {
        a.not_serial = "not a tty";
        return false;
    }
    a.name = name;
    const bool virtual_console =
        starts(name, "tty") && name.size() > 3 && all_digits(name.substr(3));
    a.not_serial = name == "tty"       ? "the controlling terminal of whoever opens it"
                   : name == "console" ? "the system console"
                   : name == "ptmx"    ? "the pseudo-terminal multiplexer"
                   : virtual_console   ? "a virtual console"
                                       : "";
    return a.not_serial.empty();
}

} // namespace

// Whether another program opened the device exclusively (TIOCEXCL): every
// other open then fails with EBUSY, but root's, which TIOCGEXCL tells.
// Opens the device, without a byte written and without a setting changed.
bool facts::exclusive(const Adapter &a) {
    const int fd = open(a.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    int excl = 0;
    const bool held = ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    close(fd);
    return held;
}

Identity setup_identity() {
    Identity me;
    me.uid = getuid();
    me.gid = getgid();
    if (const passwd *pw = getpwuid(me.uid)) {
        me.name = pw->pw_name;
    } else {
        me.name = std::to_string(me.uid);
    }
    const int n = getgroups(0, nullptr);
    if (n > 0) {
        me.session.resize(static_cast<size_t>(n));
        me.session.resize(static_cast<size_t>(std::max(0, getgroups(n, me.session.data()))));
    }
    me.session.push_back(getegid());
    return me;
}

Adapter setup_adapter(const std::string &root, const std::string &path) {
    Adapter a;
    const std::string canonical = real(root + path);
    a.present = !canonical.empty();
    if (!a.present && errno == EACCES) {
        a.blocked = blocked_dir(root + path);
    }
    a.device = a.present ? canonical.substr(root.size()) : path;
    a.pty = starts(a.device, "/dev/pts/");
    a.name = a.pty ? a.device.substr(5) : base(a.device);
    if (!a.present) {
        return a;
    }
    if (root.empty() && !judge_node(a)) {
        return a;
    }
    if (!a.pty) {
        struct stat st {};
        a.tty = stat((root + "/sys/class/tty/" + a.name).c_str(), &st) == 0;
        read_sysfs(root, a);
        std::istringstream active(read_line(root + "/sys/class/tty/console/active"));
        for (std::string name; active >> name;) {
            a.console = a.console || name == a.name;
        }
    }
    a.by_id = links_to(root, "/dev/serial/by-id", canonical);
    a.by_path = links_to(root, "/dev/serial/by-path", canonical);
    return a;
}

std::vector<Adapter> setup_adapters(const std::string &root) {
    std::vector<Adapter> found;
    for (const std::string &n : entries(root + "/sys/class/tty")) {
        if (starts(n, "ttyS") || starts(n, "ttyAMA")) {
            // Most ttyS ports are place-holders with no UART (type 0).
            const std::string type = read_line(root + "/sys/class/tty/" + n + "/type");
            if (type.empty() || type == "0") {
                continue;
            }
        } else if (!starts(n, "ttyUSB") && !starts(n, "ttyACM")) {
            continue;
        }
        found.push_back(setup_adapter(root, "/dev/" + n));
    }
    return found;
}

unsigned setup_read_back(const std::string &device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    unsigned baud = 0;
    termios old{};
    // The lock the tools take: a tool at work is left alone.
    if (isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0 && tcgetattr(fd, &old) == 0) {
        termios t = old;
        cfsetispeed(&t, B4000000);
        cfsetospeed(&t, B4000000);
        if (tcsetattr(fd, TCSANOW, &t) == 0) {
            baud = tty_baud(fd);
        }
        tcsetattr(fd, TCSANOW, &old);
    }
    close(fd);
    return baud;
}
