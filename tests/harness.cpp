#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace harness {

#ifdef TARGET_EMULATOR
namespace {
// Built for another machine: this test runs under the emulator, and so must
// the programs it starts (sim::run_program reads MOTORBUS_EMULATOR). The
// emulator drops tty speeds above 460800 baud in both directions, so the
// shim reports the rate the programs set unless a test asks for another.
const bool emulator_set = setenv("MOTORBUS_EMULATOR", TARGET_EMULATOR, 0) == 0 &&
                          setenv("PTYSERIAL_SPEED", "4000000", 0) == 0;
} // namespace
#endif

bool emulated() {
    const char *e = getenv("MOTORBUS_EMULATOR");
    return e != nullptr && *e != '\0';
}

double startup_ms() {
    return emulated() ? 3000 : 0;
}

std::string tool(const std::string &name) {
    // The installed programs are in build/bin; test helpers (vmprobe) beside
    // the tests, in build/tests/bin.
    const std::string installed = std::string(TOOLS_DIR) + "/" + name;
    return access(installed.c_str(), X_OK) == 0 ? installed
                                                : std::string(TEST_TOOLS_DIR) + "/" + name;
}

sim::RunOptions shim(std::vector<std::string> env) {
    sim::RunOptions opt;
    opt.preload = PTYSERIAL_LIB;
    opt.env = std::move(env);
    return opt;
}

TestBus::TestBus() {
    if (!sim::bus_open(bus)) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
}

TestBus::~TestBus() {
    sim::bus_close(bus);
}

sim::Motor &add_motor(sim::Bus &bus, uint8_t id, sim::MotorState state, sim::Firmware fw) {
    sim::Motor m;
    m.id = id;
    m.state = state;
    m.firmware = fw;
    if (fw != sim::Firmware::none) {
        m.image = sim::sample_image(1024, id);
    }
    bus.motors.push_back(m);
    return bus.motors.back();
}

sim::Motor &TestBus::add_motor(uint8_t id, sim::MotorState state, sim::Firmware fw) {
    return harness::add_motor(bus, id, state, fw);
}

sim::RunResult TestBus::run(const std::string &program, std::vector<std::string> args,
                            sim::RunOptions opt) {
    std::vector<std::string> argv{tool(program)};
    for (std::string &a : args) {
        argv.push_back(a == "@" ? bus.slave_path : a);
    }
    return sim::run_program(bus, argv, opt);
}

sim::RunResult run_motorsim(std::vector<std::string> args, std::vector<std::string> env) {
    TestBus unused;
    args.insert(args.begin(), tool("motorsim"));
    sim::RunOptions opt;
    opt.env = std::move(env);
    return sim::run_program(unused.bus, args, opt);
}

ServedBus::ServedBus() : stop_fd(eventfd(0, EFD_CLOEXEC)) {}

ServedBus::~ServedBus() {
    stop();
    close(stop_fd);
}

void ServedBus::start() {
    thread = std::thread([this] { sim::bus_serve(line.bus, stop_fd); });
}

void ServedBus::stop() {
    if (thread.joinable()) {
        // A pty hands written bytes to the other side asynchronously: give
        // the last ones time to arrive before the bus stops reading.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t one = 1;
        if (write(stop_fd, &one, sizeof one) != sizeof one) {
            perror("eventfd");
        }
        thread.join();
    }
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "motorbus-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string TempDir::file(const std::string &name, const std::vector<uint8_t> &content) const {
    const std::string p = path + "/" + name;
    FILE *f = fopen(p.c_str(), "wb");
    if (f == nullptr ||
        (!content.empty() && fwrite(content.data(), 1, content.size(), f) != content.size())) {
        throw std::runtime_error("cannot write " + p);
    }
    fclose(f);
    return p;
}

std::string TempDir::sparse(const std::string &name, int64_t size) const {
    const std::string p = file(name, {});
    std::filesystem::resize_file(p, static_cast<uintmax_t>(size));
    return p;
}

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) {
        v.push_back(static_cast<uint8_t>(b));
    }
    return v;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string hex(std::span<const uint8_t> data) {
    std::string s;
    char b[4];
    for (uint8_t x : data) {
        snprintf(b, sizeof b, "%02X ", x);
        s += b;
    }
    if (!s.empty()) {
        s.pop_back();
    }
    return s;
}

double ms_since(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos;
         at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace harness
