// The exchange layer, driven from this process against the simulated line.
// The pty serial shim is linked into this test program, so open_set() works
// on the pty here just as it does in the preloaded programs.
#include "harness.h"
#include "line/LSerial_linux.h"
#include "sequences/motorctrl.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using harness::bytes;
using harness::ms_since;
using Clock = std::chrono::steady_clock;

namespace {

// The bus served from a thread, the port opened on it and its poll set.
struct Exchange : ::testing::Test {
    harness::ServedBus served;
    int fd = -1;
    int pollset = -1;

    // Bytes the motors' side sends at the given bus times.
    void line_sends(double at_ms, std::vector<uint8_t> b) {
        sim::bus_schedule(served.line.bus, sim::stray_at(at_ms, std::move(b)));
    }
    // Opens the port, then starts the bus: scheduled bytes count from the
    // moment the port is open, so the open's flush cannot swallow them.
    void open_port() {
        fd = open_set(served.line.bus.slave_path.c_str());
        ASSERT_GE(fd, 0);
        pollset = epoll_create(1);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ASSERT_EQ(epoll_ctl(pollset, EPOLL_CTL_ADD, fd, &ev), 0);
        served.start();
    }
    std::vector<uint8_t> host_bytes() {
        served.stop();
        return sim::host_stream(served.line.bus);
    }
    void TearDown() override {
        served.stop();
        if (fd >= 0) {
            close_serial(fd);
        }
        if (pollset >= 0) {
            close(pollset);
        }
    }
};

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

TEST_F(Exchange, ReplyInPiecesIsAssembledIntoOneResult) {
    line_sends(100, bytes({0xFC, 0x03}));
    line_sends(200, bytes({0xE2}));
    line_sends(300, bytes({0x00}));
    open_port();
    const auto query = bytes({0xFB, 0x03, 0x02, 0xBB});
    uint8_t reply[4] = {};
    const auto t = Clock::now();
    EXPECT_EQ(send_recv(fd, pollset, query.data(), 4, reply, 4), 4);
    const double took = ms_since(t);
    EXPECT_EQ(harness::hex(reply), "FC 03 E2 00");
    EXPECT_GT(took, 150);
    EXPECT_LT(took, 900);
    EXPECT_EQ(host_bytes(), query);
}

TEST_F(Exchange, SilenceTimesOutAndLeavesTheBufferUntouched) {
    open_port();
    uint8_t reply[4] = {1, 2, 3, 4};
    const auto t = Clock::now();
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, reply, 4, 300), 0);
    const double took = ms_since(t);
    EXPECT_GE(took, 295);
    EXPECT_LT(took, 1000);
    EXPECT_EQ(harness::hex(reply), "01 02 03 04");
    EXPECT_TRUE(host_bytes().empty()) << "a listen-only exchange wrote to the line";
}

TEST_F(Exchange, LengthsAreSixteenBitCounts) {
    line_sends(0, bytes({0x11, 0x22, 0x33}));
    open_port();
    const auto data = bytes({0xA1, 0xA2, 0xA3, 0xA4, 0xA5});
    int write_len = 65536 + 3; // taken as 3
    int read_len = 65536 + 2;  // taken as 2
    int broadcast_len = 65536 + 1;
    uint8_t reply[4] = {};
    EXPECT_EQ(send_recv_timeout(fd, pollset, data.data(), write_len, reply, read_len, 1000), 2);
    EXPECT_EQ(harness::hex(std::span(reply, 3)), "11 22 00");
    EXPECT_EQ(broadcast(fd, data.data(), broadcast_len), 0);
    EXPECT_EQ(host_bytes(), bytes({0xA1, 0xA2, 0xA3, 0xA1}));
}

TEST_F(Exchange, BytesBeyondTheReplyStayQueuedForTheNextExchange) {
    line_sends(50, bytes({1, 2, 3, 4, 5, 6}));
    open_port();
    uint8_t first[4] = {};
    uint8_t second[2] = {};
    EXPECT_EQ(send_recv(fd, pollset, nullptr, 0, first, 4), 4);
    const auto t = Clock::now();
    EXPECT_EQ(send_recv(fd, pollset, nullptr, 0, second, 2), 2);
    EXPECT_LT(ms_since(t), 100) << "queued bytes must end the wait at once";
    EXPECT_EQ(harness::hex(second), "05 06");
}

TEST_F(Exchange, WriteOnlyExchangeReadsNothing) {
    line_sends(0, bytes({0x42}));
    open_port();
    const auto data = bytes({0xFB, 0x04, 0x01, 0xBB});
    uint8_t reply[1] = {0x99};
    // The line is readable, yet a zero-length reply returns 0 and leaves the byte queued.
    EXPECT_EQ(send_recv_timeout(fd, pollset, data.data(), 4, reply, 0, 500), 0);
    EXPECT_EQ(reply[0], 0x99);
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, reply, 1, 500), 1);
    EXPECT_EQ(reply[0], 0x42);
    EXPECT_EQ(host_bytes(), data);
}

TEST_F(Exchange, ReplyCutShortGivesZeroWithinTheTimeOut) {
    line_sends(50, bytes({0xFC, 0x03}));
    open_port();
    uint8_t reply[4] = {};
    const auto t = Clock::now();
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, reply, 4, 300), 0);
    const double took = ms_since(t);
    EXPECT_GE(took, 300); // first byte at ~50 ms, then up to 300 ms for the rest
    EXPECT_LT(took, 1200);
}

TEST_F(Exchange, HangUpEndsTheExchangeWithoutSpinning) {
    line_sends(50, bytes({0xFC}));
    sim::bus_schedule(served.line.bus, sim::hangup_at(150));
    open_port();
    uint8_t reply[4] = {};
    const double cpu = thread_cpu_ms();
    const auto t = Clock::now();
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, reply, 4, 5000), 0);
    EXPECT_LT(ms_since(t), 2000) << "a hang-up must end the fill, not the time-out";
    // Once hung up, the line is readable for ever: each exchange ends at once with 0.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, reply, 4, 5000), 0);
    }
    EXPECT_LT(ms_since(t), 3000);
    EXPECT_LT(thread_cpu_ms() - cpu, 100) << "the exchange spun on the hung-up line";
}

TEST_F(Exchange, BroadcastReportsAFailedWrite) {
    const auto data = bytes({0xFB, 0x00, 0x00, 0xBB});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(broadcast(-1, data.data(), 4), 1);
    const int closed = dup(1);
    close(closed);
    EXPECT_EQ(broadcast(closed, data.data(), 4), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "write err\n: Bad file descriptor\nwrite err\n: Bad file descriptor\n");
}

TEST_F(Exchange, FailedWriteStillWaitsForTheReply) {
    open_port();
    const auto data = bytes({0xFB, 0x03, 0x01, 0xBB});
    uint8_t reply[1] = {};
    ::testing::internal::CaptureStderr();
    // A descriptor that is not in the poll set: the write fails, the wait runs its course.
    const auto t = Clock::now();
    EXPECT_EQ(send_recv_timeout(-1, pollset, data.data(), 4, reply, 1, 200), 0);
    EXPECT_GE(ms_since(t), 195);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "write err\n: Bad file descriptor\n");
}

void on_signal(int) {}

// Linux ends an epoll wait with EINTR on a signal (and on a stop and
// continue); the exchange must go on waiting for the time that remains.
TEST_F(Exchange, InterruptedWaitIsResumed) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    struct sigaction old {};
    sigaction(SIGUSR1, &sa, &old);
    line_sends(400, bytes({0x07}));
    open_port();
    const pthread_t self = pthread_self();
    std::thread poke([self] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(self, SIGUSR1);
        }
    });
    uint8_t answer = 0;
    auto t = Clock::now();
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, &answer, 1, 2000), 1);
    EXPECT_EQ(answer, 7);
    poke.join();
    // And with nothing to wait for, the whole time-out still elapses.
    std::thread poke_again([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(self, SIGUSR1);
    });
    t = Clock::now();
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, &answer, 1, 500), 0);
    EXPECT_GE(ms_since(t), 495);
    poke_again.join();
    sigaction(SIGUSR1, &old, nullptr);
}

// open_set() changes exactly the bits of its table, plus the five a terminal
// program may leave that break the protocol (ISTRIP, PARMRK, IUCLC, BRKINT,
// CRTSCTS), and keeps every other bit. The descriptor it returns blocks.
TEST(OpenSet, AppliesRawEightNOneAndKeepsOtherBits) {
    harness::TestBus line;
    const int keep = line.bus.slave_keep;
    termios before{};
    ASSERT_EQ(tcgetattr(keep, &before), 0);
    before.c_iflag = BRKINT | ISTRIP | PARMRK | IUCLC | INPCK | INLCR | IGNCR | ICRNL | IXON |
                     IXANY | IXOFF | IUTF8 | IMAXBEL;
    before.c_oflag = OPOST | ONLCR;
    before.c_cflag = (before.c_cflag & CBAUD) | CS7 | CSTOPB | PARENB | PARODD | HUPCL | CRTSCTS;
    before.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    before.c_cc[VTIME] = 5;
    before.c_cc[VMIN] = 0;
    ASSERT_EQ(tcsetattr(keep, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(keep, &before), 0);

    const int fd = open_set(line.bus.slave_path.c_str());
    ASSERT_GE(fd, 0);
    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close_serial(fd);

    EXPECT_EQ(after.c_iflag,
              (before.c_iflag & ~tcflag_t{0x5DD0 | ISTRIP | PARMRK | IUCLC | BRKINT}) | IGNPAR);
    EXPECT_EQ(after.c_oflag, before.c_oflag & ~tcflag_t{OPOST});
    EXPECT_EQ(after.c_cflag & ~tcflag_t{CBAUD},
              (before.c_cflag & ~tcflag_t{0x170 | CRTSCTS | CBAUD}) | 0x8B0);
    EXPECT_EQ(after.c_lflag, before.c_lflag & ~tcflag_t{0x1B});
    EXPECT_EQ(after.c_cc[VTIME], 0);
    EXPECT_EQ(after.c_cc[VMIN], 1);
    // The emulator of a cross build drops speeds above 460800 baud, and the
    // shim then reports 4,000,000 whatever was set: the speed is a native check.
    if (!harness::emulated()) {
        EXPECT_EQ(cfgetispeed(&after), B4000000);
        EXPECT_EQ(cfgetospeed(&after), B4000000);
    }
    // Other bits that the device had stay as they were.
    EXPECT_TRUE(after.c_iflag & IMAXBEL);
    EXPECT_TRUE(after.c_lflag & IEXTEN);
    EXPECT_TRUE(after.c_cflag & HUPCL);
    EXPECT_TRUE(after.c_cflag & PARODD);
}

// The serial configuration goes back as it was read, with the low-latency flag added.
TEST(OpenSet, WritesBackTheSerialConfigurationWithTheLowLatencyFlag) {
    harness::TestBus line;
    serial_struct before{};
    before.type = PORT_16550A;
    before.flags = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
    before.xmit_fifo_size = 64;
    before.custom_divisor = 3;
    ASSERT_EQ(ioctl(line.bus.slave_keep, TIOCSSERIAL, &before), 0);
    const int fd = open_set(line.bus.slave_path.c_str());
    ASSERT_GE(fd, 0);
    serial_struct after{};
    ASSERT_EQ(ioctl(fd, TIOCGSERIAL, &after), 0);
    close_serial(fd);
    before.flags |= ASYNC_LOW_LATENCY;
    EXPECT_EQ(memcmp(&after, &before, sizeof before), 0) << "flags " << std::hex << after.flags;
}

TEST(OpenSet, DiscardsInputThatWasPendingBeforeTheOpen) {
    harness::TestBus line;
    const auto stale = bytes({0xAA, 0xBB});
    ASSERT_EQ(write(line.bus.master, stale.data(), stale.size()), 2);
    usleep(20000);
    const int fd = open_set(line.bus.slave_path.c_str());
    ASSERT_GE(fd, 0);
    const int pollset = epoll_create(1);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ASSERT_EQ(epoll_ctl(pollset, EPOLL_CTL_ADD, fd, &ev), 0);
    uint8_t b = 0;
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, &b, 1, 100), 0);
    close(pollset);
    close_serial(fd);
}

} // namespace

// The mode frame sent to a simulated motor that runs its firmware.
namespace {

struct ModeSwitch : Exchange {
    sim::Motor &motor(uint8_t id) { return served.line.add_motor(id, sim::MotorState::firmware); }
};

TEST_F(ModeSwitch, SendsTheFrameAndConsumesTheSixteenByteAnswer) {
    motor(5);
    open_port();
    const auto t = Clock::now();
    MotorCtrl_SetMode(fd, pollset, 5);
    EXPECT_LT(ms_since(t), 500) << "an answering motor must not cost the whole wait";
    uint8_t b = 0;
    EXPECT_EQ(send_recv_timeout(fd, pollset, nullptr, 0, &b, 1, 100), 0)
        << "the answer must have been consumed";
    const auto frame = MotorCtrl_ModeFrame(5);
    EXPECT_EQ(host_bytes(), std::vector<uint8_t>(frame.begin(), frame.end()));
    EXPECT_EQ(served.line.bus.motors[0].state, sim::MotorState::bootloader);
}

TEST_F(ModeSwitch, SilentMotorCostsOneSecond) {
    open_port();
    const auto t = Clock::now();
    MotorCtrl_SetMode(fd, pollset, 2);
    const double took = ms_since(t);
    EXPECT_GE(took, 995);
    EXPECT_LT(took, 1800);
}

TEST_F(ModeSwitch, BytesBeyondTheAnswerStartTheNextExchange) {
    sim::Fault extra;
    extra.on = sim::Frame::mode;
    extra.extra = bytes({0xFC, 0x02});
    motor(9).faults.push_back(extra);
    open_port();
    MotorCtrl_SetMode(fd, pollset, 9);
    uint8_t next[2] = {};
    const auto t = Clock::now();
    EXPECT_EQ(send_recv(fd, pollset, nullptr, 0, next, 2), 2);
    EXPECT_LT(ms_since(t), 100);
    EXPECT_EQ(harness::hex(next), "FC 02");
}

} // namespace
