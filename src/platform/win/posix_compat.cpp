// Windows versions of the POSIX calls in posix_compat.h and sys/file.h.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win/include/sys/file.h"
#include "platform/win/posix_compat.h"

#undef lstat
#undef mkdir
#undef stat
#undef fstat
#undef rename

namespace {

// Every file in binary mode, as on Linux: the spool's bytes are the
// program's own, and its text files write their CR LF themselves. The
// standard streams too, so that the log's lines are the same as there.
// (mingw's binmode.o does not reach msvcrt's own mode in a static link.)
const bool g_binary = [] {
    *__p__fmode() = _O_BINARY;
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    return true;
}();

HANDLE Handle(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int SetErrnoFromWin32(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
        case ERROR_ACCESS_DENIED: errno = EACCES; break;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS: errno = EEXIST; break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
        case ERROR_LOCK_VIOLATION:
        case ERROR_SHARING_VIOLATION: errno = EWOULDBLOCK; break;
        case ERROR_INVALID_HANDLE: errno = EBADF; break;
        default: errno = EIO; break;
    }
    return -1;
}

// Positioned I/O through an OVERLAPPED offset; the handle is synchronous, so
// the call completes before it returns (and moves the file pointer, which
// nothing here relies on).
ssize_t Positioned(int fd, void* buffer, size_t count, off_t offset, bool write) {
    HANDLE h = Handle(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(static_cast<unsigned long long>(offset) & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
    DWORD done = 0;
    const DWORD n = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(count);
    const BOOL ok = write ? WriteFile(h, buffer, n, &done, &ov) : ReadFile(h, buffer, n, &done, &ov);
    if (!ok) {
        const DWORD error = GetLastError();
        if (!write && error == ERROR_HANDLE_EOF) return 0;
        return SetErrnoFromWin32(error);
    }
    return static_cast<ssize_t>(done);
}

std::wstring Wide(const char* path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, path, -1, out.data(), n);
    return out;
}

}  // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    return Positioned(fd, buffer, count, offset, false);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    return Positioned(fd, const_cast<void*>(buffer), count, offset, true);
}

extern "C" int fsync(int fd) {
    return FlushFileBuffers(Handle(fd)) ? 0 : SetErrnoFromWin32(GetLastError());
}

namespace {

// FILETIME counts 100 ns from 1601; timespec seconds from 1970.
constexpr unsigned long long kEpochDifference = 116444736000000000ull;

timespec FromFiletime(const FILETIME& ft) {
    const unsigned long long t =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const unsigned long long since = t > kEpochDifference ? t - kEpochDifference : 0;
    return timespec{static_cast<time_t>(since / 10000000ull),
                    static_cast<long>(since % 10000000ull * 100)};
}

FILETIME ToFiletime(const timespec& ts) {
    const unsigned long long t = static_cast<unsigned long long>(ts.tv_sec) * 10000000ull +
                                 static_cast<unsigned long long>(ts.tv_nsec) / 100 + kEpochDifference;
    return FILETIME{static_cast<DWORD>(t & 0xFFFFFFFFu), static_cast<DWORD>(t >> 32)};
}

int FillStat(HANDLE h, struct qiv_stat* st) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return SetErrnoFromWin32(GetLastError());
    std::memset(st, 0, sizeof *st);
    st->st_dev = info.dwVolumeSerialNumber;
    st->st_ino = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    st->st_nlink = info.nNumberOfLinks;
    st->st_size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) |
                                         info.nFileSizeLow);
    st->st_atim = FromFiletime(info.ftLastAccessTime);
    st->st_mtim = FromFiletime(info.ftLastWriteTime);
    st->st_ctim = FromFiletime(info.ftLastWriteTime);
    switch (GetFileType(h)) {
        case FILE_TYPE_DISK:
            // Access is the ACL's, which in a per-user directory is the
            // user's alone: shown as the owner-only mode.
            st->st_mode = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? (S_IFDIR | 0700) : (S_IFREG | 0600);
            break;
        case FILE_TYPE_CHAR: st->st_mode = S_IFCHR | 0600; break;
        case FILE_TYPE_PIPE: st->st_mode = S_IFIFO | 0600; break;
        default: st->st_mode = 0; break;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) st->st_mode &= ~0222u;
    return 0;
}

int StatPath(const char* path, struct qiv_stat* st, bool follow) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;  // which directories need
    if (!follow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SetErrnoFromWin32(GetLastError());
    int rc = FillStat(h, st);
    if (rc == 0 && !follow) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            st->st_mode = S_IFLNK | 0777;
    }
    CloseHandle(h);
    return rc;
}

}  // namespace

extern "C" int qiv_stat(const char* path, struct qiv_stat* st) {
    return StatPath(path, st, true);
}

extern "C" int qiv_lstat(const char* path, struct qiv_stat* st) {
    return StatPath(path, st, false);
}

extern "C" int qiv_fstat(int fd, struct qiv_stat* st) {
    HANDLE h = Handle(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    return FillStat(h, st);
}

extern "C" int futimens(int fd, const struct timespec times[2]) {
    FILETIME access, write;
    FILETIME* a = nullptr;
    FILETIME* w = nullptr;
    if (times[0].tv_nsec != UTIME_OMIT) a = &(access = ToFiletime(times[0]));
    if (times[1].tv_nsec != UTIME_OMIT) w = &(write = ToFiletime(times[1]));
    return SetFileTime(Handle(fd), nullptr, a, w) ? 0 : SetErrnoFromWin32(GetLastError());
}

extern "C" int fchmod(int, unsigned int) {
    return 0;
}

extern "C" int fchown(int, unsigned int, unsigned int) {
    return 0;
}

extern "C" int qiv_mkdir(const char* path, int) {
    return _mkdir(path);
}

extern "C" char* mkdtemp(char* templ) {
    const std::size_t length = std::strlen(templ);
    if (length < 6 || std::strcmp(templ + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long seed = GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 20);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = length - 6; i < length; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            templ[i] = kLetters[(seed >> 33) % 36];
        }
        if (CreateDirectoryW(Wide(templ).c_str(), nullptr)) return templ;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    SetErrnoFromWin32(GetLastError());
    return nullptr;
}

extern "C" char* realpath(const char* path, char* resolved) {
    char* out = _fullpath(resolved, path, resolved ? MAX_PATH : 0);
    if (out == nullptr) errno = ENOENT;
    return out;
}

extern "C" int flock(int fd, int operation) {
    HANDLE h = Handle(fd);
    OVERLAPPED ov{};
    ov.OffsetHigh = 0x40000000u;  // 2^62: past anything written
    if (operation & LOCK_UN) return UnlockFileEx(h, 0, 1, 0, &ov) ? 0 : SetErrnoFromWin32(GetLastError());
    DWORD flags = (operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (operation & LOCK_NB) flags |= LOCKFILE_FAIL_IMMEDIATELY;
    return LockFileEx(h, flags, 0, 1, 0, &ov) ? 0 : SetErrnoFromWin32(GetLastError());
}

extern "C" int qiv_rename(const char* from, const char* to) {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
    return SetErrnoFromWin32(GetLastError());
}
