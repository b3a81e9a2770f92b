#include "spool/spool_paths.h"

#include <climits>
#include <cstdio>
#include <cstring>

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

std::int32_t NextGroupSection(std::int32_t after) {
    std::int32_t next = INT32_MAX;
    plat::TextReader ini;
    if (!ini.Open(plat::ProfilePath(kGroupsFile))) return next;
    std::string line;
    while (ini.ReadLine(line)) {
        const std::size_t open = line.find_first_not_of(" \t");
        if (open == std::string::npos || line[open] != '[') continue;
        std::size_t at = line.find_first_not_of(" \t", open + 1);
        if (at == std::string::npos || line.size() < at + 3) continue;
        if ((line[at] != 'N' && line[at] != 'n') || (line[at + 1] != 'G' && line[at + 1] != 'g'))
            continue;
        at += 2;
        long long value = 0;
        std::size_t digits = 0;
        for (; at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 11;
             ++at, ++digits)
            value = value * 10 + (line[at] - '0');
        const std::size_t close = line.find_first_not_of(" \t", at);
        if (digits == 0 || close == std::string::npos || line[close] != ']') continue;
        if (value > after && value < next) next = static_cast<std::int32_t>(value);
    }
    return next;
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
