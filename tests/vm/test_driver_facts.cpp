// The pty bus shows the programs what the real drivers showed them in the
// VM suite (driver_facts.h), so the fast suite catches what a real adapter
// would. vmprobe, the VM suite's guest helper, looks at the line the same way
// on both.
#include "driver_facts.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// A pty reader woken in the instant between the close of the master and the
// kernel's hang-up of the line sees epoll's HUP alone, and read gives EIO
// until the hang-up is done, end of file after; seen about once in a few
// hundred drops on a busy machine. The programs take these as a hang-up, as
// they take ftdi_sio's end of file.
const std::set<std::string> pty_midway_reports = {
    "@@HANGUP wait=1 events=HUP read=EIO write=EIO",
    "@@HANGUP wait=1 events=HUP read=0 write=EIO",
};

// The line drops once vmprobe's byte arrives: as when a USB adapter is pulled.
TEST(DriverFacts, APtyHangUpLooksLikeAPulledAdapter) {
    harness::TestBus line;
    line.bus.hangup_after_host_bytes = 1;
    sim::RunOptions opt;
    opt.timeout_ms = 10000;
    const auto r = line.run("vmprobe", {"hangup", "@", "5000"}, opt);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string report = r.out.substr(0, r.out.find('\n'));
    EXPECT_TRUE(report == pulled_line_report || pty_midway_reports.contains(report)) << r.out;
    EXPECT_EQ(r.out, report + "\n");
    EXPECT_LT(r.ms, 2000) << "the hang-up must end the wait at once";

    // A pulled adapter's device node is gone: the next program cannot open it.
    const auto next = line.run("ldrmode", {"@"});
    EXPECT_EQ(next.exit_code, 255);
    EXPECT_TRUE(next.err.starts_with("open serial error: No such file or directory\nthe device '" +
                                     line.bus.slave_path + "' is not there"))
        << next.err;
}

} // namespace
