#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <vector>

namespace plat {

namespace {

std::string& Dir() {
    static std::string dir = ".";
    return dir;
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

// The whole file in one read; a missing file is empty. False for anything
// else that stops the read (a directory in its place, no permission).
bool ReadWhole(const std::string& path, std::string& out, bool& missing) {
    out.clear();
    missing = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        return missing;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
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
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
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

std::size_t FindKey(const std::vector<Line>& lines, std::size_t begin, std::size_t end,
                    std::string_view key) {
    for (std::size_t i = begin + 1; i < end; ++i)
        if (lines[i].kind == LineKind::Key && SameName(lines[i].name, key)) return i;
    return std::string::npos;
}

// The value of section/key, or false when the file, section or key is missing.
bool Lookup(const std::string& section, const std::string& key, const std::string& fileName,
            std::string& value) {
    std::string content;
    bool missing;
    if (!ReadWhole(ProfilePath(fileName), content, missing)) return false;
    const std::vector<Line> lines = Parse(content);
    std::size_t begin, end;
    if (!FindSection(lines, Trim(section), begin, end)) return false;
    const std::size_t at = FindKey(lines, begin, end, Trim(key));
    if (at == std::string::npos) return false;
    value.assign(lines[at].value);
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

// Replaces the file atomically: the new text goes to a temporary file in
// the same directory, which is renamed over the old one. Not synced to
// disk: a crash of the process leaves the old or the new file, but a power
// failure may lose the latest writes (two per fetched article; a sync each
// would cost far more than the write itself).
bool ReplaceFile(const std::string& path, const std::string& content) {
    mode_t mode = 0600;  // new files may hold the password
    struct stat old;
    const bool exists = stat(path.c_str(), &old) == 0;
    if (exists) {
        if (!S_ISREG(old.st_mode)) {
            errno = EISDIR;
            return false;
        }
        mode = old.st_mode & 07777;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0;
    if (ok && exists && (old.st_uid != geteuid() || old.st_gid != getegid())) {
        // Keeping the owner is only possible for root; otherwise the file
        // becomes ours, as any editor's save would make it.
        if (fchown(fd, old.st_uid, old.st_gid) != 0) errno = 0;
    }
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = err;
    }
    return ok;
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
    std::string content;
    bool missing;
    if (!ReadWhole(path, content, missing)) return false;
    std::vector<Line> lines = Parse(content);
    std::deque<std::string> added;         // owns the text of new lines; grows without moving
    if (!edit(lines, added)) return true;  // nothing to change
    const std::string updated = Join(lines);
    if (!missing && updated == content) return true;
    return ReplaceFile(path, updated);
}

}  // namespace

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
    return Rewrite(fileName, [&](std::vector<Line>& lines, std::deque<std::string>& added) {
        std::size_t begin, end;
        if (!FindSection(lines, sec, begin, end)) {
            added.push_back("[" + std::string(sec) + "]");
            added.push_back(std::string(k) + "=" + value);
            lines.push_back(Classify(added[0]));
            lines.push_back(Classify(added[1]));
            return true;
        }
        const std::size_t at = FindKey(lines, begin, end, k);
        if (at != std::string::npos) {
            // The key keeps the spelling it has in the file.
            added.push_back(std::string(lines[at].name) + "=" + value);
            lines[at] = Classify(added[0]);
            return true;
        }
        // After the section's last non-blank line, so that a blank line
        // that separates it from the next section stays where it is.
        std::size_t pos = end;
        while (pos > begin + 1 && Trim(lines[pos - 1].text).empty()) --pos;
        added.push_back(std::string(k) + "=" + value);
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

bool ProfileSectionExists(const std::string& section, const std::string& fileName) {
    std::string content;
    bool missing;
    if (!ReadWhole(ProfilePath(fileName), content, missing)) return false;
    const std::vector<Line> lines = Parse(content);
    std::size_t begin, end;
    return FindSection(lines, Trim(section), begin, end);
}

}  // namespace plat
