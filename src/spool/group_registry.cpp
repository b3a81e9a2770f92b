#include "spool/group_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool/expiry.h"
#include "spool/index_record.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

// Group numbers fill eight digits of an index record.
constexpr std::int32_t kMaxGroupNumber = 99999999;

struct RegistryLine {
    std::string text;  // the line as read, without its line end
    bool hasColon = false;
    std::string name;
    std::int32_t number = 0;
};

// The number after the colon, read like "%ld" reads a 32-bit long: white
// space skipped, an optional sign, digits; 0 when there are none.
std::int32_t ParseNumber(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

RegistryLine ParseLine(const std::string& text) {
    RegistryLine line;
    line.text = text;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return line;
    line.hasColon = true;
    line.name = text.substr(0, colon);
    line.number = ParseNumber(text.substr(colon + 1));
    return line;
}

// Reads every line of the registry; false when it exists but cannot be read.
bool ReadRegistry(const std::string& spoolDir, std::vector<RegistryLine>& lines, bool& missing) {
    lines.clear();
    const std::string path = RegistryPath(spoolDir);
    missing = !plat::FileExists(path) && !plat::DirectoryExists(path);
    if (missing) return true;
    plat::TextReader reader;
    if (!reader.Open(path)) return false;
    std::string text;
    while (reader.ReadLine(text)) lines.push_back(ParseLine(text));
    return true;
}

// Digits only, as a number; -1 when the text is not that.
long long DigitsValue(const std::string& text) {
    if (text.empty() || text.size() > 12) return -1;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "NG<digits>" in any letter case.
long long SectionNumber(const std::string& name) {
    if (name.size() < 3 || (name[0] != 'N' && name[0] != 'n') || (name[1] != 'G' && name[1] != 'g'))
        return -1;
    return DigitsValue(name.substr(2));
}

std::string Trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The highest group number given out: registry lines and NG<n> sections.
// Files in the spool do not count: a stray "20240101.tmp" would otherwise
// push every later group number (and the walk over them) into the millions.
long long HighestUsedNumber(const std::vector<RegistryLine>& registry) {
    long long highest = 0;
    for (const RegistryLine& line : registry)
        if (line.hasColon) highest = std::max<long long>(highest, line.number);

    plat::TextReader ini;
    if (ini.Open(plat::ProfilePath(kGroupsFile))) {
        std::string text;
        while (ini.ReadLine(text)) {
            text = Trim(text);
            if (text.size() < 2 || text.front() != '[') continue;
            const std::size_t close = text.find(']');
            if (close == std::string::npos) continue;
            highest = std::max(highest, SectionNumber(Trim(text.substr(1, close - 1))));
        }
    }
    return highest;
}

// Files left under a number (an index, its temporary copy, a directory)
// would hand an old group's articles to a new one: such a number is passed.
bool HasLeftovers(const std::string& spoolDir, long long n) {
    const auto group = static_cast<std::int32_t>(n);
    struct stat st;
    return lstat(IndexPath(spoolDir, group).c_str(), &st) == 0 ||
           lstat(TempIndexPath(spoolDir, group).c_str(), &st) == 0 ||
           lstat(GroupDirectory(spoolDir, group).c_str(), &st) == 0;
}

std::int32_t NextNumber(const std::string& spoolDir, long long highestUsed,
                        std::int32_t lastGroupNum) {
    long long next = std::max<long long>({1, lastGroupNum, highestUsed + 1});
    while (next <= kMaxGroupNumber && HasLeftovers(spoolDir, next)) ++next;
    return next > kMaxGroupNumber ? -1 : static_cast<std::int32_t>(next);
}

bool ValidNameCharacters(const std::string& name) {
    for (unsigned char c : name)
        if (c == ':' || c == ' ' || c < 0x20 || c == 0x7f) return false;
    return true;
}

// Appends the line in text mode. A registry that does not end in a line
// end gets one first, so the new entry is a line of its own; a failed
// append is taken back, so no half line is left.
bool AppendRegistryLine(const std::string& spoolDir, const std::string& line) {
    const std::string path = RegistryPath(spoolDir);
    struct stat st;
    off_t oldSize = 0;
    bool needsLineEnd = false;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return false;
        oldSize = st.st_size;
        if (oldSize > 0) {
            const int fd = plat::OpenRegular(path, O_RDONLY);
            char last = '\n';
            if (fd < 0 || pread(fd, &last, 1, oldSize - 1) != 1) {
                if (fd >= 0) close(fd);
                return false;
            }
            close(fd);
            needsLineEnd = last != '\n';
        }
    }
    plat::TextWriter writer;
    if (!writer.Open(path, "a")) return false;
    if (needsLineEnd) writer.Write("\n");
    writer.Write(line);
    if (writer.Close()) return true;
    if (truncate(path.c_str(), oldSize) != 0) {
        // The partial line stays; the next subscribe starts a new line.
    }
    return false;
}

// Writes the whole file and makes it durable; false on any failure.
bool WriteWholeFile(const std::string& path, const std::string& content, mode_t mode) {
    // A new file: a link left as newsys.tmp must not have its target emptied.
    const int fd = plat::CreateNewFile(path, mode);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    return ok;
}

// Deletes every article that the index file lists, then the index.
void DeleteIndexedArticles(const std::string& spoolDir, std::int32_t group,
                           const std::string& indexPath) {
    const int fd = plat::OpenRegular(indexPath, O_RDONLY);
    if (fd < 0) return;
    struct stat st;
    const bool isFile = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const off_t count = isFile ? st.st_size / static_cast<off_t>(kRecordSize) : 0;
    unsigned char record[kRecordSize];
    for (off_t i = 0; i < count; ++i) {
        if (pread(fd, record, kRecordSize, i * static_cast<off_t>(kRecordSize)) !=
            static_cast<ssize_t>(kRecordSize))
            break;
        DeleteArticle(spoolDir, group, RecordFileName(record));
    }
    close(fd);
    if (isFile) plat::DeleteFile(indexPath);
}

}  // namespace

std::int32_t NextFreeGroupNumber(const std::string& spoolDir, std::int32_t lastGroupNum) {
    std::vector<RegistryLine> registry;
    bool missing = false;
    ReadRegistry(spoolDir, registry, missing);
    return NextNumber(spoolDir, HighestUsedNumber(registry), lastGroupNum);
}

SubscribeResult SubscribeGroup(const SpoolContext& context, const std::string& name) {
    SubscribeResult result;
    if (name.empty()) {
        result.status = SubscribeStatus::EmptyName;
        result.message = "No group name given";
        return result;
    }
    if (name.size() > kMaxGroupName) {
        result.status = SubscribeStatus::NameTooLong;
        result.message = "Group name longer than 255 characters";
        return result;
    }
    if (!ValidNameCharacters(name)) {
        result.status = SubscribeStatus::InvalidName;
        result.message = "A group name may not hold a colon, white space or control characters";
        return result;
    }

    std::vector<RegistryLine> registry;
    bool missing = false;
    if (!ReadRegistry(context.spoolDir, registry, missing)) {
        result.status = SubscribeStatus::RegistryUnavailable;
        result.message = "Cannot read " + RegistryPath(context.spoolDir);
        return result;
    }
    for (const RegistryLine& line : registry) {
        if (line.hasColon && EqualNoCase(line.name, name)) {
            result.status = SubscribeStatus::AlreadySubscribed;
            result.groupNumber = line.number;
            result.message = name + " is subscribed already";
            return result;
        }
    }

    const std::int32_t counter = *context.lastGroupNum;
    const std::int32_t n = NextNumber(context.spoolDir, HighestUsedNumber(registry), counter);
    if (n < 0) {
        result.status = SubscribeStatus::NoFreeNumber;
        result.message = "No group number is free";
        return result;
    }

    // The group exists in all three places or in none. The registry line,
    // which the board goes by, comes last; a failure before it undoes the
    // rest.
    const std::string section = GroupSection(n);
    const std::string dir = GroupDirectory(context.spoolDir, n);
    const bool madeDir = !plat::DirectoryExists(dir);
    const auto undo = [&](bool sectionWritten) {
        if (sectionWritten) plat::DeleteProfileSection(section, kGroupsFile);
        if (madeDir) plat::RemoveDirectory(dir);
    };
    if (!plat::CreateDirectory(dir)) {
        result.status = SubscribeStatus::SpoolUnwritable;
        result.message = "Cannot create " + dir;
        return result;
    }
    if (!plat::WriteProfileString(section, "Name", name, kGroupsFile)) {
        undo(false);
        result.status = SubscribeStatus::SpoolUnwritable;
        result.message = "Cannot write section " + section + " of " + kGroupsFile;
        return result;
    }
    char line[300];
    std::snprintf(line, sizeof line, "%s:%ld\n", name.c_str(), static_cast<long>(n));
    if (!AppendRegistryLine(context.spoolDir, line)) {
        undo(true);
        result.status = SubscribeStatus::RegistryUnavailable;
        result.message = "Cannot write " + RegistryPath(context.spoolDir);
        return result;
    }
    if (n != counter && counter >= 1 && context.log) {
        context.log("LastGroupNum " + std::to_string(counter) + " was behind the spool; group " +
                    std::to_string(n) + " is next");
    } else if (n != counter && context.log) {
        context.log("LastGroupNum was not set; group " + std::to_string(n) + " is next");
    }

    *context.lastGroupNum = n + 1;
    plat::WriteProfileString(kSettingsSection, "LastGroupNum", std::to_string(n + 1),
                             kSettingsFile);

    result.status = SubscribeStatus::Subscribed;
    result.groupNumber = n;
    result.message = "Subscribed to " + name + " as group " + std::to_string(n);
    return result;
}

std::int32_t RemoveRegistryEntry(const std::string& spoolDir, const std::string& name,
                                 bool* registryFailed) {
    if (registryFailed != nullptr) *registryFailed = true;
    const std::string path = RegistryPath(spoolDir);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        // No registry: no group to remove, and nothing is created.
        if (errno == ENOENT && registryFailed != nullptr) *registryFailed = false;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) return -1;
    std::vector<RegistryLine> registry;
    bool missing = false;
    if (!ReadRegistry(spoolDir, registry, missing) || missing) return -1;

    std::int32_t result = -1;
    std::string content;
    for (const RegistryLine& line : registry) {
        if (!line.hasColon) {
            // Not an entry: kept as it stands.
            content += line.text;
            content += '\n';
            continue;
        }
        if (EqualNoCase(line.name, name)) {
            result = line.number;
            continue;
        }
        content += line.name;
        content += ':';
        content += std::to_string(line.number);
        content += '\n';
    }

    // The new registry is written whole, then renamed over the old one: a
    // failure anywhere before the rename leaves newsys.rc as it was.
    const std::string temp = RegistryTempPath(spoolDir);
    if (!WriteWholeFile(temp, content, st.st_mode & 07777) || !plat::RenameReplace(temp, path)) {
        plat::DeleteFile(temp);
        return -1;
    }
    if (registryFailed != nullptr) *registryFailed = false;
    return result;
}

UnsubscribeResult UnsubscribeGroup(const SpoolContext& context, const std::string& name) {
    UnsubscribeResult result;
    bool failed = false;
    const std::int32_t n = RemoveRegistryEntry(context.spoolDir, name, &failed);
    if (failed) {
        result.status = UnsubscribeStatus::RegistryUnavailable;
        result.message = "Cannot rewrite " + RegistryPath(context.spoolDir);
        return result;
    }
    if (n == -1) {
        result.status = UnsubscribeStatus::NotSubscribed;
        result.message = name + " is not subscribed";
        return result;
    }
    result.status = UnsubscribeStatus::Unsubscribed;
    result.groupNumber = n;
    result.message = "Unsubscribed from " + name;
    // A line without a proper number names no group files.
    if (n <= 0) return result;

    plat::DeleteProfileSection(GroupSection(n), kGroupsFile);
    // An expiry step working on the group gives it up; its files go here.
    StopExpiryOfGroup(n);
    DeleteIndexedArticles(context.spoolDir, n, IndexPath(context.spoolDir, n));
    DeleteIndexedArticles(context.spoolDir, n, TempIndexPath(context.spoolDir, n));
    plat::RemoveDirectory(GroupDirectory(context.spoolDir, n));
    return result;
}

}  // namespace spool
