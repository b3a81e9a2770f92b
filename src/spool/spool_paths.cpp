#include "spool/spool_paths.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool/index_record.h"
#include "spool/spool_context.h"

namespace spool {

std::string GroupSection(std::int32_t group) {
    return "NG" + std::to_string(group);
}

std::string RegistryPath(const std::string& spoolDir) {
    return spoolDir + "/newsys.rc";
}

std::string RegistryTempPath(const std::string& spoolDir) {
    return spoolDir + "/newsys.tmp";
}

std::string IndexPath(const std::string& spoolDir, std::int32_t group) {
    return spoolDir + "/" + std::to_string(group) + ".grp";
}

std::string TempIndexPath(const std::string& spoolDir, std::int32_t group) {
    return spoolDir + "/" + std::to_string(group) + ".tmp";
}

std::string NewsDirectory(const std::string& spoolDir) {
    return spoolDir + "/news";
}

std::string GroupDirectory(const std::string& spoolDir, std::int32_t group) {
    return NewsDirectory(spoolDir) + "/" + GroupSection(group);
}

std::string ArticleFileName(long fileNumber) {
    char name[24];
    std::snprintf(name, sizeof name, "%08ld.nws", fileNumber);
    return name;
}

std::string ArticlePath(const std::string& groupDir, long fileNumber) {
    return groupDir + "/" + ArticleFileName(fileNumber);
}

std::string GroupListPath(const std::string& spoolDir) {
    return spoolDir + "/groups.txt";
}

std::string GroupListTempPath(const std::string& spoolDir) {
    return spoolDir + "/groups.tmp";
}

std::string QueuePath(const std::string& spoolDir, const char* queueName) {
    return spoolDir + "/" + queueName;
}

std::string OutboundPath(const std::string& spoolDir, const std::string& name) {
    return spoolDir + "/out/" + name;
}

std::string RejectedDirectory(const std::string& spoolDir) {
    return OutboundPath(spoolDir, kRejectedName);
}

std::string RecordFileName(const unsigned char* record) {
    const char* name = reinterpret_cast<const char*>(record + kFileNameText);
    return std::string(name, strnlen(name, kFileNameWidth));
}

bool IsSafeArticleName(const std::string& name) {
    if (name.empty() || name == ".") return false;
    if (name.find_first_of("/\\") != std::string::npos) return false;
    return name.find("..") == std::string::npos;
}

void DeleteArticle(const std::string& spoolDir, std::int32_t group, const std::string& name) {
    if (!IsSafeArticleName(name)) return;
    plat::DeleteFile(GroupDirectory(spoolDir, group) + "/" + name);
}

namespace {

// "NG<digits>", blanks allowed after the number; -1 for any other name.
std::int64_t GroupSectionNumber(const std::string& name) {
    if (name.size() < 3 || (name[0] != 'N' && name[0] != 'n') || (name[1] != 'G' && name[1] != 'g'))
        return -1;
    long long value = 0;
    std::size_t at = 2;
    for (; at < name.size() && name[at] >= '0' && name[at] <= '9' && at < 13; ++at)
        value = value * 10 + (name[at] - '0');
    if (at == 2 || name.find_first_not_of(" \t", at) != std::string::npos) return -1;
    return value;
}

std::vector<std::int32_t> GroupSectionNumbers() {
    std::vector<std::int32_t> numbers;
    for (const std::string& name : plat::GetProfileSectionNames(kGroupsFile)) {
        const std::int64_t n = GroupSectionNumber(name);
        if (n >= 0 && n < INT32_MAX) numbers.push_back(static_cast<std::int32_t>(n));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

std::int32_t NextGroupSection(std::int32_t after) {
    // Asked once per group of a cycle: the numbers are read again only when
    // the file's sections may have changed, or a cycle would cost the square
    // of the group count.
    static std::uint64_t seen = 0;
    static std::vector<std::int32_t> numbers;
    const std::uint64_t generation = plat::ProfileSectionsGeneration(kGroupsFile);
    if (generation == 0 || generation != seen) {
        numbers = GroupSectionNumbers();
        seen = generation;
    }
    const auto next = std::upper_bound(numbers.begin(), numbers.end(), after);
    return next == numbers.end() ? INT32_MAX : *next;
}

bool IsSubscribed(std::int32_t group) {
    const std::string name =
        plat::GetProfileString(GroupSection(group), "Name", "NotSubscribed", 256, kGroupsFile);
    return !EqualNoCase(name, "NotSubscribed");
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace spool
