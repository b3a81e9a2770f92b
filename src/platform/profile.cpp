#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

std::string& Dir() {
    static std::string dir = ".";
    return dir;
}

// Bare names of the files that hold a secret.
std::set<std::string>& PrivateFiles() {
    static auto* files = new std::set<std::string>;
    return *files;
}

bool IsPrivate(const std::string& fileName) {
    return PrivateFiles().count(fileName) != 0;
}

constexpr mode_t kPrivateMode = 0600;

// The quotes an editor may put around a value are not part of it.
void StripQuotes(std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// The whole file in one read. st receives the identity of what was read.
// False for anything that stops the read (a directory in its place, no
// permission); errno tells, ENOENT for a missing file.
bool ReadWhole(const std::string& path, std::string& out, struct stat& st) {
    out.clear();
    // O_NONBLOCK: a FIFO swapped in after the stat must not block the open.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
    // One byte more than the size: a read that fills it means the file grew.
    out.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == out.size()) out.resize(out.size() * 2);
        const ssize_t n = read(fd, out.data() + have, out.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        have += static_cast<std::size_t>(n);
        // A regular file reads short only at its end.
        if (n == 0 || have < out.size()) break;
    }
    close(fd);
    out.resize(have);
    return true;
}

enum class LineKind { Other, Section, Key };

struct Line {
    std::string_view text;  // without its line end
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

Line Classify(std::string_view text) {
    Line line;
    line.text = text;
    const std::string_view body = Trim(text);
    if (body.empty() || body.front() == ';') return line;
    if (body.front() == '[') {
        std::string_view name = body.substr(1);
        const std::size_t close = name.find(']');
        if (close != std::string_view::npos) name = name.substr(0, close);
        line.kind = LineKind::Section;
        line.name = Trim(name);
        return line;
    }
    const std::size_t eq = body.find('=');
    if (eq == std::string_view::npos) return line;
    line.kind = LineKind::Key;
    line.name = Trim(body.substr(0, eq));
    line.value = Trim(body.substr(eq + 1));
    return line;
}

// Splits on LF; a CR before the LF belongs to the line end, not the text.
std::vector<Line> Parse(const std::string& content) {
    std::vector<Line> lines;
    std::string_view rest(content);
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        std::string_view text = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        lines.push_back(Classify(text));
    }
    return lines;
}

// Line range [begin, end) of the first section with this name; begin is
// the header line. False when there is none.
bool FindSection(const std::vector<Line>& lines, std::string_view section, std::size_t& begin,
                 std::size_t& end) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind != LineKind::Section || !SameName(lines[i].name, section)) continue;
        begin = i;
        end = i + 1;
        while (end < lines.size() && lines[end].kind != LineKind::Section) ++end;
        return true;
    }
    return false;
}

// Where each section's first header is, by name in lower case: a lookup
// costs the same in a file of 3000 groups as in one of 3.
using SectionIndex = std::unordered_map<std::string, std::size_t>;

std::string Folded(std::string_view name) {
    std::string key(name);
    for (char& c : key) c = Lower(c);
    return key;
}

SectionIndex IndexSections(const std::vector<Line>& lines) {
    SectionIndex index;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].kind == LineKind::Section) index.emplace(Folded(lines[i].name), i);
    return index;
}

// FindSection through the index.
bool FindIndexed(const std::vector<Line>& lines, const SectionIndex& index,
                 std::string_view section, std::size_t& begin, std::size_t& end) {
    const auto it = index.find(Folded(section));
    if (it == index.end()) return false;
    begin = it->second;
    end = begin + 1;
    while (end < lines.size() && lines[end].kind != LineKind::Section) ++end;
    return true;
}

// True when writing the lines back would give the same bytes: every line
// ends with CR LF. Only then can one line be changed in place.
bool IsJoined(const std::string& content) {
    if (content.empty()) return true;
    if (content.back() != '\n') return false;
    for (std::size_t nl = content.find('\n'); nl != std::string::npos;
         nl = content.find('\n', nl + 1))
        if (nl == 0 || content[nl - 1] != '\r') return false;
    return true;
}

std::size_t FindKey(const std::vector<Line>& lines, std::size_t begin, std::size_t end,
                    std::string_view key) {
    for (std::size_t i = begin + 1; i < end; ++i)
        if (lines[i].kind == LineKind::Key && SameName(lines[i].name, key)) return i;
    return std::string::npos;
}

// The parsed files, so that the two counters written after every fetched
// article cost neither a read nor a parse. An entry is used only while a stat
// of the path shows the same file (device, inode, size and modification
// time), so edits from outside are seen at the next access. A modification
// time proves the content only when nobody else can have produced it: one
// that we set on our own write (to the nanosecond, which no other writer
// hits), or one older than the coarsest timestamp granularity of the file
// systems in use (FAT: 2 s); any other entry is read again every time.
struct CachedFile {
    bool trusted = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    std::string content;
    std::vector<Line> lines;  // views into content
    SectionIndex sections;
    bool joined = false;  // content is lines written back
    std::uint64_t generation = 0;  // new with every parse
};

constexpr std::size_t kMaxCachedFiles = 16;
constexpr std::size_t kMaxCachedSize = 1 << 20;
constexpr std::int64_t kRacyNs = 3'000'000'000;

// Node-based: an entry never moves, so its line views stay valid.
std::unordered_map<std::string, CachedFile>& Cache() {
    static auto* cache = new std::unordered_map<std::string, CachedFile>;
    return *cache;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameFile(const CachedFile& c, const struct stat& st) {
    return c.device == st.st_dev && c.inode == st.st_ino && c.size == st.st_size &&
           SameTime(c.modified, st.st_mtim);
}

std::int64_t Nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

timespec RealTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// Keeps content (at most kMaxCachedSize) as the file's text, with the
// identity st.
CachedFile& Remember(const std::string& path, const struct stat& st, std::string content,
                     bool trusted) {
    auto& cache = Cache();
    if (cache.size() >= kMaxCachedFiles && cache.find(path) == cache.end()) cache.clear();
    CachedFile& c = cache[path];
    c.trusted = trusted;
    c.device = st.st_dev;
    c.inode = st.st_ino;
    c.size = st.st_size;
    c.modified = st.st_mtim;
    c.content = std::move(content);
    c.lines = Parse(c.content);
    c.sections = IndexSections(c.lines);
    c.joined = IsJoined(c.content);
    static std::uint64_t parses = 0;
    c.generation = ++parses;
    return c;
}

// The file's text and lines as they are now. missing: the file does not
// exist (text and lines are then empty); st: the file's stat when it exists.
// False, with errno, when the file cannot be read. Both stay valid until the
// next call into this module.
struct Loaded {
    const std::string* content;
    const std::vector<Line>* lines;
    const SectionIndex* sections;
    CachedFile* cached;  // the cache's entry, when the file is kept
};

bool Load(const std::string& path, Loaded& file, bool& missing, struct stat& st) {
    static const std::string kNoText;
    static const std::vector<Line> kNoLines;
    static const SectionIndex kNoSections;
    file = {&kNoText, &kNoLines, &kNoSections, nullptr};
    missing = false;
    auto& cache = Cache();
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return false;
        cache.erase(path);
        missing = true;
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    auto it = cache.find(path);
    if (it != cache.end() && it->second.trusted && SameFile(it->second, st)) {
        file = {&it->second.content, &it->second.lines, &it->second.sections, &it->second};
        return true;
    }
    // Taken before the read: a file changed while it is read is not trusted.
    const std::int64_t now = Nanoseconds(RealTime());
    std::string content;
    if (!ReadWhole(path, content, st)) {
        if (errno == ENOENT) {  // removed since the stat
            cache.erase(path);
            missing = true;
            return true;
        }
        return false;
    }
    const bool old = now - Nanoseconds(st.st_mtim) > kRacyNs;
    if (it != cache.end() && it->second.content == content) {
        // Unchanged: keep the parse, take the new identity.
        CachedFile& c = it->second;
        c.trusted = old;
        c.device = st.st_dev;
        c.inode = st.st_ino;
        c.size = st.st_size;
        c.modified = st.st_mtim;
        file = {&c.content, &c.lines, &c.sections, &c};
        return true;
    }
    if (content.size() <= kMaxCachedSize) {
        CachedFile& c = Remember(path, st, std::move(content), old);
        file = {&c.content, &c.lines, &c.sections, &c};
        return true;
    }
    cache.erase(path);
    // Too large to keep: parsed into buffers that live until the next call.
    static auto* bigContent = new std::string;
    static auto* bigLines = new std::vector<Line>;
    static auto* bigSections = new SectionIndex;
    *bigContent = std::move(content);
    *bigLines = Parse(*bigContent);
    *bigSections = IndexSections(*bigLines);
    file = {bigContent, bigLines, bigSections, nullptr};
    return true;
}

// The value of section/key, or false when the file, section or key is missing.
bool Lookup(const std::string& section, const std::string& key, const std::string& fileName,
            std::string& value) {
    Loaded file;
    bool missing;
    struct stat st;
    if (!Load(ProfilePath(fileName), file, missing, st)) return false;
    const std::vector<Line>& lines = *file.lines;
    std::size_t begin, end;
    if (!FindIndexed(lines, *file.sections, Trim(section), begin, end)) return false;
    const std::size_t at = FindKey(lines, begin, end, Trim(key));
    if (at == std::string::npos) return false;
    value.assign(lines[at].value);
    StripQuotes(value);
    return true;
}

bool HasLineBreak(std::string_view s) {
    return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

// Names that would read back as something else are refused rather than
// written: a line break would inject lines, ']' ends a section name, '='
// ends a key name.
bool ValidSection(std::string_view s) {
    return !HasLineBreak(s) && s.find(']') == s.npos;
}
bool ValidKey(std::string_view k) {
    return !k.empty() && !HasLineBreak(k) && k.find('=') == k.npos && k.front() != '[' &&
           k.front() != ';';
}

// A value that begins and ends with a quote gets one more pair, which the
// read strips again.
std::string StoredValue(const std::string& value) {
    return value.size() >= 2 && value.front() == '"' && value.back() == '"' ? '"' + value + '"'
                                                                            : value;
}

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

// A new value of the same length as the old one, in a cached file whose
// lines all end with CR LF, changes only its own line: that is written over
// the file and patched into the cached copy, without joining, comparing or
// parsing the rest, so the counters written after every fetched article
// cost the same in a file of any size. The bytes on disk are those the
// whole rewrite would give. False when the change does not qualify (the
// rewrite then does it); otherwise true, with what the write returns in ok.
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

// Applies an edit to the parsed file and writes it back when it changed.
template <class Edit>
bool Rewrite(const std::string& fileName, Edit edit) {
    const std::string path = ProfilePath(fileName);
    Loaded file;
    bool missing;
    struct stat st;
    if (!Load(path, file, missing, st)) return false;
    std::vector<Line> lines = *file.lines;
    std::deque<std::string> added;         // owns the text of new lines; grows without moving
    if (!edit(lines, added)) return true;  // nothing to change
    std::string updated = Join(lines);
    if (!missing && updated == *file.content) return true;
    const bool secret = IsPrivate(fileName);
    // A secret file others may read is replaced, so that it comes out 0600.
    if (!missing && !(secret && (st.st_mode & 077) != 0)) {
        bool done;
        if (OverwriteInPlace(path, *file.content, st, updated, done)) return true;
        if (done) return false;
    }
    return ReplaceFile(path, std::move(updated), missing ? nullptr : &st, secret);
}

}  // namespace

void MarkProfilePrivate(const std::string& fileName) {
    PrivateFiles().insert(fileName);
}

bool TightenProfile(const std::string& fileName) {
    const std::string path = ProfilePath(fileName);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0)
        return false;
    return chmod(path.c_str(), kPrivateMode) == 0;
}

void SetProfileDir(const std::string& dir) {
    Dir() = dir.empty() ? "." : dir;
}

const std::string& ProfileDir() {
    return Dir();
}

std::string ProfilePath(const std::string& fileName) {
    if (!fileName.empty() && fileName.front() == '/') return fileName;
    std::string path = Dir();
    if (path.back() != '/') path.push_back('/');
    return path + fileName;
}

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t maxLength,
                             const std::string& fileName) {
    if (maxLength == 0) return std::string();
    std::string value;
    if (!Lookup(section, key, fileName, value)) value = defaultValue;
    if (value.size() > maxLength - 1) value.resize(maxLength - 1);
    return value;
}

int GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                  const std::string& fileName) {
    std::string value;
    // An empty value counts as missing, as on Windows.
    if (!Lookup(section, key, fileName, value) || value.empty()) return defaultValue;
    std::size_t i = 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    long long number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10 + (value[i] - '0');
        if (number > static_cast<long long>(INT_MAX) + 1)
            number = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) number = -number;
    if (number > INT_MAX) number = INT_MAX;
    if (number < INT_MIN) number = INT_MIN;
    return static_cast<int>(number);
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& fileName) {
    const std::string_view sec = Trim(section);
    const std::string_view k = Trim(key);
    if (!ValidSection(sec) || !ValidKey(k) || HasLineBreak(value)) {
        errno = EINVAL;
        return false;
    }
    const std::string stored = StoredValue(value);
    bool ok;
    if (ChangeLineInPlace(ProfilePath(fileName), sec, k, stored, IsPrivate(fileName), ok))
        return ok;
    return Rewrite(fileName, [&](std::vector<Line>& lines, std::deque<std::string>& added) {
        std::size_t begin, end;
        if (!FindSection(lines, sec, begin, end)) {
            added.push_back(std::string("[").append(sec).append("]"));
            added.push_back(std::string(k) + "=" + stored);
            lines.push_back(Classify(added[0]));
            lines.push_back(Classify(added[1]));
            return true;
        }
        const std::size_t at = FindKey(lines, begin, end, k);
        if (at != std::string::npos) {
            // The key keeps the spelling it has in the file.
            added.push_back(std::string(lines[at].name) + "=" + stored);
            lines[at] = Classify(added[0]);
            return true;
        }
        // After the section's last non-blank line, so that a blank line
        // that separates it from the next section stays where it is.
        std::size_t pos = end;
        while (pos > begin + 1 && Trim(lines[pos - 1].text).empty()) --pos;
        added.push_back(std::string(k) + "=" + stored);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(pos), Classify(added[0]));
        return true;
    });
}

bool DeleteProfileKey(const std::string& section, const std::string& key,
                      const std::string& fileName) {
    const std::string_view sec = Trim(section);
    const std::string_view k = Trim(key);
    return Rewrite(fileName, [&](std::vector<Line>& lines, std::deque<std::string>&) {
        std::size_t begin, end;
        if (!FindSection(lines, sec, begin, end)) return false;
        // Every copy of the key goes, so that it reads as missing afterwards.
        bool changed = false;
        for (std::size_t i = end; i-- > begin + 1;) {
            if (lines[i].kind == LineKind::Key && SameName(lines[i].name, k)) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
                changed = true;
            }
        }
        return changed;
    });
}

bool DeleteProfileSection(const std::string& section, const std::string& fileName) {
    const std::string_view sec = Trim(section);
    return Rewrite(fileName, [&](std::vector<Line>& lines, std::deque<std::string>&) {
        // Every section of that name goes, with all its lines.
        bool changed = false;
        std::size_t begin, end;
        while (FindSection(lines, sec, begin, end)) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(begin),
                        lines.begin() + static_cast<std::ptrdiff_t>(end));
            changed = true;
        }
        return changed;
    });
}

namespace {

bool ValidEntry(const ProfileEntry& e) {
    return ValidSection(Trim(e.section)) && ValidKey(Trim(e.key)) && !HasLineBreak(e.value);
}

// The lines a batch adds, as indexes into the batch's own texts: keys new to
// a section of the file, and whole new sections (header first).
struct Additions {
    std::deque<std::string>& texts;
    std::map<std::size_t, std::vector<std::size_t>> keysAfter;  // by the section's header line
    std::vector<std::vector<std::size_t>> sections;
    std::unordered_map<std::string, std::size_t> sectionAt;  // folded name -> index in sections

    // Sets key=stored among added lines; a key added before gets the new value.
    void Set(std::vector<std::size_t>& block, std::size_t firstKey, std::string_view key,
             const std::string& stored) {
        for (std::size_t i = firstKey; i < block.size(); ++i) {
            std::string& text = texts[block[i]];
            const std::size_t eq = text.find('=');
            if (SameName(std::string_view(text).substr(0, eq), key)) {
                text = text.substr(0, eq) + "=" + stored;  // the first spelling stays
                return;
            }
        }
        texts.push_back(std::string(key) + "=" + stored);
        block.push_back(texts.size() - 1);
    }
};

// Where a key new to the section [begin, end) goes: after its last non-blank
// line, so that a blank line before the next section stays where it is.
std::size_t InsertionPoint(const std::vector<Line>& lines, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < lines.size() && lines[end].kind != LineKind::Section) ++end;
    while (end > begin + 1 && Trim(lines[end - 1].text).empty()) --end;
    return end;
}

// The file's lines with the additions in place; views into texts.
std::vector<Line> WithAdditions(const std::vector<Line>& lines, const Additions& add) {
    std::map<std::size_t, const std::vector<std::size_t>*> at;
    for (const auto& [header, keys] : add.keysAfter) at[InsertionPoint(lines, header)] = &keys;
    std::vector<Line> out;
    out.reserve(lines.size() + add.texts.size());
    auto emit = [&](const std::vector<std::size_t>& block) {
        for (std::size_t i : block) out.push_back(Classify(add.texts[i]));
    };
    for (std::size_t i = 0; i <= lines.size(); ++i) {
        if (const auto it = at.find(i); it != at.end()) emit(*it->second);
        if (i < lines.size()) out.push_back(lines[i]);
    }
    for (const auto& block : add.sections) emit(block);
    return out;
}

}  // namespace

bool WriteProfileStrings(const std::vector<ProfileEntry>& entries, const std::string& fileName) {
    if (!std::all_of(entries.begin(), entries.end(), ValidEntry)) {
        errno = EINVAL;
        return false;
    }
    if (entries.empty()) return true;
    return Rewrite(fileName, [&](std::vector<Line>& lines, std::deque<std::string>& added) {
        const SectionIndex index = IndexSections(lines);
        Additions add{added, {}, {}, {}};
        for (const ProfileEntry& e : entries) {
            const std::string_view sec = Trim(e.section);
            const std::string_view k = Trim(e.key);
            const std::string stored = StoredValue(e.value);
            std::size_t begin, end;
            if (!FindIndexed(lines, index, sec, begin, end)) {
                const auto [it, isNew] = add.sectionAt.emplace(Folded(sec), add.sections.size());
                if (isNew) {
                    added.push_back(std::string("[").append(sec).append("]"));
                    add.sections.push_back({added.size() - 1});
                }
                add.Set(add.sections[it->second], 1, k, stored);
                continue;
            }
            if (const std::size_t at = FindKey(lines, begin, end, k); at != std::string::npos) {
                // The key keeps the spelling it has in the file; the lines
                // keep their places, so the index stays right.
                added.push_back(std::string(lines[at].name) + "=" + stored);
                lines[at] = Classify(added.back());
                continue;
            }
            add.Set(add.keysAfter[begin], 0, k, stored);
        }
        if (!add.keysAfter.empty() || !add.sections.empty()) lines = WithAdditions(lines, add);
        return true;
    });
}

bool DeleteProfileSections(const std::vector<std::string>& sections, const std::string& fileName) {
    std::set<std::string> doomed;
    for (const std::string& s : sections) doomed.insert(Folded(Trim(s)));
    if (doomed.empty()) return true;
    return Rewrite(fileName, [&](std::vector<Line>& lines, std::deque<std::string>&) {
        std::vector<Line> kept;
        kept.reserve(lines.size());
        bool dropping = false;
        for (const Line& line : lines) {
            if (line.kind == LineKind::Section) dropping = doomed.count(Folded(line.name)) != 0;
            if (!dropping) kept.push_back(line);
        }
        if (kept.size() == lines.size()) return false;
        lines = std::move(kept);
        return true;
    });
}

std::vector<std::string> GetProfileSectionNames(const std::string& fileName) {
    Loaded file;
    bool missing;
    struct stat st;
    std::vector<std::string> names;
    if (!Load(ProfilePath(fileName), file, missing, st)) return names;
    for (const Line& line : *file.lines)
        if (line.kind == LineKind::Section) names.emplace_back(line.name);
    return names;
}

std::uint64_t ProfileSectionsGeneration(const std::string& fileName) {
    Loaded file;
    bool missing;
    struct stat st;
    if (!Load(ProfilePath(fileName), file, missing, st) || file.cached == nullptr) return 0;
    return file.cached->generation;
}

bool ProfileSectionExists(const std::string& section, const std::string& fileName) {
    Loaded file;
    bool missing;
    struct stat st;
    if (!Load(ProfilePath(fileName), file, missing, st)) return false;
    std::size_t begin, end;
    return FindIndexed(*file.lines, *file.sections, Trim(section), begin, end);
}

int RemoveLeftoverProfileTemps(const std::string& fileName, int minAgeSeconds) {
    const std::string path = ProfilePath(fileName);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
    // The same name TempName gives: the file's name, a dot, six letters or digits.
    auto isTemp = [&](const char* name) {
        const std::string_view n(name);
        if (n.size() != prefix.size() + 6 || n.substr(0, prefix.size()) != prefix) return false;
        for (char c : n.substr(prefix.size()))
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
                return false;
        return true;
    };
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    const timespec now = RealTime();
    int removed = 0;
    while (const dirent* e = readdir(d)) {
        if (!isTemp(e->d_name)) continue;
        struct stat st;
        const int dirFd = dirfd(d);
        if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (now.tv_sec - st.st_mtim.tv_sec < minAgeSeconds) continue;
        if (unlinkat(dirFd, e->d_name, 0) == 0) ++removed;
    }
    closedir(d);
    return removed;
}

}  // namespace plat
