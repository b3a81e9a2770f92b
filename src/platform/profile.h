// Profile (.ini) files with the semantics the program's settings rely on.
//
// Files are addressed by bare name and live in one profile directory chosen
// at start-up. Section and key names compare without regard to case; values
// are trimmed of surrounding white space. Every write rewrites the whole file
// through a temporary file in the same directory and renames it over the old
// one, keeping its permission bits, so a crash leaves either the old or the
// new file, never a mix. Writes are not synced to disk (see README).
#pragma once

#include <string>

namespace plat {

void SetProfileDir(const std::string& dir);
const std::string& ProfileDir();
// The full path of a profile file given by bare name.
std::string ProfilePath(const std::string& fileName);

// At most maxLength - 1 characters of the value (like a buffer of maxLength
// bytes with its terminator), or of the default when the key is missing.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t maxLength,
                             const std::string& fileName);
// The value's leading decimal number (optional sign); 0 when it is not a
// number; the default when the key is missing.
int GetProfileInt(const std::string& section, const std::string& key, int defaultValue,
                  const std::string& fileName);
// Creates file, section and key as needed; keeps every other line.
// Returns false when the file could not be written.
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& fileName);
bool DeleteProfileKey(const std::string& section, const std::string& key,
                      const std::string& fileName);
bool DeleteProfileSection(const std::string& section, const std::string& fileName);
bool ProfileSectionExists(const std::string& section, const std::string& fileName);

}  // namespace plat
