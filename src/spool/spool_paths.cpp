#include "spool/spool_paths.h"

#include <climits>
#include <cstring>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool/index_record.h"
#include "spool/spool_context.h"

namespace spool {

std::string GroupSection(std::int32_t group) {
    return "NG" + std::to_string(group);
}

std::string IndexPath(const std::string& spoolDir, std::int32_t group) {
    return plat::FormatPath("%s\\%d.grp", spoolDir.c_str(), static_cast<int>(group));
}

std::string TempIndexPath(const std::string& spoolDir, std::int32_t group) {
    return plat::FormatPath("%s\\%d.tmp", spoolDir.c_str(), static_cast<int>(group));
}

std::string GroupDirectory(const std::string& spoolDir, std::int32_t group) {
    return plat::FormatPath("%s\\news\\NG%ld", spoolDir.c_str(), static_cast<long>(group));
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
    // The files layer makes "ng<n>" reach the "NG<n>" directory.
    plat::DeleteFile(plat::FormatPath("%s\\news\\ng%ld\\%s", spoolDir.c_str(),
                                      static_cast<long>(group), name.c_str()));
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
