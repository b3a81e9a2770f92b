#include "spool/group_registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool/expiry.h"
#include "spool/group_files.h"
#include "spool/index_record.h"
#include "spool/message_history.h"
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

// The highest group number given out: registry lines and NG<n> sections.
// Files in the spool do not count: a stray "20240101.tmp" would otherwise
// push every later group number (and the walk over them) into the millions.
long long HighestUsedNumber(const std::vector<RegistryLine>& registry) {
    long long highest = 0;
    for (const RegistryLine& line : registry)
        if (line.hasColon) highest = std::max<long long>(highest, line.number);
    for (const std::string& section : plat::GetProfileSectionNames(kGroupsFile))
        highest = std::max(highest, SectionNumber(section));
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

namespace {

// Registry names compare without regard to ASCII letter case.
std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// False, with the result filled in, for a name that no file is looked at for.
bool AcceptableName(const std::string& name, SubscribeResult& result) {
    if (name.empty()) {
        result.status = SubscribeStatus::EmptyName;
        result.message = "No group name given";
    } else if (name.size() > kMaxGroupName) {
        result.status = SubscribeStatus::NameTooLong;
        result.message = "Group name longer than 255 characters";
    } else if (!ValidNameCharacters(name)) {
        result.status = SubscribeStatus::InvalidName;
        result.message = "A group name may not hold a colon, white space or control characters";
    } else {
        return true;
    }
    return false;
}

// A group that has its number and directory and waits for its section and
// registry line, which all the batch's groups get in one write each.
struct Pending {
    std::size_t index;      // of its name
    std::int32_t number;
    std::int32_t counterBefore;  // LastGroupNum as the group found it
    bool madeDir;
};

void Fail(std::vector<SubscribeResult>& results, const std::vector<Pending>& pending,
          SubscribeStatus status, const std::function<std::string(const Pending&)>& message) {
    for (const Pending& p : pending) {
        results[p.index].status = status;
        results[p.index].message = message(p);
    }
}

void LogCounterBehind(const SpoolContext& context, const Pending& p) {
    if (p.number == p.counterBefore || !context.log) return;
    if (p.counterBefore >= 1)
        context.log("LastGroupNum " + std::to_string(p.counterBefore) +
                    " was behind the spool; group " + std::to_string(p.number) + " is next");
    else
        context.log("LastGroupNum was not set; group " + std::to_string(p.number) + " is next");
}

}  // namespace

std::vector<SubscribeResult> SubscribeGroups(const SpoolContext& context,
                                             const std::vector<std::string>& names) {
    std::vector<SubscribeResult> results(names.size());
    std::vector<RegistryLine> registry;
    bool missing = false;
    const bool readable = ReadRegistry(context.spoolDir, registry, missing);
    std::unordered_map<std::string, std::int32_t> known;  // the first line of each name
    for (const RegistryLine& line : registry)
        if (line.hasColon) known.emplace(Folded(line.name), line.number);
    const long long highest = readable ? HighestUsedNumber(registry) : 0;

    // Numbers and directories first, name by name; a name that fails here
    // leaves nothing behind and its number to the next.
    std::vector<Pending> pending;
    std::int32_t counter = *context.lastGroupNum;
    long long used = highest;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        SubscribeResult& r = results[i];
        if (!AcceptableName(name, r)) continue;
        if (!readable) {
            r.status = SubscribeStatus::RegistryUnavailable;
            r.message = "Cannot read " + RegistryPath(context.spoolDir);
            continue;
        }
        if (const auto it = known.find(Folded(name)); it != known.end()) {
            r.status = SubscribeStatus::AlreadySubscribed;
            r.groupNumber = it->second;
            r.message = name + " is subscribed already";
            continue;
        }
        const std::int32_t n = NextNumber(context.spoolDir, used, counter);
        if (n < 0) {
            r.status = SubscribeStatus::NoFreeNumber;
            r.message = "No group number is free";
            continue;
        }
        const std::string dir = GroupDirectory(context.spoolDir, n);
        const bool madeDir = !plat::DirectoryExists(dir);
        if (!plat::CreateDirectory(dir)) {
            r.status = SubscribeStatus::SpoolUnwritable;
            r.message = "Cannot create " + dir;
            continue;
        }
        pending.push_back({i, n, counter, madeDir});
        known.emplace(Folded(name), n);
        r.groupNumber = n;
        used = n;
        counter = n + 1;
    }
    if (pending.empty()) return results;

    // Each group exists in all three places or in none. The registry lines,
    // which the board goes by, come last; a failure before them undoes the
    // rest.
    std::vector<plat::ProfileEntry> sections;
    for (const Pending& p : pending) sections.push_back({GroupSection(p.number), "Name", names[p.index]});
    const auto undo = [&](bool sectionsWritten) {
        if (sectionsWritten) {
            std::vector<std::string> doomed;
            for (const plat::ProfileEntry& e : sections) doomed.push_back(e.section);
            plat::DeleteProfileSections(doomed, kGroupsFile);
        }
        for (const Pending& p : pending)
            if (p.madeDir) plat::RemoveDirectory(GroupDirectory(context.spoolDir, p.number));
        for (const Pending& p : pending) results[p.index].groupNumber = -1;
    };
    if (!plat::WriteProfileStrings(sections, kGroupsFile)) {
        undo(false);
        Fail(results, pending, SubscribeStatus::SpoolUnwritable, [](const Pending& p) {
            return "Cannot write section " + GroupSection(p.number) + " of " + kGroupsFile;
        });
        return results;
    }
    std::string lines;
    for (const Pending& p : pending) {
        char line[300];
        std::snprintf(line, sizeof line, "%s:%ld\n", names[p.index].c_str(),
                      static_cast<long>(p.number));
        lines += line;
    }
    if (!AppendRegistryLine(context.spoolDir, lines)) {
        undo(true);
        const std::string message = "Cannot write " + RegistryPath(context.spoolDir);
        Fail(results, pending, SubscribeStatus::RegistryUnavailable,
             [&](const Pending&) { return message; });
        return results;
    }

    for (const Pending& p : pending) {
        LogCounterBehind(context, p);
        SubscribeResult& r = results[p.index];
        r.status = SubscribeStatus::Subscribed;
        r.message = "Subscribed to " + names[p.index] + " as group " + std::to_string(p.number);
    }
    *context.lastGroupNum = counter;
    plat::WriteProfileString(kSettingsSection, "LastGroupNum", std::to_string(counter),
                             kSettingsFile);
    return results;
}

SubscribeResult SubscribeGroup(const SpoolContext& context, const std::string& name) {
    return SubscribeGroups(context, {name}).front();
}

namespace {

// Rewrites newsys.rc without the lines that carry any of the names (folded)
// and gives the number of the last line of each name removed. False when
// the registry cannot be read or replaced; a missing one is no failure and
// is not created.
bool RemoveRegistryEntries(const std::string& spoolDir,
                           const std::unordered_set<std::string>& names,
                           std::unordered_map<std::string, std::int32_t>& removed) {
    removed.clear();
    const std::string path = RegistryPath(spoolDir);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) return false;
    std::vector<RegistryLine> registry;
    bool missing = false;
    if (!ReadRegistry(spoolDir, registry, missing) || missing) return false;

    std::string content;
    for (const RegistryLine& line : registry) {
        if (!line.hasColon) {
            // Not an entry: kept as it stands.
            content += line.text;
            content += '\n';
            continue;
        }
        if (const std::string folded = Folded(line.name); names.count(folded) != 0) {
            removed[folded] = line.number;
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
        return false;
    }
    return true;
}

}  // namespace

std::int32_t RemoveRegistryEntry(const std::string& spoolDir, const std::string& name,
                                 bool* registryFailed) {
    std::unordered_map<std::string, std::int32_t> removed;
    const bool ok = RemoveRegistryEntries(spoolDir, {Folded(name)}, removed);
    if (registryFailed != nullptr) *registryFailed = !ok;
    const auto it = removed.find(Folded(name));
    return ok && it != removed.end() ? it->second : -1;
}

std::vector<UnsubscribeResult> UnsubscribeGroups(const SpoolContext& context,
                                                 const std::vector<std::string>& names) {
    std::vector<UnsubscribeResult> results(names.size());
    std::unordered_set<std::string> folded;
    for (const std::string& name : names) folded.insert(Folded(name));
    std::unordered_map<std::string, std::int32_t> removed;
    const bool ok = RemoveRegistryEntries(context.spoolDir, folded, removed);

    std::vector<std::pair<std::int32_t, std::size_t>> retired;  // group, its result
    std::vector<std::string> sections;
    for (std::size_t i = 0; i < names.size(); ++i) {
        UnsubscribeResult& r = results[i];
        const auto it = removed.find(Folded(names[i]));
        if (!ok) {
            r.status = UnsubscribeStatus::RegistryUnavailable;
            r.message = "Cannot rewrite " + RegistryPath(context.spoolDir);
        } else if (it == removed.end()) {
            // Also a name given twice, the second time.
            r.status = UnsubscribeStatus::NotSubscribed;
            r.message = names[i] + " is not subscribed";
        } else {
            r.status = UnsubscribeStatus::Unsubscribed;
            r.groupNumber = it->second;
            r.message = "Unsubscribed from " + names[i];
            // A line without a proper number names no group files.
            if (it->second > 0) {
                retired.emplace_back(it->second, i);
                sections.push_back(GroupSection(it->second));
            }
            removed.erase(it);
        }
    }
    if (retired.empty()) return results;

    plat::DeleteProfileSections(sections, kGroupsFile);
    for (const auto& [n, i] : retired) {
        // An expiry step working on the group gives it up; its files go here.
        StopExpiryOfGroup(n);
        DeleteIndexedArticles(context.spoolDir, n, IndexPath(context.spoolDir, n));
        DeleteIndexedArticles(context.spoolDir, n, TempIndexPath(context.spoolDir, n));
        plat::DeleteFile(HistoryPath(context.spoolDir, n));
        if (n == GroupInFetch()) continue;
        results[i].stayed = RemoveGroupDirectory(context.spoolDir, n);
        if (!results[i].stayed.empty()) results[i].message += ", but " + results[i].stayed;
    }
    return results;
}

UnsubscribeResult UnsubscribeGroup(const SpoolContext& context, const std::string& name) {
    return UnsubscribeGroups(context, {name}).front();
}

}  // namespace spool
