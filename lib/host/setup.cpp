#include "host/setup.h"

#include "host/console.h"
#include "host/ttyinfo.h"

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

namespace {

constexpr unsigned bus_baud = 4000000;

constexpr const char *rule_name = "60-motorbus-adapter.rules";
constexpr const char *rule_dirs[] = {"/etc/udev/rules.d", "/lib/udev/rules.d",
                                     "/usr/lib/udev/rules.d"};
constexpr const char *install_rule =
    "sudo cp /usr/share/doc/motorbus/60-motorbus-adapter.rules /etc/udev/rules.d/ && "
    "sudo udevadm control --reload && sudo udevadm trigger";

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

struct RuleHit {
    std::string where; // file:line
    std::string line;
};

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

// How a rule line may name the adapter: ATTRS{idVendor}=="0403" with
// ATTRS{idProduct}=="6001" on one line, or ENV{PRODUCT}=="403/6001/*".
std::vector<std::string> id_patterns(const Adapter &a) {
    const unsigned v = static_cast<unsigned>(strtoul(a.vendor.c_str(), nullptr, 16));
    const unsigned p = static_cast<unsigned>(strtoul(a.product.c_str(), nullptr, 16));
    char product_env[32];
    snprintf(product_env, sizeof product_env, "\"%x/%x/", v, p);
    return {product_env};
}

bool names_ids(const std::string &line, const Adapter &a) {
    const std::string l = lower(line);
    if (l.find("idvendor}==\"" + a.vendor + "\"") != std::string::npos &&
        l.find("idproduct}==\"" + a.product + "\"") != std::string::npos) {
        return true;
    }
    for (const std::string &p : id_patterns(a)) {
        if (l.find(p) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string mode_text(mode_t m) {
    char s[10];
    const char *rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        s[i] = (m & (0400u >> i)) != 0 ? rwx[i] : '-';
    }
    return std::string(s, 9);
}

struct ChipRow {
    const char *vendor, *product, *bcd, *name_has; // nullptr: any
    const char *chip;
    unsigned max;
    bool clamps;
    const char *source;
};

// The chips, the more particular rows first. max 0: the chip is told apart
// no further; the rate the driver reads back decides.
constexpr ChipRow chips[] = {
    {"0403", "6001", "0600", nullptr, "FT232R", 3000000, false,
     "FTDI FT232R datasheet: up to 3 Mbaud; ftdi_sio refuses faster rates and falls back to 9600"},
    {"0403", "6001", "0400", nullptr, "FT232BM", 3000000, false,
     "FTDI FT232BM datasheet: up to 3 Mbaud; ftdi_sio refuses faster rates and falls back to 9600"},
    {"0403", "6001", nullptr, nullptr, "FT232R/FT232BM class", 3000000, false,
     "FTDI datasheets of the 0403:6001 chips: up to 3 Mbaud"},
    {"0403", "6015", nullptr, nullptr, "FT-X (FT230X/FT231X/FT234XD)", 3000000, false,
     "FTDI FT-X datasheets: up to 3 Mbaud"},
    {"0403", "6010", "0500", nullptr, "FT2232C/D", 3000000, false,
     "FTDI FT2232D datasheet: up to 3 Mbaud"},
    {"0403", "6010", nullptr, nullptr, "FT2232H", 12000000, false,
     "FTDI FT2232H datasheet: up to 12 Mbaud"},
    {"0403", "6011", nullptr, nullptr, "FT4232H", 12000000, false,
     "FTDI FT4232H datasheet: up to 12 Mbaud"},
    {"0403", "6014", nullptr, nullptr, "FT232H", 12000000, false,
     "FTDI FT232H datasheet: up to 12 Mbaud"},
    {"10c4", "ea60", nullptr, "CP2102N", "CP2102N", 3000000, false,
     "Silicon Labs CP2102N datasheet: up to 3 Mbaud"},
    {"10c4", "ea60", nullptr, "CP2104", "CP2104", 2000000, false,
     "Silicon Labs CP2104 datasheet: up to 2 Mbaud"},
    {"10c4", "ea60", nullptr, nullptr, "CP2102/CP2109", 1000000, false,
     "Silicon Labs CP2102 datasheet: up to 1 Mbaud"},
    {"10c4", "ea70", nullptr, nullptr, "CP2105", 2000000, false,
     "Silicon Labs CP2105 datasheet: up to 2 Mbaud"},
    {"10c4", "ea71", nullptr, nullptr, "CP2108", 2000000, false,
     "Silicon Labs CP2108 datasheet: up to 2 Mbaud"},
    {"1a86", "7523", nullptr, nullptr, "CH340", 2000000, true,
     "WCH CH340 datasheet: up to 2 Mbaud; the kernel's ch341 driver clamps faster rates to "
     "its CH341_MAX_BPS, 3000000, and still reports the rate asked for"},
    {"1a86", "5523", nullptr, nullptr, "CH341", 2000000, true,
     "WCH CH341 datasheet: up to 2 Mbaud; the kernel's ch341 driver clamps faster rates to "
     "its CH341_MAX_BPS, 3000000, and still reports the rate asked for"},
    {"1a86", "55d3", nullptr, nullptr, "CH343", 6000000, false, "WCH CH343: up to 6 Mbaud"},
    {"1a86", "55d4", nullptr, nullptr, "CH9102", 6000000, false, "WCH CH9102: up to 6 Mbaud"},
    {"067b", "2303", "0300", nullptr, "PL2303HX", 6000000, false,
     "Prolific PL2303HX: up to 6 Mbaud; pl2303 reports the rate it sets"},
    {"067b", "2303", nullptr, nullptr, "PL2303 (H/HXD/TA/TB)", 0, false,
     "Prolific PL2303 variants share 067b:2303; pl2303 reports the rate it sets"},
    {"067b", "23a3", nullptr, nullptr, "PL2303GC", 12000000, false, "Prolific PL2303G: 12 Mbaud"},
    {"067b", "23c3", nullptr, nullptr, "PL2303GT", 12000000, false, "Prolific PL2303G: 12 Mbaud"},
    {"067b", "23d3", nullptr, nullptr, "PL2303GL", 12000000, false, "Prolific PL2303G: 12 Mbaud"},
};

// A UART runs at most a sixteenth of its clock: 4,000,000 baud needs 64 MHz.
std::string uart_clock_fix(unsigned base) {
    return "its clock is " + std::to_string(base * 16) + " Hz; 4000000 baud needs " +
           std::to_string(bus_baud * 16) +
           " Hz (the UART's clock in the device tree; on a Raspberry Pi init_uart_clock in "
           "config.txt), or use a USB adapter whose chip runs 4000000 baud";
}

bool matches(const char *want, const std::string &have) {
    return want == nullptr || have == want;
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

// Whether another program opened the device exclusively (TIOCEXCL): every
// other open then fails with EBUSY, but root's, which TIOCGEXCL tells.
// Opens the device, without a byte written and without a setting changed.
bool exclusive(const Adapter &a) {
    const int fd = open(a.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    int excl = 0;
    const bool held = ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    close(fd);
    return held;
}

} // namespace

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

Chip setup_chip(const Adapter &a) {
    if (!a.vendor.empty()) {
        for (const ChipRow &r : chips) {
            if (matches(r.vendor, a.vendor) && matches(r.product, a.product) &&
                matches(r.bcd, a.bcd_device) &&
                (r.name_has == nullptr || a.product_name.find(r.name_has) != std::string::npos)) {
                return {r.chip, r.max, r.clamps, r.source};
            }
        }
    }
    if (a.driver == "ch341-uart" || a.driver == "ch341") {
        return {"CH340/CH341", 2000000, true,
                "WCH CH340 datasheet: up to 2 Mbaud; the ch341 driver clamps (to at most "
                "3000000) without saying so"};
    }
    if (a.uart_base > 0) {
        // A board's own UART is named by its driver; every other one with a
        // clock is taken for a 16550. Either runs at most its base rate.
        return {a.driver == "uart-pl011" ? "PL011 UART" : "UART (16550 class)", a.uart_base, false,
                "its base rate: the UART's clock / 16 (sysfs uartclk)"};
    }
    return {};
}

Verdict setup_access(const std::string &root, const Adapter &a, const Identity &me) {
    Verdict v;
    v.check = "access";
    struct stat st {};
    if (!a.blocked.empty()) {
        v.level = Level::fail;
        v.text = "you (" + me.name + ") may not search the directory " +
                 a.blocked.substr(root.size()) + " on its path";
        v.fix = "name the device by a path you may reach (/dev/serial/by-id/...), or ask for "
                "search (x) permission on " +
                a.blocked.substr(root.size());
        return v;
    }
    if (stat((root + a.device).c_str(), &st) != 0) {
        v.level = Level::fail;
        v.text = a.device + " is not there";
        v.fix = "plug the adapter in; 'motorbus doctor' lists the adapters there are";
        return v;
    }
    std::vector<std::string> members;
    const std::string group = group_name(root, st.st_gid, &members);
    const std::string owner =
        "owner " + std::to_string(st.st_uid) + ", group " + group + ", " + mode_text(st.st_mode);
    const bool in_session = me.gid == st.st_gid || std::find(me.session.begin(), me.session.end(),
                                                             st.st_gid) != me.session.end();
    const bool may = me.uid == 0 || (st.st_uid == me.uid && (st.st_mode & 0600) == 0600) ||
                     (in_session && (st.st_mode & 060) == 060) || (st.st_mode & 06) == 06;
    // On this machine the kernel has the last word (an ACL may allow more).
    const bool acl = !may && root.empty() && access(a.device.c_str(), R_OK | W_OK) == 0;
    if (may || acl) {
        v.text = "you (" + me.name + ") may open it read-write (" + owner +
                 (acl ? ", an ACL" : "") + ")";
        return v;
    }
    v.level = Level::fail;
    if ((st.st_mode & 060) != 060) {
        v.text = "only its owner may open it read-write (" + owner + ")";
        // The project's rule sets the group of USB adapters only.
        v.fix = starts(a.name, "ttyUSB")
                    ? std::string("sudo chmod g+rw ") + a.device + ", and for good: " + install_rule
                    : "sudo chgrp dialout " + a.device + " && sudo chmod g+rw " + a.device;
        return v;
    }
    const bool member = std::find(members.begin(), members.end(), me.name) != members.end();
    if (member) {
        v.text = "you (" + me.name + ") are in the group " + group +
                 ", but this login session started before you were added (" + owner + ")";
        v.fix = "log out and in again (or, in this shell only: newgrp " + group + ")";
    } else {
        v.text = "you (" + me.name + ") are not in the group " + group + " (" + owner + ")";
        v.fix = "sudo usermod -aG " + group + " " + me.name + ", then log out and in again";
    }
    return v;
}

Verdict setup_holder(const std::string &root, const Adapter &a) {
    Verdict v;
    v.check = "holder";
    struct stat st {};
    const std::string path = root + a.device;
    if (stat(path.c_str(), &st) != 0) {
        v.text = "nobody";
        return v;
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
    // Only a device that is a tty is opened to look (on this machine).
    const bool excl = root.empty() && (a.tty || a.pty) && a.not_serial.empty() && exclusive(a);
    if (holders.empty() && !excl) {
        v.text = "nobody holds it";
        return v;
    }
    v.level = Level::fail;
    if (excl) {
        v.text = "opened exclusively (TIOCEXCL), so every other open fails" +
                 std::string(holders.empty() ? "; /proc does not name the program to you (as "
                                               "root, doctor names it)"
                                             : ": ");
    }
    for (size_t i = 0; i < holders.size(); ++i) {
        v.text += (i > 0 ? ", " : "") + holders[i];
    }
    if (holders.empty()) {
        v.fix = "stop the program that holds it";
        return v;
    }
    const std::string &first = holders[0];
    const size_t p = first.find("(pid ");
    v.fix = "stop it first" + (p == std::string::npos
                                   ? std::string()
                                   : ": kill " + first.substr(p + 5, first.find(')', p) - p - 5));
    return v;
}

Verdict setup_speed(const Adapter &a, unsigned read_back) {
    Verdict v;
    v.check = "speed";
    if (a.pty) {
        v.text = "a pseudo-terminal (a simulated bus): any speed";
        return v;
    }
    if (!a.not_serial.empty()) {
        v.level = Level::fail;
        v.text = "not a serial adapter: " + a.not_serial;
        v.fix = "name the adapter's tty: 'motorbus doctor' without arguments lists them";
        return v;
    }
    if (!a.tty) {
        v.level = Level::fail;
        v.text = "not a serial device (no /sys/class/tty/" + a.name + ")";
        v.fix = "name the adapter's tty: 'motorbus doctor' without arguments lists them";
        return v;
    }
    const Chip c = setup_chip(a);
    const std::string back = read_back > 0 ? "; the driver reads back " +
                                                 std::to_string(read_back) + " after 4000000 is set"
                                           : "";
    const char *other = "use an adapter whose chip runs 4000000 baud: FTDI FT232H, FT2232H or "
                        "FT4232H, or WCH CH343";
    if (c.max > 0 && c.max < bus_baud) {
        v.level = Level::fail;
        v.text = c.name + " runs at most " + std::to_string(c.max) +
                 " baud, not the bus's 4000000" +
                 (c.clamps ? " (its driver runs slower without saying so)" : "") + back;
        v.fix = a.vendor.empty() && a.uart_base > 0 ? uart_clock_fix(a.uart_base) : other;
        return v;
    }
    if (read_back > 0 && read_back != bus_baud) {
        v.level = Level::fail;
        v.text = (c.name.empty() ? std::string("the chip") : c.name) + back.substr(1);
        v.fix = other;
        return v;
    }
    if (c.max >= bus_baud) {
        v.text = c.name + " runs up to " + std::to_string(c.max) + " baud" + back;
        return v;
    }
    v.level = read_back == bus_baud ? Level::note : Level::warn;
    v.text = (c.name.empty() ? std::string("chip not in the table") : c.name) +
             (read_back > 0 ? back
              : a.console   ? "; the speed was not read back: the kernel writes its console to it"
                            : "; the speed was not read back (no access, or held by another "
                              "program)");
    return v;
}

std::vector<Verdict> setup_services(const std::string &root, const Adapter &a) {
    std::vector<Verdict> out;
    if (a.vendor.empty()) {
        return out; // both reach for USB adapters only
    }
    const std::string ids = a.vendor + ":" + a.product;
    // ModemManager probes new tty devices for a modem unless a udev rule
    // sets ID_MM_DEVICE_IGNORE for them.
    Verdict mm;
    mm.check = "modemmanager";
    std::string ignore_rule;
    for (const RuleHit &h :
         rules_with(root, {"id_mm_device_ignore"}, nullptr, "id_mm_device_ignore")) {
        const std::string l = lower(h.line);
        if (l.find("idvendor") == std::string::npos || names_ids(h.line, a) ||
            l.find("idvendor}==\"" + a.vendor + "\"") != std::string::npos) {
            ignore_rule = h.where;
            break;
        }
    }
    if (!running(root, "ModemManager")) {
        mm.text = "not running";
    } else if (!ignore_rule.empty()) {
        mm.text = "running; kept away from " + ids + " by " + ignore_rule;
    } else {
        mm.level = Level::warn;
        mm.text = "running, and no udev rule keeps it away from " + ids +
                  ": it may probe the adapter for seconds after it is plugged in";
        mm.fix = install_rule;
    }
    out.push_back(mm);
    // brltty's udev rules claim many USB-serial chips as braille displays:
    // the tty vanishes right after it appears.
    Verdict br;
    br.check = "brltty";
    std::string claim;
    for (const RuleHit &h : rules_with(root, id_patterns(a), "brltty", "brltty")) {
        claim = h.where;
        break;
    }
    if (claim.empty()) {
        for (const RuleHit &h :
             rules_with(root, {"idvendor}==\"" + a.vendor + "\""}, "brltty", "brltty")) {
            if (names_ids(h.line, a)) {
                claim = h.where;
                break;
            }
        }
    }
    const bool runs = running(root, "brltty");
    if (!claim.empty()) {
        br.level = Level::fail;
        br.text = "the rule " + claim + " claims " + ids + " for brltty" +
                  (runs ? " (brltty runs)" : "") + ": the device vanishes after it is plugged in";
        br.fix = "sudo apt remove brltty (or: sudo systemctl mask brltty-udev.service && sudo "
                 "udevadm control --reload), then plug the adapter in again";
    } else {
        br.text =
            runs ? "running, but no rule claims " + ids : "not running, no rule claims " + ids;
    }
    out.push_back(br);
    return out;
}

Verdict setup_latency(const std::string &root, const Adapter &a) {
    Verdict v;
    v.check = "latency";
    const std::string t = read_line(root + "/sys/class/tty/" + a.name + "/device/latency_timer");
    if (t.empty() || !all_digits(t)) {
        v.check.clear(); // no latency timer: no verdict
        return v;
    }
    v.level = t == "1" ? Level::ok : Level::note;
    v.text = "latency timer " + t + " ms; the tools set 1 ms themselves when they open it";
    return v;
}

Verdict setup_udev_rule(const std::string &root) {
    Verdict v;
    v.check = "udev-rule";
    for (const char *dir : rule_dirs) {
        const std::string path = std::string(dir) + "/" + rule_name;
        if (!read_text(root + path).empty()) {
            v.text = "installed: " + path;
            return v;
        }
    }
    v.level = Level::note;
    v.text = std::string(rule_name) +
             " is not installed (it sets the group, the latency timer and keeps ModemManager away)";
    v.fix = install_rule;
    return v;
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

void setup_hint_access(const char *path) {
    const int err = errno;
    if (err == EACCES) {
        const Adapter a = setup_adapter("", path);
        const Verdict v = setup_access("", a, setup_identity());
        if (v.level == Level::fail) {
            console_error("hint: %s; fix: %s\n", v.text.c_str(), v.fix.c_str());
        }
    }
    errno = err;
}

void setup_hint_holder(const char *path) {
    const int err = errno;
    const Verdict v = setup_holder("", setup_adapter("", path));
    if (v.level == Level::fail) {
        console_error("hint: %s\n", v.text.c_str());
    }
    errno = err;
}

void setup_warn_clamp(int fd, const char *path) {
    const Chip c = setup_chip(setup_adapter("", path));
    if (c.clamps && tty_baud(fd) == bus_baud) {
        console_error("warning: %s is a %s, which runs at most %u baud; its driver reports 4000000 "
                      "but runs slower: every exchange may time out\n",
                      path, c.name.c_str(), c.max);
    }
}
