#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat {

namespace {

std::string& Root() {
    static std::string root;
    return root;
}

RefusalReporter& Reporter() {
    static RefusalReporter reporter = nullptr;
    return reporter;
}

bool& Refused() {
    static bool refused = false;
    return refused;
}

void Refuse(const std::string& path, const char* why, int err) {
    Refused() = true;
    if (Reporter() != nullptr) Reporter()("Refused " + path + ": " + why);
    errno = err;
}

// Reports why an entry that an O_NOFOLLOW open could not take is not ours
// to use; ordinary failures (ENOENT, EISDIR, ...) are left to the caller.
void RefuseIfForeign(int dirFd, const std::string& name, const std::string& path, int err) {
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        errno = err;
        return;
    }
    if (S_ISLNK(st.st_mode)) return Refuse(path, "it is a symbolic link", ELOOP);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return Refuse(path, "it is not a regular file", ENXIO);
    errno = err;
}

// The directory that holds the last component of path, opened without
// following links below the spool root; leaf receives the last component.
// Returns AT_FDCWD (and the whole path as leaf) for paths outside the root,
// -1 when a component is refused or missing.
class Parent {
public:
    explicit Parent(const std::string& path) {
        const std::string& root = Root();
        if (root.empty() || path.size() <= root.size() + 1 ||
            path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
            leaf_ = path;
            return;
        }
        fd_ = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::size_t start = root.size() + 1;
        for (;;) {
            while (start < path.size() && path[start] == '/') ++start;
            const std::size_t end = path.find('/', start);
            std::string part = path.substr(start, end == std::string::npos ? end : end - start);
            if (end == std::string::npos || end + 1 >= path.size()) {
                leaf_ = part;
                break;
            }
            if (fd_ < 0) break;
            if (part == "..") {
                Refuse(path, "it leaves the spool", EACCES);
                Drop();
                return;
            }
            const int next =
                openat(fd_, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int err = errno;
            if (next < 0) RefuseIfForeign(fd_, part, path.substr(0, end), err);
            close(fd_);
            fd_ = next;
            start = end + 1;
        }
        if (leaf_.empty() || leaf_ == "..") {
            if (fd_ >= 0) Refuse(path, "it leaves the spool", EACCES);
            Drop();
        }
    }
    ~Parent() {
        if (fd_ >= 0) close(fd_);
    }
    Parent(const Parent&) = delete;
    Parent& operator=(const Parent&) = delete;

    bool Ok() const { return fd_ != -1; }
    int Fd() const { return fd_; }
    const std::string& Leaf() const { return leaf_; }

private:
    void Drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int fd_ = AT_FDCWD;
    std::string leaf_;
};

// Takes an open descriptor only when it is a regular file; made blocking
// again (O_NONBLOCK was only there so that a FIFO could not stop the open).
// Outside the spool a character device (/dev/null, /dev/full) is accepted.
int KeepRegular(int fd, const std::string& path, int flags, bool confined) {
    struct stat st {};
    const bool ok =
        fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || (!confined && S_ISCHR(st.st_mode)));
    if (!ok) {
        const bool dir = S_ISDIR(st.st_mode);
        close(fd);
        if (dir) {
            errno = EISDIR;
            return -1;
        }
        Refuse(path, "it is not a regular file", ENXIO);
        return -1;
    }
    if ((flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

void SetSpoolRoot(const std::string& dir) {
    std::string root = dir;
    for (char& c : root)
        if (c == '\\') c = '/';
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    Root() = root;
}

const std::string& SpoolRoot() {
    return Root();
}

void SetRefusalReporter(RefusalReporter reporter) {
    Reporter() = reporter;
}

bool LastWasRefused() {
    return Refused();
}

int OpenRegular(const std::string& path, int flags, mode_t mode) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return -1;
    const int fd = openat(parent.Fd(), parent.Leaf().c_str(),
                          flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        RefuseIfForeign(parent.Fd(), parent.Leaf(), path, errno);
        return -1;
    }
    return KeepRegular(fd, path, flags, parent.Fd() != AT_FDCWD);
}

int CreateNewFile(const std::string& path, mode_t mode) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return -1;
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = openat(parent.Fd(), parent.Leaf().c_str(), kFlags, mode);
    const bool confined = parent.Fd() != AT_FDCWD;
    if (fd < 0 && errno == EEXIST) {
        // A file of ours left from before goes; anything else stays and is refused.
        struct stat st;
        const bool found =
            fstatat(parent.Fd(), parent.Leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (found && S_ISREG(st.st_mode) && unlinkat(parent.Fd(), parent.Leaf().c_str(), 0) == 0)
            fd = openat(parent.Fd(), parent.Leaf().c_str(), kFlags, mode);
        else if (found && S_ISCHR(st.st_mode) && !confined)
            fd = openat(parent.Fd(), parent.Leaf().c_str(),
                        O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        else
            errno = EEXIST;
    }
    if (fd < 0) {
        RefuseIfForeign(parent.Fd(), parent.Leaf(), path, errno);
        return -1;
    }
    return KeepRegular(fd, path, 0, confined);
}

bool IsRealDirectory(const std::string& path) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return false;
    struct stat st;
    return fstatat(parent.Fd(), parent.Leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode);
}

// ---- Files and directories ----

bool RenameReplace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
    constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace) == 0)
        return true;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing
    // target just the same, and the old name is dropped afterwards.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    if (unlink(from.c_str()) != 0) {
        const int err = errno;
        unlink(to.c_str());
        errno = err;
        return false;
    }
    return true;
}

bool DeleteFile(const std::string& path) {
    Refused() = false;
    Parent parent(path);
    return parent.Ok() && unlinkat(parent.Fd(), parent.Leaf().c_str(), 0) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return false;
    if (mkdirat(parent.Fd(), parent.Leaf().c_str(), 0777) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    if (fstatat(parent.Fd(), parent.Leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode))
        return true;
    // A link below the root is no directory of ours, even when it points to one.
    if (parent.Fd() != AT_FDCWD) RefuseIfForeign(parent.Fd(), parent.Leaf(), path, EEXIST);
    return parent.Fd() == AT_FDCWD && DirectoryExists(path);
}

bool RemoveDirectory(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return false;
    const int fd = openat(parent.Fd(), parent.Leaf().c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return false;
    }
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        const bool known = fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        entries.push_back({e->d_name, !known || S_ISDIR(st.st_mode)});
        errno = 0;
    }
    const int err = errno;
    closedir(dir);
    errno = err;
    return err == 0;
}

bool WriteAt(const std::string& path, const void* data, std::size_t length, long offset) {
    const int fd = OpenRegular(path, O_WRONLY | O_CREAT | (offset < 0 ? O_APPEND : 0));
    if (fd < 0) return false;
    struct stat st;
    const bool sized = fstat(fd, &st) == 0;
    const ssize_t written =
        offset < 0 ? write(fd, data, length) : pwrite(fd, data, length, static_cast<off_t>(offset));
    bool ok = written >= 0 && static_cast<std::size_t>(written) == length;
    int err = written < 0 ? errno : ENOSPC;
    // A cut-off append would leave a partial record that every later record
    // is misaligned behind; take it back.
    if (!ok && offset < 0 && sized && written > 0) {
        if (ftruncate(fd, st.st_size) != 0) err = errno;
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) errno = err;
    return ok;
}

bool ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& text, int& err) {
    text.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    return ReadSmallFileFrom(fd, maxBytes, text, err);
}

}  // namespace plat
