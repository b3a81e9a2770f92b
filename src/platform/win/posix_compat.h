// The POSIX calls the platform-independent code makes that mingw's C
// library lacks, given Windows meanings (posix_compat.cpp). Included before
// every file of the Windows build; windows.h stays out of it.
#pragma once

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
// First, so that its #undef of rename comes before the macro below.
#include <cstdio>
#else
#include <stdio.h>
#endif
#include <errno.h>
#include <fcntl.h>
#include <direct.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <pthread_time.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
// Links below the spool root are refused by files_win.cpp before it opens.
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0
#endif
#ifndef S_IFLNK
#define S_IFLNK 0xA000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) 0
#endif
#ifndef ELOOP
#define ELOOP 114
#endif

// stat with the file times to 100 ns, the index and link count Windows
// keeps, and a reparse point (lstat) reported as a link. No mode bits
// beyond the type: Windows has no owner, group or other permissions.
#undef stat
#undef fstat
struct qiv_stat {
    unsigned long long st_dev;
    unsigned long long st_ino;
    unsigned int st_mode;
    unsigned int st_nlink;
    unsigned int st_uid;
    unsigned int st_gid;
    long long st_size;
    struct timespec st_atim;
    struct timespec st_mtim;
    struct timespec st_ctim;
};
#ifndef UTIME_OMIT
#define UTIME_OMIT ((1l << 30) - 2l)
#define UTIME_NOW ((1l << 30) - 1l)
#endif

#ifdef __cplusplus
extern "C" {
#endif
int qiv_stat(const char* path, struct qiv_stat* st);
int qiv_fstat(int fd, struct qiv_stat* st);
int futimens(int fd, const struct timespec times[2]);
// No permission bits on Windows: both succeed and change nothing.
int fchmod(int fd, unsigned int mode);
int fchown(int fd, unsigned int uid, unsigned int gid);
// One call each on Windows: the offset is moved, then restored.
ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset);
int fsync(int fd);
// stat that does not follow a reparse point: one is reported as S_IFLNK.
int qiv_lstat(const char* path, struct qiv_stat* st);
int qiv_mkdir(const char* path, int mode);
// A unique directory made from a template ending in XXXXXX.
char* mkdtemp(char* templ);
char* realpath(const char* path, char* resolved);
// rename(2) replaces an existing target, which Windows' rename refuses.
int qiv_rename(const char* from, const char* to);
#ifdef __cplusplus
}
#endif
#define stat qiv_stat
#define fstat qiv_fstat
#define lstat qiv_lstat
#define rename qiv_rename
// POSIX's mkdir takes a mode, Windows' only the path.
#define mkdir(path, mode) qiv_mkdir((path), (mode))
