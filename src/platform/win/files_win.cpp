// The Windows version of files.cpp: the same refusals, by path. Windows has
// no descriptors for directories to walk with, so each component below the
// spool root is checked (no reparse point: junction, symbolic link, mount
// point) just before the next is used; a swap in between is not excluded as
// it is on Linux.
#include <windows.h>
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
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
constexpr const char* kHere = "";  // the parent of a path outside the root

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

std::wstring Wide(const std::string& path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, out.data(), n);
    return out;
}

int StatAt(const std::string& dir, const std::string& name, struct stat* st) {
    return lstat(Join(dir, name).c_str(), st);
}

// open(2) on an entry that is no reparse point (O_NOFOLLOW's part).
int OpenAt(const std::string& dir, const std::string& name, int flags, int mode) {
    struct stat st;
    if (StatAt(dir, name, &st) == 0 && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return ::open(Join(dir, name).c_str(), (flags & ~O_NONBLOCK) | O_BINARY, mode);
}

void RefuseIfForeign(const std::string& dir, const std::string& name, const std::string& path, int err) {
    struct stat st;
    if (StatAt(dir, name, &st) != 0) {
        errno = err;
        return;
    }
    if (S_ISLNK(st.st_mode)) return Refuse(path, "it is a symbolic link", ELOOP);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return Refuse(path, "it is not a regular file", ENXIO);
    errno = err;
}

// File names are compared without case on Windows: "C:/Spool" is "c:/spool".
bool SameRoot(const std::string& path, const std::string& root) {
    for (std::size_t i = 0; i < root.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(path[i])) !=
            std::tolower(static_cast<unsigned char>(root[i])))
            return false;
    return true;
}

// The directory that holds the last component of path, opened without
// following links below the spool root; leaf receives the last component.
// Dir() is empty (and the whole path the leaf) for paths outside the root,
// -1 when a component is refused or missing.
class Parent {
public:
    explicit Parent(const std::string& given) {
        // Either separator: the root is kept with '/', paths come with both.
        std::string path = given;
        for (char& c : path)
            if (c == '\\') c = '/';
        const std::string& root = Root();
        if (root.empty() || path.size() <= root.size() + 1 ||
            !SameRoot(path, root) || path[root.size()] != '/') {
            leaf_ = given;
            return;
        }
        dir_ = root;
        ok_ = true;
        std::size_t start = root.size() + 1;
        for (;;) {
            while (start < path.size() && path[start] == '/') ++start;
            const std::size_t end = path.find('/', start);
            std::string part = path.substr(start, end == std::string::npos ? end : end - start);
            if (end == std::string::npos || end + 1 >= path.size()) {
                leaf_ = part;
                break;
            }
            if (!ok_) break;
            if (part == "..") {
                Refuse(given, "it leaves the spool", EACCES);
                Drop();
                return;
            }
            struct stat st;
            if (StatAt(dir_, part, &st) != 0 || !S_ISDIR(st.st_mode)) {
                const int err = errno;
                RefuseIfForeign(dir_, part, given.substr(0, end), S_ISLNK(st.st_mode) ? ELOOP : err);
                ok_ = false;
            }
            dir_ = Join(dir_, part);
            start = end + 1;
        }
        if (leaf_.empty() || leaf_ == "..") {
            if (ok_) Refuse(given, "it leaves the spool", EACCES);
            Drop();
        }
    }
    Parent(const Parent&) = delete;
    Parent& operator=(const Parent&) = delete;

    bool Ok() const { return ok_; }
    // The directory's path; kHere for a path outside the root.
    const std::string& Dir() const { return dir_; }
    bool Confined() const { return !dir_.empty(); }
    const std::string& Leaf() const { return leaf_; }

private:
    void Drop() { ok_ = false; }
    bool ok_ = true;
    std::string dir_ = kHere;
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
    (void)flags;
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
    const int fd = OpenAt(parent.Dir(), parent.Leaf(), flags | O_CLOEXEC, mode);
    if (fd < 0) {
        RefuseIfForeign(parent.Dir(), parent.Leaf(), path, errno);
        return -1;
    }
    return KeepRegular(fd, path, flags, parent.Confined());
}

int CreateNewFile(const std::string& path, mode_t mode) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return -1;
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = OpenAt(parent.Dir(), parent.Leaf(), kFlags, mode);
    const bool confined = parent.Confined();
    if (fd < 0 && errno == EEXIST) {
        // A file of ours left from before goes; anything else stays and is refused.
        struct stat st;
        const bool found = StatAt(parent.Dir(), parent.Leaf(), &st) == 0;
        if (found && S_ISREG(st.st_mode) && ::unlink(Join(parent.Dir(), parent.Leaf()).c_str()) == 0)
            fd = OpenAt(parent.Dir(), parent.Leaf(), kFlags, mode);
        else if (found && S_ISCHR(st.st_mode) && !confined)
            fd = OpenAt(parent.Dir(), parent.Leaf(), O_WRONLY | O_CLOEXEC, 0);
        else
            errno = EEXIST;
    }
    if (fd < 0) {
        RefuseIfForeign(parent.Dir(), parent.Leaf(), path, errno);
        return -1;
    }
    return KeepRegular(fd, path, 0, confined);
}

bool IsRealDirectory(const std::string& path) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return false;
    struct stat st;
    return StatAt(parent.Dir(), parent.Leaf(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- Files and directories ----

bool RenameReplace(const std::string& from, const std::string& to) {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return false;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : ENOENT;
    return false;
}

bool DeleteFile(const std::string& path) {
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return false;
    struct stat st;
    if (parent.Confined() && StatAt(parent.Dir(), parent.Leaf(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link is deleted, not followed, as unlink would.
        return ::RemoveDirectoryW(Wide(Join(parent.Dir(), parent.Leaf())).c_str()) ||
               ::DeleteFileW(Wide(Join(parent.Dir(), parent.Leaf())).c_str());
    }
    return ::unlink(Join(parent.Dir(), parent.Leaf()).c_str()) == 0;
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
    if (_mkdir(Join(parent.Dir(), parent.Leaf()).c_str()) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    if (StatAt(parent.Dir(), parent.Leaf(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    // A link below the root is no directory of ours, even when it points to one.
    if (parent.Confined()) RefuseIfForeign(parent.Dir(), parent.Leaf(), path, EEXIST);
    return !parent.Confined() && DirectoryExists(path);
}

bool RemoveDirectory(const std::string& path) {
    return _rmdir(path.c_str()) == 0;
}

bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    Refused() = false;
    Parent parent(path);
    if (!parent.Ok()) return false;
    struct stat st;
    if (StatAt(parent.Dir(), parent.Leaf(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    WIN32_FIND_DATAW found;
    const HANDLE find =
        FindFirstFileW(Wide(Join(parent.Dir(), parent.Leaf()) + "/*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : EIO;
        return errno == 0;
    }
    do {
        const int n = WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, nullptr, 0, nullptr,
                                          nullptr);
        std::string name(n > 0 ? n - 1 : 0, '\0');
        if (n > 1)
            WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, name.data(), n, nullptr, nullptr);
        if (name == "." || name == "..") continue;
        // A reparse point is removed as the link it is, never entered.
        const DWORD a = found.dwFileAttributes;
        entries.push_back({name, (a & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                     (a & FILE_ATTRIBUTE_REPARSE_POINT) == 0});
    } while (FindNextFileW(find, &found));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    errno = complete ? 0 : EIO;
    return complete;
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
    const int fd = open(path.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC);
    if (fd < 0) {
        // Windows refuses to open a directory (EACCES): no regular file.
        struct stat st;
        err = errno == EACCES && stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? EINVAL : errno;
        return false;
    }
    return ReadSmallFileFrom(fd, maxBytes, text, err);
}

}  // namespace plat
