// Benchmark: fwburn flashes a full-size image (61440 bytes, 3840 chunks) into
// a simulated motor that answers every frame at once, and reports the
// transfer time, the time per chunk and fwburn's own CPU time, once untraced
// and once with MOTORBUS_TRACE set, side by side. Then the same flash behind
// a simulated FTDI adapter at its default latency timer of 16 ms, once with
// the low-latency flag honoured by the driver and once ignored: both wall
// times and their ratio. Last, the flash through the same adapter (flag
// honoured) when it echoes every byte written, beside the one without echo
// (the best of a few alternating runs each): both wall times and their ratio.
//
//   bench_fwburn FWBURN PTYSERIAL_SHIM
//
// Exit status 0 when the flash succeeded, 1 otherwise.
#include "runner.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t image_size = 61440;
constexpr size_t chunks = image_size / 16;
constexpr size_t mode_frame_len = 17;
constexpr size_t command_len = 4;
constexpr size_t data_frame_len = 17;
constexpr int runs = 3;
// The waits a successful run makes by design: a second after the mode
// switch, a second after the download opens, a millisecond before the
// download, and the final query, which a motor that has started its firmware
// leaves unanswered for the whole second.
constexpr double designed_waits_ms = 1000 + 1000 + 1 + 1000;

bool write_image(const std::string &path, const std::vector<uint8_t> &image) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = fwrite(image.data(), 1, image.size(), f) == image.size();
    return fclose(f) == 0 && ok;
}

struct Flash {
    bool ok = false;
    sim::RunResult r;
    double transfer_ms = 0;
    double trace_kib = 0;
};

// One flash of the image into a fresh simulated motor; env: extra
// environment; adapter: the adapter model (motorsim --adapter), if any;
// echo: the adapter echoes.
Flash flash(const char *fwburn, const char *shim, const std::string &image_path,
            const std::vector<uint8_t> &image, std::vector<std::string> env,
            const char *adapter = nullptr, bool echo = false) {
    Flash f;
    sim::Bus bus;
    if (!sim::bus_open(bus)) {
        perror("pseudo-terminal");
        return f;
    }
    if (adapter != nullptr &&
        (!sim::adapter_parse(adapter, bus.adapter) || !sim::adapter_open(bus.adapter))) {
        perror("the adapter's latency timer file");
        sim::bus_close(bus);
        return f;
    }
    bus.adapter.echo = echo;
    for (std::string &e : sim::adapter_env(bus.adapter)) {
        env.push_back(std::move(e));
    }
    sim::Motor motor;
    motor.id = 1;
    motor.state = sim::MotorState::firmware;
    motor.firmware = sim::Firmware::valid;
    motor.image = sim::sample_image(1024, 1);
    bus.motors.push_back(motor);

    sim::RunOptions opt;
    opt.preload = shim;
    opt.env = env;
    opt.timeout_ms = 300000; // a flash behind a slow adapter takes over a minute
    f.r = sim::run_program(bus, {fwburn, bus.slave_path, image_path, "1"}, opt);
    sim::bus_close(bus);
    sim::adapter_close(bus.adapter);

    const sim::Motor &m = bus.motors[0];
    f.ok = f.r.exit_code == 0 && m.firmware == sim::Firmware::valid && m.image == image &&
           (!echo || f.r.err.find(" echoes what is sent") != std::string::npos);
    if (!f.ok) {
        fprintf(stderr, "bench_fwburn: the flash failed (status %d)\n%s%s", f.r.exit_code,
                f.r.out.c_str(), f.r.err.c_str());
        return f;
    }
    // From the first data frame to the CRC command that follows the last acknowledgement.
    const size_t first_chunk = mode_frame_len + command_len;
    f.transfer_ms = sim::host_time_at(bus, first_chunk + chunks * data_frame_len) -
                    sim::host_time_at(bus, first_chunk);
    for (const std::string &e : env) {
        if (e.starts_with("MOTORBUS_TRACE=")) {
            struct stat st {};
            if (stat(e.c_str() + 15, &st) == 0) {
                f.trace_kib = static_cast<double>(st.st_size) / 1024.0;
            }
        }
    }
    return f;
}

// The transfer time of two flashes side by side, in all and per chunk.
void print_transfer(const Flash &a, const Flash &b) {
    printf("  transfer time      %9.1f ms %9.1f ms\n", a.transfer_ms, b.transfer_ms);
    printf("  time per chunk     %9.1f us %9.1f us\n",
           a.transfer_ms * 1000.0 / static_cast<double>(chunks),
           b.transfer_ms * 1000.0 / static_cast<double>(chunks));
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_fwburn FWBURN PTYSERIAL_SHIM\n");
        return 2;
    }
    char dir[] = "/tmp/fwburn-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string image_path = std::string(dir) + "/fw.bin";
    const std::vector<uint8_t> image = sim::sample_image(image_size, 42);
    if (!write_image(image_path, image)) {
        perror(image_path.c_str());
        return 1;
    }

    const std::string trace_path = std::string(dir) + "/trace";
    // On a shared machine one run's CPU time varies a lot with what else
    // runs; the best of a few alternating runs of each shows the cost of
    // the program itself.
    Flash plain;
    Flash traced;
    for (int k = 0; k < runs; ++k) {
        const Flash p = flash(argv[1], argv[2], image_path, image, {});
        const Flash t =
            flash(argv[1], argv[2], image_path, image, {"MOTORBUS_TRACE=" + trace_path});
        if (!p.ok || !t.ok) {
            plain.ok = traced.ok = false;
            break;
        }
        if (k == 0 || p.r.cpu_ms < plain.r.cpu_ms) {
            plain = p;
        }
        if (k == 0 || t.r.cpu_ms < traced.r.cpu_ms) {
            traced = t;
        }
    }
    unlink(trace_path.c_str());
    Flash honoured;
    Flash ignored;
    Flash echoed;
    // Behind the adapter a chunk waits for the next tick of its timer, and a
    // busy machine makes a run miss ticks: with and without echo alternate,
    // and the fastest run of each counts.
    for (int k = 0; k < runs && plain.ok && traced.ok; ++k) {
        const Flash h = flash(argv[1], argv[2], image_path, image, {}, "ftdi:16");
        const Flash e = flash(argv[1], argv[2], image_path, image, {}, "ftdi:16", true);
        if (!h.ok || !e.ok) {
            honoured.ok = echoed.ok = false;
            break;
        }
        if (k == 0 || h.r.ms < honoured.r.ms) {
            honoured = h;
        }
        if (k == 0 || e.r.ms < echoed.r.ms) {
            echoed = e;
        }
    }
    if (honoured.ok && echoed.ok) {
        ignored = flash(argv[1], argv[2], image_path, image, {}, "ftdi:16:ignore-flag");
    }
    unlink(image_path.c_str());
    rmdir(dir);
    if (!plain.ok || !traced.ok || !honoured.ok || !ignored.ok || !echoed.ok) {
        return 1;
    }

    printf("fwburn, %zu-byte image, %zu chunks, motor answering at once; best of %d runs each\n",
           image_size, chunks, runs);
    printf("                     %12s %12s\n", "untraced", "traced");
    print_transfer(plain, traced);
    printf("  fwburn CPU time    %9.1f ms %9.1f ms\n", plain.r.cpu_ms, traced.r.cpu_ms);
    printf("    user             %9.1f ms %9.1f ms\n", plain.r.user_ms, traced.r.user_ms);
    printf("    system           %9.1f ms %9.1f ms\n", plain.r.sys_ms, traced.r.sys_ms);
    printf("  whole run          %9.1f ms %9.1f ms (designed waits %.0f ms)\n", plain.r.ms,
           traced.r.ms, designed_waits_ms);
    printf("  trace size         %12s %9.1f KiB\n", "-", traced.trace_kib);
    printf("  traced/untraced CPU %.2f\n", traced.r.cpu_ms / plain.r.cpu_ms);

    printf(
        "\nthe same flash behind an FTDI adapter, latency timer 16 ms; flag honoured: best of %d "
        "runs, ignored: one run\n",
        runs);
    printf("  low-latency flag   %12s %12s\n", "honoured", "ignored");
    print_transfer(honoured, ignored);
    printf("  whole run          %10.1f s %10.1f s\n", honoured.r.ms / 1000, ignored.r.ms / 1000);
    printf("  ignored/honoured wall time %.1f\n", ignored.r.ms / honoured.r.ms);

    printf(
        "\nthe same flash behind the FTDI adapter (flag honoured) when it echoes; best of %d runs "
        "each\n",
        runs);
    printf("  adapter            %12s %12s\n", "no echo", "echo");
    print_transfer(honoured, echoed);
    printf("  fwburn CPU time    %9.1f ms %9.1f ms\n", honoured.r.cpu_ms, echoed.r.cpu_ms);
    printf("  whole run          %10.1f s %10.1f s\n", honoured.r.ms / 1000, echoed.r.ms / 1000);
    printf("  echo/no echo wall time %.2f\n", echoed.r.ms / honoured.r.ms);
    return 0;
}
