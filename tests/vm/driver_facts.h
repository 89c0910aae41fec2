// What the real tty drivers showed the programs in the VM suite, where the
// pty bus must show them the same so that the fast suite catches what the
// drivers would.
#pragma once

// A line that drops under an open descriptor (a USB adapter pulled): epoll
// (waiting for input) reports it at once with error and hang-up, read gives
// end-of-file, write fails with EIO.
constexpr const char *pulled_line_report = "@@HANGUP wait=1 events=IN|ERR|HUP read=0 write=EIO";
