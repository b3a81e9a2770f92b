// Getting edited profile text onto the disk: whole-file replacements
// through a temporary file, and the small changes written over the file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/profile_file.h"

namespace plat::profile_detail {

namespace {

// A name for a temporary file beside path, like mkstemp's.
std::string TempName(const std::string& path) {
    static std::uint64_t state = 0;
    if (state == 0) {
        state = static_cast<std::uint64_t>(Nanoseconds(RealTime())) ^
                (static_cast<std::uint64_t>(getpid()) << 32) ^ 0x9E3779B97F4A7C15u;
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = path + ".XXXXXX";
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        name[i] = kLetters[state % (sizeof kLetters - 1)];
    }
    return name;
}

// Replaces the file atomically: the new text goes to a temporary file in
// the same directory, which is renamed over the old one. Not synced to
// disk: a crash of the process leaves the old or the new file, but a power
// failure may lose the latest writes (two per fetched article; a sync each
// would cost far more than the write itself). old: the file's stat, null
// when it does not exist yet. On success the text becomes the cached copy.
bool ReplaceFile(const std::string& path, std::string content, const struct stat* old,
                 bool secret) {
    // A new file may hold the password; a secret one is 0600 whatever it was.
    const mode_t mode = old != nullptr && !secret ? old->st_mode & 07777 : kPrivateMode;
    // A link (a sysop keeping the profile elsewhere) stays a link: its
    // target is what gets replaced. A dangling one is replaced itself.
    std::string target = path;
    struct stat link;
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = TempName(target);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // A modification time of our own to the nanosecond: no other writer
    // produces it, so it later proves that the file is still this text.
    const timespec stamp = RealTime();
    const timespec times[2] = {{0, UTIME_OMIT}, stamp};
    const bool stamped = ok && futimens(fd, times) == 0;
    struct stat mine;
    if (ok && fstat(fd, &mine) != 0) ok = false;
    // The umask may have taken bits away.
    if (ok && (mine.st_mode & 07777) != mode) ok = fchmod(fd, mode) == 0;
    if (ok && old != nullptr && (old->st_uid != mine.st_uid || old->st_gid != mine.st_gid)) {
        // Keeping the owner is only possible for root; otherwise the file
        // becomes ours, as any editor's save would make it.
        if (fchown(fd, old->st_uid, old->st_gid) != 0) errno = 0;
    }
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = err;
        return false;
    }
    // A file system that keeps coarser times cannot prove the text later.
    const bool trusted = stamped && SameTime(mine.st_mtim, stamp);
    if (content.size() <= kMaxCachedSize)
        Remember(path, mine, std::move(content), trusted);
    else
        Cache().erase(path);
    return true;
}

// A block the disk writes whole: bytes changed inside one such block are
// never seen half written, not even after a power cut.
constexpr std::size_t kSectorSize = 512;

// Writes length bytes at offset first over the file that seen describes,
// with one write: false with done unset when the name no longer holds that
// file; false with done set and errno when the write failed. mine receives
// the file's stat afterwards, trusted whether its modification time is ours.
bool WriteRange(const std::string& path, const struct stat& seen, const char* bytes,
                std::size_t first, std::size_t length, struct stat& mine, bool& trusted,
                bool& done) {
    done = false;
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;  // the rename may still manage
    // Another file may have taken the name since it was read; its bytes at
    // these offsets are not ours to change.
    if (fstat(fd, &mine) != 0 || mine.st_dev != seen.st_dev || mine.st_ino != seen.st_ino ||
        mine.st_size != seen.st_size || !SameTime(mine.st_mtim, seen.st_mtim)) {
        close(fd);
        return false;
    }
    done = true;
    ssize_t n;
    do {
        n = pwrite(fd, bytes, length, static_cast<off_t>(first));
    } while (n < 0 && errno == EINTR);
    bool ok = n == static_cast<ssize_t>(length);
    if (n >= 0 && !ok) errno = EIO;
    // The same own modification time as a replaced file carries.
    const timespec stamp = RealTime();
    const timespec times[2] = {{0, UTIME_OMIT}, stamp};
    const bool stamped = ok && futimens(fd, times) == 0;
    if (ok && fstat(fd, &mine) != 0) ok = false;
    const int err = errno;
    close(fd);  // nothing is allocated by the write, so close has nothing to report
    if (!ok) {
        Cache().erase(path);
        errno = err;
        return false;
    }
    trusted = stamped && SameTime(mine.st_mtim, stamp);
    return true;
}

// Writes the bytes in which `content` differs from the file's current text
// `before` over the file itself, with one write. Done only when the length
// stays and the changed bytes lie inside one sector, as when a counter goes
// from 103 to 104: then a kill or a power cut leaves either the old or the
// new text, as with a rename, at a fraction of its cost (the rename frees a
// block and dirties the directory per written counter). A reader racing the
// write could in principle see some of those few bytes old and some new (the
// Windows writer the board was made for empties the whole file meanwhile).
// False with done unset when the change does not qualify; false with done
// set and errno when the write failed. On success the text becomes the
// cached copy.
bool OverwriteInPlace(const std::string& path, const std::string& before, const struct stat& seen,
                      std::string& content, bool& done) {
    done = false;
    if (content.size() != before.size() || content.size() > kMaxCachedSize) return false;
    std::size_t first = 0;
    while (first < content.size() && content[first] == before[first]) ++first;
    if (first == content.size()) return false;
    std::size_t last = content.size() - 1;
    while (content[last] == before[last]) --last;
    if (first / kSectorSize != last / kSectorSize) return false;
    struct stat mine;
    bool trusted;
    if (!WriteRange(path, seen, content.data() + first, first, last - first + 1, mine, trusted,
                    done))
        return false;
    trusted = trusted && mine.st_size == static_cast<off_t>(content.size());
    Remember(path, mine, std::move(content), trusted);
    return true;
}

// Profile files are Windows files: every line is written with CR LF,
// whatever line end the file had before.
std::string Join(const std::vector<Line>& lines) {
    std::string out;
    std::size_t size = 0;
    for (const Line& line : lines) size += line.text.size() + 2;
    out.reserve(size);
    for (const Line& line : lines) {
        out.append(line.text);
        out.append("\r\n");
    }
    return out;
}

}  // namespace

bool WriteLines(const std::string& path, const Loaded& file, const struct stat* old,
                const std::vector<Line>& lines, bool secret) {
    std::string updated = Join(lines);
    if (old != nullptr && updated == *file.content) return true;
    // A secret file others may read is replaced, so that it comes out 0600.
    if (old != nullptr && !(secret && (old->st_mode & 077) != 0)) {
        bool done;
        if (OverwriteInPlace(path, *file.content, *old, updated, done)) return true;
        if (done) return false;
    }
    return ReplaceFile(path, std::move(updated), old, secret);
}

bool ChangeLineInPlace(const std::string& path, std::string_view section, std::string_view key,
                       const std::string& value, bool secret, bool& ok) {
    Loaded file;
    bool missing;
    struct stat st;
    if (!Load(path, file, missing, st) || file.cached == nullptr || !file.cached->joined)
        return false;
    // A secret file others may read must be replaced to come out 0600.
    if (secret && (st.st_mode & 077) != 0) return false;
    CachedFile& c = *file.cached;
    std::size_t begin, end;
    if (!FindIndexed(c.lines, c.sections, section, begin, end)) return false;
    const std::size_t at = FindKey(c.lines, begin, end, key);
    if (at == std::string::npos) return false;
    Line& line = c.lines[at];
    const std::string text = std::string(line.name) + "=" + value;
    if (text.size() != line.text.size()) return false;
    std::size_t first = 0;
    while (first < text.size() && text[first] == line.text[first]) ++first;
    ok = true;
    if (first == text.size()) return true;  // nothing changes
    std::size_t last = text.size() - 1;
    while (text[last] == line.text[last]) --last;
    const std::size_t offset = static_cast<std::size_t>(line.text.data() - c.content.data());
    if ((offset + first) / kSectorSize != (offset + last) / kSectorSize) return false;
    struct stat mine;
    bool trusted, done;
    if (!WriteRange(path, st, text.data() + first, offset + first, last - first + 1, mine, trusted,
                    done)) {
        ok = false;
        return done;
    }
    // The same length in the same buffer: every line's view stays valid.
    std::copy(text.begin() + static_cast<std::ptrdiff_t>(first),
              text.begin() + static_cast<std::ptrdiff_t>(last + 1),
              c.content.begin() + static_cast<std::ptrdiff_t>(offset + first));
    line = Classify(line.text);
    c.trusted = trusted && mine.st_size == static_cast<off_t>(c.content.size());
    c.device = mine.st_dev;
    c.inode = mine.st_ino;
    c.size = mine.st_size;
    c.modified = mine.st_mtim;
    return true;
}

}  // namespace plat::profile_detail
