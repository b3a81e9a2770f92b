// Paths and names shared by the registry, the index and the expiry.
#pragma once

#include <cstdint>
#include <string>

namespace spool {

std::string GroupSection(std::int32_t group);                                // "NG<n>"
std::string IndexPath(const std::string& spoolDir, std::int32_t group);      // <n>.grp
std::string TempIndexPath(const std::string& spoolDir, std::int32_t group);  // <n>.tmp
std::string GroupDirectory(const std::string& spoolDir, std::int32_t group);

// The article file name a record holds (the 12 bytes at its file name
// offset, up to a zero byte).
std::string RecordFileName(const unsigned char* record);
// A record's file name comes from a file the board writes too: only a
// plain name inside the group directory may be deleted.
bool IsSafeArticleName(const std::string& name);
// Deletes the named article of the group when the name is safe.
void DeleteArticle(const std::string& spoolDir, std::int32_t group, const std::string& name);

// The lowest group number above `after` that has an "NG<n>" section in
// qivnews.ini; INT32_MAX when there is none. Walking the groups this way
// costs per section, not per number below the counter.
std::int32_t NextGroupSection(std::int32_t after);

// True when the section names a subscribed group.
bool IsSubscribed(std::int32_t group);

bool EqualNoCase(const std::string& a, const std::string& b);

}  // namespace spool
