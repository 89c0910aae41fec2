// Benchmark: fwburn flashes a full-size image (61440 bytes, 3840 chunks) into
// a simulated motor that answers every frame at once, and reports the
// transfer time, the time per chunk and fwburn's own CPU time.
//
//   bench_fwburn FWBURN PTYSERIAL_SHIM
//
// Exit status 0 when the flash succeeded, 1 otherwise.
#include "runner.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t image_size = 61440;
constexpr size_t chunks = image_size / 16;
constexpr size_t mode_frame_len = 17;
constexpr size_t command_len = 4;
constexpr size_t data_frame_len = 17;
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

    sim::Bus bus;
    if (!sim::bus_open(bus)) {
        perror("pseudo-terminal");
        return 1;
    }
    sim::Motor motor;
    motor.id = 1;
    motor.state = sim::MotorState::firmware;
    motor.firmware = sim::Firmware::valid;
    motor.image = sim::sample_image(1024, 1);
    bus.motors.push_back(motor);

    sim::RunOptions opt;
    opt.preload = argv[2];
    const sim::RunResult r = sim::run_program(bus, {argv[1], bus.slave_path, image_path, "1"}, opt);
    sim::bus_close(bus);
    unlink(image_path.c_str());
    rmdir(dir);

    const sim::Motor &m = bus.motors[0];
    const bool flashed = r.exit_code == 0 && m.firmware == sim::Firmware::valid && m.image == image;
    if (!flashed) {
        fprintf(stderr, "bench_fwburn: the flash failed (status %d)\n%s%s", r.exit_code,
                r.out.c_str(), r.err.c_str());
        return 1;
    }
    // From the first data frame to the CRC command that follows the last acknowledgement.
    const size_t first_chunk = mode_frame_len + command_len;
    const double transfer_ms = sim::host_time_at(bus, first_chunk + chunks * data_frame_len) -
                               sim::host_time_at(bus, first_chunk);
    printf("fwburn, %zu-byte image, %zu chunks, motor answering at once\n", image_size, chunks);
    printf("  transfer time      %8.1f ms\n", transfer_ms);
    printf("  time per chunk     %8.1f us\n", transfer_ms * 1000.0 / static_cast<double>(chunks));
    printf("  fwburn CPU time    %8.1f ms (user %.1f ms + system %.1f ms)\n", r.cpu_ms, r.user_ms,
           r.sys_ms);
    printf("  whole run          %8.1f ms, of which designed waits %.0f ms, other %.1f ms\n", r.ms,
           designed_waits_ms, r.ms - designed_waits_ms - transfer_ms);
    return 0;
}
