// The inside of the profile-file module, shared by its files: profile.cpp
// (the functions of profile.h: lookups and the edits they make to the lines),
// profile_cache.cpp (reading, parsing and keeping the parsed files) and
// profile_write.cpp (getting edited text onto the disk). Not for other users.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace plat::profile_detail {

constexpr mode_t kPrivateMode = 0600;

std::string_view Trim(std::string_view s);
bool SameName(std::string_view a, std::string_view b);
std::string Folded(std::string_view name);

enum class LineKind { Other, Section, Key };

struct Line {
    std::string_view text;  // without its line end
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed
};

Line Classify(std::string_view text);

// Line range [begin, end) of the first section with this name; begin is
// the header line. False when there is none.
bool FindSection(const std::vector<Line>& lines, std::string_view section, std::size_t& begin,
                 std::size_t& end);

// Where each section's first header is, by name in lower case: a lookup
// costs the same in a file of 3000 groups as in one of 3.
using SectionIndex = std::unordered_map<std::string, std::size_t>;

SectionIndex IndexSections(const std::vector<Line>& lines);
// FindSection through the index.
bool FindIndexed(const std::vector<Line>& lines, const SectionIndex& index,
                 std::string_view section, std::size_t& begin, std::size_t& end);
std::size_t FindKey(const std::vector<Line>& lines, std::size_t begin, std::size_t end,
                    std::string_view key);

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

constexpr std::size_t kMaxCachedSize = 1 << 20;

// Node-based: an entry never moves, so its line views stay valid.
std::unordered_map<std::string, CachedFile>& Cache();

bool SameTime(const timespec& a, const timespec& b);
std::int64_t Nanoseconds(const timespec& t);
timespec RealTime();

// Keeps content (at most kMaxCachedSize) as the file's text, with the
// identity st.
CachedFile& Remember(const std::string& path, const struct stat& st, std::string content,
                     bool trusted);

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

bool Load(const std::string& path, Loaded& file, bool& missing, struct stat& st);

// Writes the edited lines of the file that `file` was loaded from back to
// path, when they differ from its text: over the file itself when the change
// allows, else through a temporary file renamed over it. old: the file's
// stat, null when it did not exist. On success the text becomes the cached
// copy.
bool WriteLines(const std::string& path, const Loaded& file, const struct stat* old,
                const std::vector<Line>& lines, bool secret);

// A new value of the same length as the old one, in a cached file whose
// lines all end with CR LF, changes only its own line: that is written over
// the file and patched into the cached copy, without joining, comparing or
// parsing the rest, so the counters written after every fetched article
// cost the same in a file of any size. The bytes on disk are those the
// whole rewrite would give. False when the change does not qualify (the
// rewrite then does it); otherwise true, with what the write returns in ok.
bool ChangeLineInPlace(const std::string& path, std::string_view section, std::string_view key,
                       const std::string& value, bool secret, bool& ok);

}  // namespace plat::profile_detail
