// Start-up of a program that talks to the bus: the device opened raw
// (open_set) and the poll set its exchanges wait on, one epoll instance
// holding the serial descriptor for input.
#pragma once

struct Port {
    int serial = -1;  // from open_set
    int pollset = -1; // epoll descriptor holding serial
};

// Builds the poll set for serial. Returns the epoll registration's result:
// 0, or the non-zero value epoll_ctl gave (a device that is no serial port
// comes back from open_set as -1 and fails here).
int make_pollset(int serial, int &pollset);

// open_set() and make_pollset(), as every tool starts. A registration that
// fails prints "[ERROR] Serial communication: epoll set error: R" on
// standard output and ends the process with status R.
Port open_port(const char *path);
