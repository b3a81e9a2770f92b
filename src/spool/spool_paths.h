// Every file and directory of the spool, by the name it has on disk. The
// board opens these by the same names, so each byte of them (the case
// too: a group directory is "NG<n>") is part of its interface.
#pragma once

#include <cstdint>
#include <string>

namespace spool {

std::string GroupSection(std::int32_t group);                                // "NG<n>"
std::string RegistryPath(const std::string& spoolDir);                       // newsys.rc
std::string RegistryTempPath(const std::string& spoolDir);                   // newsys.tmp
std::string IndexPath(const std::string& spoolDir, std::int32_t group);      // <n>.grp
std::string TempIndexPath(const std::string& spoolDir, std::int32_t group);  // <n>.tmp
std::string NewsDirectory(const std::string& spoolDir);                      // news
std::string GroupDirectory(const std::string& spoolDir, std::int32_t group);  // news/NG<n>
// The longest group name: what the board's files and the Select Group
// dialog hold.
inline constexpr std::size_t kMaxGroupName = 255;

// "%08ld.nws": the name an article gets, and its path in a group directory.
std::string ArticleFileName(long fileNumber);
std::string ArticlePath(const std::string& groupDir, long fileNumber);
std::string GroupListPath(const std::string& spoolDir);      // groups.txt
std::string GroupListTempPath(const std::string& spoolDir);  // groups.tmp
// The outbound side: a queue file by its bare name (out.dat, ...), the
// out directory and its files, and where refused articles are put.
std::string QueuePath(const std::string& spoolDir, const char* queueName);
std::string OutboundPath(const std::string& spoolDir, const std::string& name);  // out/<name>
inline constexpr char kRejectedName[] = "rejected";
std::string RejectedDirectory(const std::string& spoolDir);  // out/rejected

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
