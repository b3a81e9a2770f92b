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
#include <deque>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/profile_file.h"

namespace plat {

using namespace profile_detail;

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

// The quotes an editor may put around a value are not part of it.
void StripQuotes(std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
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
// read strips again. Judged on the value as it reads back, without the
// blanks around it, or ' "" ' would come back empty.
std::string StoredValue(const std::string& value) {
    const std::string_view read = Trim(value);
    return read.size() >= 2 && read.front() == '"' && read.back() == '"'
               ? '"' + std::string(read) + '"'
               : value;
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
    return WriteLines(path, file, missing ? nullptr : &st, lines, IsPrivate(fileName));
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
#ifdef _WIN32
        // No descriptors for directories there: by path, the link checked.
        const std::string path = dir + "/" + e->d_name;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (now.tv_sec - st.st_mtim.tv_sec < minAgeSeconds) continue;
        if (unlink(path.c_str()) == 0) ++removed;
#else
        const int dirFd = dirfd(d);
        if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (now.tv_sec - st.st_mtim.tv_sec < minAgeSeconds) continue;
        if (unlinkat(dirFd, e->d_name, 0) == 0) ++removed;
#endif
    }
    closedir(d);
    return removed;
}

}  // namespace plat
