// fwburn under valgrind's memcheck: one whole flash against the simulated bus
// with no memory error and no leak. The image buffer is kept until exit on
// purpose; memcheck counts it as still reachable, which is no error.
#include "frames.h"
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// Full path of a program found in PATH, empty when there is none.
std::string in_path(const std::string &name) {
    const char *path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string p = (dir.empty() ? "." : dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) {
            return p;
        }
    }
    return "";
}

TEST(Valgrind, FlashIsMemcheckClean) {
    if (sanitized) {
        GTEST_SKIP() << "a sanitized build does not run under valgrind";
    }
    if (harness::emulated()) {
        GTEST_SKIP() << "fwburn is built for another machine: the host's valgrind cannot run it";
    }
    const std::string valgrind = in_path("valgrind");
    if (valgrind.empty()) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    harness::TempDir dir;
    harness::TestBus line;
    line.add_motor(5, sim::MotorState::firmware);
    // Nearly the largest image, and not a whole number of blocks: the
    // padding is flashed too.
    std::vector<uint8_t> image = sim::sample_image(61400, 8);
    const std::string img = dir.file("fw.bin", image);

    // valgrind is the program started; the shim it inherits through
    // LD_PRELOAD lets the pty pass for a serial port inside fwburn.
    sim::RunOptions opt = harness::shim();
    opt.timeout_ms = 30000;
    const auto r = sim::run_program(line.bus,
                                    {valgrind, "--error-exitcode=1", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite,indirect,possible",
                                     harness::tool("fwburn"), line.bus.slave_path, img, "5"},
                                    opt);

    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\nFlash successfully!\n"), std::string::npos);
    image = frames::padded(image);
    ASSERT_EQ(image.size(), 61440u);
    const sim::Motor &m = line.bus.motors[0];
    EXPECT_EQ(m.image, image);
    EXPECT_EQ(m.firmware, sim::Firmware::valid);
    EXPECT_EQ(m.state, sim::MotorState::firmware);
    std::printf("valgrind: fwburn flashed %zu bytes in %.0f ms\n", image.size(), r.ms);
}

} // namespace
