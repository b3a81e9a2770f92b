// The parts-only build's stand-in for <poll.h>, which mingw lacks: the
// message loop's header names pollfd, and the window code needs no more.
#pragma once
struct pollfd {
    int fd;
    short events;
    short revents;
};
#define POLLIN 0x0001
#define POLLOUT 0x0004
#define POLLERR 0x0008
#define POLLHUP 0x0010
#define POLLNVAL 0x0020
