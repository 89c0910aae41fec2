// The QEMU machine of the VM tests: starts it, serves its console, its
// monitor and the two lines wired to it, and pulls the USB adapter on cue.
#include "machine.h"

#include "runner.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

Vm vm;

namespace {

// Bounds: QEMU never outlives the test program, and never runs away with the CPU.
constexpr unsigned qemu_wall_limit_s = 600;
constexpr rlim_t qemu_cpu_limit_s = 400;

int listen_unix(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        return -1;
    }
    return fd;
}

int accept_within(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) {
        return -1;
    }
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    close(listener);
    return fd;
}

} // namespace

void send_text(int fd, const std::string &s) {
    size_t at = 0;
    while (at < s.size()) {
        const ssize_t n = write(fd, s.data() + at, s.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

void monitor(const std::string &command) {
    send_text(vm.mon, command + "\n");
}

void pull_adapter() {
    monitor("device_del ftdi");
}

void plug_adapter() {
    monitor("device_add usb-serial,id=ftdi,chardev=u0");
}

bool pump(const std::function<bool()> &done, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {vm.con, vm.mon, vm.uart.master, vm.usb.master}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    bool ok = false;
    for (;;) {
        if (done()) {
            ok = true;
            break;
        }
        const std::chrono::duration<double, std::milli> left = deadline - Clock::now();
        if (left.count() <= 0) {
            break;
        }
        epoll_event events[4];
        const sim::Bus *const buses[] = {&vm.uart, &vm.usb};
        const int n = sim::wait_for_buses(ep, events, buses, left.count());
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == vm.uart.master) {
                sim::bus_drain_master(vm.uart);
            } else if (fd == vm.usb.master) {
                sim::bus_drain_master(vm.usb);
            } else {
                char buf[65536];
                const ssize_t got = read(fd, buf, sizeof buf);
                if (got > 0) {
                    (fd == vm.con ? vm.con_buf : vm.mon_buf).append(buf, static_cast<size_t>(got));
                }
            }
            if ((events[i].events & EPOLLHUP) != 0) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
            }
        }
        sim::bus_tick(vm.uart, 0);
        sim::bus_tick(vm.usb, 0);
        if (vm.pull_after >= 0 && vm.usb.host_bytes >= vm.pull_after) {
            pull_adapter();
            vm.pull_after = -1;
            vm.pulled = true;
            vm.pulled_at = Clock::now();
        }
    }
    close(ep);
    return ok;
}

bool boot(const char *kernel_path, const char *initrd_path, Guest guest) {
    char tmpl[] = "/tmp/motorbus-vm.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        vm.boot_error = "mkdtemp failed";
        return false;
    }
    const std::string dir = tmpl;
    // The arm64 board has no USB adapter: its line is the PL011's.
    const int sockets = guest == Guest::arm64 ? 3 : 4;
    const char *names[] = {"con", "mon", "s1", "u0"};
    int listeners[4];
    for (int i = 0; i < sockets; ++i) {
        listeners[i] = listen_unix(dir + "/" + names[i]);
        if (listeners[i] < 0) {
            vm.boot_error = "cannot listen on " + dir;
            return false;
        }
    }
    std::vector<std::string> args = {"qemu-system-x86_64", "-accel", "tcg", "-M", "pc"};
    if (guest == Guest::arm64) {
        args = {"qemu-system-aarch64", "-accel", "tcg", "-M", "virt", "-cpu", "cortex-a53"};
    }
    args.insert(args.end(), {"-m",          "256",
                             "-smp",        "1",
                             "-nodefaults", "-display",
                             "none",        "-no-reboot",
                             "-kernel",     kernel_path,
                             "-initrd",     initrd_path,
                             "-append",     "console=ttyS0 quiet loglevel=1 panic=-1",
                             "-chardev",    "socket,id=con,path=" + dir + "/con",
                             "-chardev",    "socket,id=s1,path=" + dir + "/s1",
                             "-chardev",    "socket,id=mon,path=" + dir + "/mon",
                             "-mon",        "chardev=mon,mode=readline"});
    if (guest == Guest::arm64) {
        // The console on a PCI 16550 (ttyS0), which keeps the board's one
        // PL011 (ttyAMA0, the first -serial) free for the bus.
        args.insert(args.end(), {"-device", "pci-serial,chardev=con", "-serial", "chardev:s1"});
    } else {
        args.insert(args.end(), {"-serial", "chardev:con", "-serial", "chardev:s1", "-chardev",
                                 "socket,id=u0,path=" + dir + "/u0", "-device", "qemu-xhci,id=xhci",
                                 "-device", "usb-serial,id=ftdi,chardev=u0"});
    }
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    vm.qemu = fork();
    if (vm.qemu == 0) {
        // QEMU dies with the test program, and within its time and CPU limits anyway.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        const rlimit cpu{qemu_cpu_limit_s, qemu_cpu_limit_s};
        setrlimit(RLIMIT_CPU, &cpu);
        alarm(qemu_wall_limit_s);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int *fds[] = {&vm.con, &vm.mon, &vm.uart.master, &vm.usb.master};
    for (int i = 0; i < sockets; ++i) {
        *fds[i] = accept_within(listeners[i], 10000);
        unlink((dir + "/" + names[i]).c_str());
    }
    rmdir(dir.c_str());
    if (vm.con < 0 || vm.mon < 0 || vm.uart.master < 0 ||
        (guest == Guest::pc && vm.usb.master < 0)) {
        vm.boot_error = "QEMU did not connect its character devices";
        return false;
    }
    // The emulated 16550 sends a 17-byte frame as 16 bytes and 1, the last
    // after the guest's next transmit interrupt: under load on the host that
    // gap can outlast the 5 ms after which the motors give up a frame.
    vm.uart.frame_idle_ms = vm.usb.frame_idle_ms = 100;
    sim::bus_start_clock(vm.uart);
    sim::bus_start_clock(vm.usb);
    const bool ready =
        pump([] { return vm.con_buf.find("@@READY\n") != std::string::npos; }, 120000);
    if (!ready) {
        vm.boot_error = "the guest did not come up; console:\n" + vm.con_buf;
        return false;
    }
    vm.con_buf.erase(0, vm.con_buf.find("@@READY\n") + 8);
    return true;
}

void shut_down() {
    if (vm.qemu > 0) {
        monitor("quit");
        for (int i = 0; i < 50 && waitpid(vm.qemu, nullptr, WNOHANG) == 0; ++i) {
            usleep(100000);
        }
        kill(vm.qemu, SIGKILL);
        waitpid(vm.qemu, nullptr, 0);
        vm.qemu = -1;
    }
}
