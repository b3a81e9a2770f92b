// Reading and parsing profile files, and keeping the parsed ones.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/profile_file.h"

namespace plat::profile_detail {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
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

constexpr std::size_t kMaxCachedFiles = 16;
constexpr std::int64_t kRacyNs = 3'000'000'000;

bool SameFile(const CachedFile& c, const struct stat& st) {
    return c.device == st.st_dev && c.inode == st.st_ino && c.size == st.st_size &&
           SameTime(c.modified, st.st_mtim);
}

}  // namespace

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

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

bool FindIndexed(const std::vector<Line>& lines, const SectionIndex& index,
                 std::string_view section, std::size_t& begin, std::size_t& end) {
    const auto it = index.find(Folded(section));
    if (it == index.end()) return false;
    begin = it->second;
    end = begin + 1;
    while (end < lines.size() && lines[end].kind != LineKind::Section) ++end;
    return true;
}

std::size_t FindKey(const std::vector<Line>& lines, std::size_t begin, std::size_t end,
                    std::string_view key) {
    for (std::size_t i = begin + 1; i < end; ++i)
        if (lines[i].kind == LineKind::Key && SameName(lines[i].name, key)) return i;
    return std::string::npos;
}

std::unordered_map<std::string, CachedFile>& Cache() {
    static auto* cache = new std::unordered_map<std::string, CachedFile>;
    return *cache;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::int64_t Nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

timespec RealTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

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

}  // namespace plat::profile_detail
