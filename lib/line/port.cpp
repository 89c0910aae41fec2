// Start-up of a program that talks to the bus (port.h): open_set and the
// poll set its exchanges wait on.
#include "line/port.h"

#include "line/LSerial_linux.h"

#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>

int make_pollset(int serial, int &pollset) {
    // A failed creation is not checked: the registration below fails then.
    pollset = epoll_create(1);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = serial;
    return epoll_ctl(pollset, EPOLL_CTL_ADD, serial, &ev);
}

Port open_port(const char *path) {
    Port port;
    port.serial = open_set(path);
    const int r = make_pollset(port.serial, port.pollset);
    if (r != 0) {
        printf("[ERROR] Serial communication: epoll set error: %d\n", r);
        exit(r);
    }
    return port;
}
