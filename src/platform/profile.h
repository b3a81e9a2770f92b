// Profile (.ini) files with the semantics the program's settings rely on.
//
// Files are addressed by bare name and live in one profile directory chosen
// at start-up. Section and key names compare without regard to case; values
// are trimmed of surrounding white space, then of one pair of surrounding
// double quotes (written back around a value that begins and ends with one).
// A write rewrites the whole file through a temporary file in the same
// directory and renames it over the old one, keeping its permission bits (a
// new file, and any file marked private, gets 0600: it may hold the
// password), so a crash leaves either the old or the new file, never a mix.
// A change that keeps the length and stays inside one disk sector (a counter
// going from 103 to 104) is written over the file itself with one write,
// which a crash also leaves old or new, for a fraction of the cost. A profile file
// that is a symbolic link stays one: its target is written. Writes are not
// synced to disk: a power failure may lose the latest ones.
//
// Files are read with LF or CR LF line ends; a write stores every line with
// CR LF. Lines are "[Section]", "key=value" and comments starting with ';';
// other lines are kept as they are. Lines may be of any length. Where a
// section appears twice, the first one is read and written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

void SetProfileDir(const std::string& dir);
// A file that holds a secret (the password): every write leaves it 0600.
void MarkProfilePrivate(const std::string& fileName);
// Makes the file 0600 when others may read it; true when it was changed.
bool TightenProfile(const std::string& fileName);
const std::string& ProfileDir();
// The full path of a profile file given by bare name (an absolute path is
// taken as it is). The directory defaults to the current one.
std::string ProfilePath(const std::string& fileName);

// At most maxLength - 1 characters of the value (like a buffer of maxLength
// bytes with its terminator), or of the default when the key is missing.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t maxLength,
                             const std::string& fileName);
// The value's leading decimal number (optional sign), held to the range of
// int; 0 when it is not a number; the default when the key is missing or
// its value is empty.
int GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                  const std::string& fileName);
// Creates file, section and key as needed; keeps every other line. A new
// key goes at the end of its section, a new section at the end of the file.
// Returns false, leaving the old file as it was, when the file could not be
// written, and for text that would not read back as written (a line break
// anywhere, '=' in the key, ']' in the section, an empty key).
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& fileName);
// Deleting removes every copy of the key in the section, or every section
// of that name. Nothing to delete is success and leaves the file untouched.
bool DeleteProfileKey(const std::string& section, const std::string& key,
                      const std::string& fileName);
bool DeleteProfileSection(const std::string& section, const std::string& fileName);
bool ProfileSectionExists(const std::string& section, const std::string& fileName);

// Many writes or deletions with one read and one rewrite of the file, for
// thousands of groups at once. The result is that of WriteProfileString for
// each entry in turn (or DeleteProfileSection for each name); any entry that
// would be refused refuses them all, and a failed write leaves the file as
// it was.
struct ProfileEntry {
    std::string section;
    std::string key;
    std::string value;
};
bool WriteProfileStrings(const std::vector<ProfileEntry>& entries, const std::string& fileName);
bool DeleteProfileSections(const std::vector<std::string>& sections, const std::string& fileName);
// The names of the file's sections as they stand, in file order; empty when
// the file is missing or cannot be read.
std::vector<std::string> GetProfileSectionNames(const std::string& fileName);
// Stays the same while the file's sections are the ones last parsed, so
// that what is derived from them can be kept; 0 when the file is not kept
// (missing, too big, unreadable): derive afresh.
std::uint64_t ProfileSectionsGeneration(const std::string& fileName);
// Removes the temporary files that a process killed in the middle of a
// write of this file left beside it ("qiv.ini.Ab3xYz"), once they are
// older than minAgeSeconds (so that a write in progress elsewhere keeps
// its own). Returns how many were removed.
int RemoveLeftoverProfileTemps(const std::string& fileName, int minAgeSeconds);

}  // namespace plat
