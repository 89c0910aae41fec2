// Benchmark: a machine of 12 motors on 4 buses (3 each), every bus behind
// the FTDI adapter model, upgraded to one image three ways:
//   - the documented procedure: per bus ldrmode, fwburn once per motor,
//     runmode; the buses one after another;
//   - motorbus upgrade over the 4 buses;
//   - motorbus upgrade over one bus of 3 motors alone.
// Prints the three wall times and two ratios: the procedure over motorbus
// (goal: at least 5) and 4 buses over 1 (goal: at most 1.2).
//
//   bench_motorbus MOTORBUS FWBURN LDRMODE RUNMODE PTYSERIAL_SHIM
//
// Exit status 0 when every motor ended with the image, 1 otherwise.
#include "runner.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t image_size = 61440; // the largest image a motor takes
constexpr int buses_per_machine = 4;
constexpr int motors_per_bus = 3;

struct Machine {
    std::vector<std::unique_ptr<sim::Bus>> buses;
    std::vector<sim::Bus *> served;
};

// Buses behind the FTDI model (timer 16 ms, low-latency flag honoured), each
// with motors 1 to 3 running an old firmware.
bool build(Machine &m, int buses) {
    for (int b = 0; b < buses; ++b) {
        auto bus = std::make_unique<sim::Bus>();
        if (!sim::bus_open(*bus) || !sim::adapter_parse("ftdi:16", bus->adapter) ||
            !sim::adapter_open(bus->adapter)) {
            perror("bench_motorbus: a bus");
            return false;
        }
        for (int k = 1; k <= motors_per_bus; ++k) {
            sim::Motor motor;
            motor.id = static_cast<uint8_t>(k);
            motor.state = sim::MotorState::firmware;
            motor.firmware = sim::Firmware::valid;
            motor.image = sim::sample_image(1024, static_cast<uint32_t>(k));
            bus->motors.push_back(motor);
        }
        m.served.push_back(bus.get());
        m.buses.push_back(std::move(bus));
    }
    return true;
}

void tear_down(Machine &m) {
    for (auto &bus : m.buses) {
        sim::bus_close(*bus);
        sim::adapter_close(bus->adapter);
    }
}

// Every motor runs the image now.
bool upgraded(const Machine &m, const std::vector<uint8_t> &image) {
    for (const auto &bus : m.buses) {
        for (const sim::Motor &motor : bus->motors) {
            if (motor.state != sim::MotorState::firmware || motor.image != image) {
                return false;
            }
        }
    }
    return true;
}

sim::RunOptions options(const char *shim, std::span<sim::Bus *const> buses) {
    sim::RunOptions opt;
    opt.preload = shim;
    opt.env = sim::buses_adapter_env(buses);
    opt.timeout_ms = 600000;
    return opt;
}

bool ran(const sim::RunResult &r, const char *what) {
    if (r.exit_code != 0) {
        fprintf(stderr, "bench_motorbus: %s ended with status %d\n%s%s", what, r.exit_code,
                r.out.c_str(), r.err.c_str());
        return false;
    }
    return true;
}

// motorbus upgrade over every bus of the machine; wall time in ms, < 0 on failure.
double with_motorbus(const char *motorbus, const char *shim, const std::string &image_path,
                     const std::vector<uint8_t> &image, int buses) {
    Machine m;
    double ms = -1;
    if (build(m, buses)) {
        std::vector<std::string> argv = {motorbus, "upgrade", image_path};
        for (const sim::Bus *b : m.served) {
            argv.push_back(b->slave_path);
        }
        const sim::RunResult r = sim::run_program(m.served, argv, options(shim, m.served));
        if (ran(r, "motorbus") && upgraded(m, image)) {
            ms = r.ms;
        }
    }
    tear_down(m);
    return ms;
}

// The documented procedure, bus after bus; wall time in ms, < 0 on failure.
double by_hand(const char *fwburn, const char *ldrmode, const char *runmode, const char *shim,
               const std::string &image_path, const std::vector<uint8_t> &image) {
    Machine m;
    double ms = 0;
    bool ok = build(m, buses_per_machine);
    for (sim::Bus *bus : m.served) {
        sim::Bus *const one[] = {bus};
        const sim::RunOptions opt = options(shim, one);
        sim::RunResult r = sim::run_program(*bus, {ldrmode, bus->slave_path}, opt);
        ok = ok && ran(r, "ldrmode");
        ms += r.ms;
        for (int k = 1; k <= motors_per_bus && ok; ++k) {
            r = sim::run_program(*bus, {fwburn, bus->slave_path, image_path, std::to_string(k)},
                                 opt);
            ok = ok && ran(r, "fwburn");
            ms += r.ms;
        }
        r = sim::run_program(*bus, {runmode, bus->slave_path}, opt);
        ok = ok && ran(r, "runmode");
        ms += r.ms;
    }
    ok = ok && upgraded(m, image);
    tear_down(m);
    return ok ? ms : -1;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 6) {
        fprintf(stderr, "usage: bench_motorbus MOTORBUS FWBURN LDRMODE RUNMODE PTYSERIAL_SHIM\n");
        return 2;
    }
    char dir[] = "/tmp/motorbus-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    // motorbus writes down every flash: the benchmark's go to its own folder.
    setenv("XDG_STATE_HOME", (std::string(dir) + "/state").c_str(), 1);
    const std::string image_path = std::string(dir) + "/fw.bin";
    const std::vector<uint8_t> image = sim::sample_image(image_size, 42);
    FILE *f = fopen(image_path.c_str(), "wb");
    const bool written = f != nullptr && fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f == nullptr || fclose(f) != 0 || !written) {
        perror(image_path.c_str());
        return 1;
    }

    const double four = with_motorbus(argv[1], argv[5], image_path, image, buses_per_machine);
    const double one = four < 0 ? -1 : with_motorbus(argv[1], argv[5], image_path, image, 1);
    const double hand =
        one < 0 ? -1 : by_hand(argv[2], argv[3], argv[4], argv[5], image_path, image);
    unlink(image_path.c_str());
    rmdir(dir);
    if (four < 0 || one < 0 || hand < 0) {
        return 1;
    }
    printf("\na machine of %d motors on %d buses (%d each) behind the FTDI model (timer 16 ms,\n"
           "low-latency flag honoured), upgraded to a %zu-byte image\n",
           buses_per_machine * motors_per_bus, buses_per_machine, motors_per_bus, image_size);
    printf("  documented procedure (ldrmode, fwburn x%d, runmode; bus after bus) %7.1f s\n",
           motors_per_bus, hand / 1000);
    printf("  motorbus upgrade, %d buses at once                                 %7.1f s\n",
           buses_per_machine, four / 1000);
    printf("  motorbus upgrade, one bus of %d motors alone                        %7.1f s\n",
           motors_per_bus, one / 1000);
    printf("  procedure / motorbus   %5.1f (goal: at least 5)\n", hand / four);
    printf("  %d buses / 1 bus        %5.2f (goal: at most 1.2)\n", buses_per_machine, four / one);
    return 0;
}
