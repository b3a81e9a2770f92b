// flock(2) for the Windows build: an exclusive lock on one byte far past any
// data, so that other processes can still read the file (Windows locks are
// mandatory). Released when the descriptor is closed, as flock's are.
#pragma once

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

#ifdef __cplusplus
extern "C"
#endif
    int
    flock(int fd, int operation);
