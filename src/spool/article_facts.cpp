// What is known of an article, and the verdict of a group's rules on it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "spool/article_filter.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

// The header section of a stored article is read up to this much; the
// rules see no more of it than of a header block the session collected.
constexpr std::size_t kMaxHeaderBlock = 65536;

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

bool IsOverviewHeader(const std::string& name) {
    static const char* const kFields[] = {"Subject", "From", "Date", "Message-ID", "References",
                                          "Lines"};
    for (const char* field : kFields)
        if (EqualNoCase(name, field)) return true;
    return false;
}

int CountNewsgroups(const std::string& value) {
    int count = 0;
    bool inName = false;
    for (char c : value) {
        if (c == ',') {
            inName = false;
        } else if (!Blank(c) && c != '\r' && c != '\n' && !inName) {
            inName = true;
            ++count;
        }
    }
    return count;
}

bool GroupMatches(const std::string& pattern, const std::string& group) {
    // Iterative, with one step back to the last '*': linear enough for
    // the short names involved, and no recursion.
    std::size_t p = 0, g = 0;
    std::size_t star = std::string::npos, resume = 0;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    while (g < group.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = g;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || lower(pattern[p]) == lower(group[g]))) {
            ++p;
            ++g;
        } else if (star != std::string::npos) {
            p = star + 1;
            g = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool GroupFilter::NeedsHeaders() const {
    for (const FilterRule& rule : rules_) {
        if (rule.kind == FilterRule::Kind::MaxCrossposts) return true;
        if (rule.kind == FilterRule::Kind::Header && !IsOverviewHeader(rule.header)) return true;
    }
    return false;
}

const FilterRule* GroupFilter::Judge(const ArticleFacts& facts) const {
    for (const FilterRule& rule : rules_) {
        switch (rule.kind) {
            case FilterRule::Kind::MaxBytes:
                if (facts.bytes >= 0 && facts.bytes > rule.limit) return &rule;
                break;
            case FilterRule::Kind::MaxCrossposts: {
                if (!facts.allHeaders) break;
                int groups = 0;
                for (const auto& [name, value] : facts.headers)
                    if (EqualNoCase(name, "Newsgroups")) groups += CountNewsgroups(value);
                if (groups > rule.limit) return &rule;
                break;
            }
            case FilterRule::Kind::Header:
                if (!facts.allHeaders && !IsOverviewHeader(rule.header)) break;
                for (const auto& [name, value] : facts.headers) {
                    if (!EqualNoCase(name, rule.header)) continue;
                    if (rule.regex->Search(value.size() > kMaxMatchedValue
                                               ? value.substr(0, kMaxMatchedValue)
                                               : value))
                        return &rule;
                }
                break;
        }
    }
    return nullptr;
}

ArticleFacts FactsFromHeaders(const std::string& block) {
    ArticleFacts facts;
    facts.allHeaders = true;
    std::size_t pos = 0;
    const std::size_t size = std::min(block.size(), kMaxHeaderBlock);
    while (pos < size) {
        std::size_t end = block.find('\n', pos);
        if (end == std::string::npos || end > size) end = size;
        std::size_t stop = end;
        if (stop > pos && block[stop - 1] == '\r') --stop;
        const std::string line = block.substr(pos, stop - pos);
        pos = end + 1;
        if (line.empty()) break;  // the end of the header section
        if (Blank(line[0])) {
            // A continuation of the header before it; none before is junk.
            if (!facts.headers.empty() && facts.headers.back().second.size() < kMaxMatchedValue)
                facts.headers.back().second += line;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) continue;  // no header line
        std::size_t start = colon + 1;
        while (start < line.size() && Blank(line[start])) ++start;
        facts.headers.emplace_back(line.substr(0, colon), line.substr(start));
    }
    return facts;
}

bool FactsFromFile(const std::string& path, ArticleFacts& facts) {
    const int fd = plat::OpenRegular(path, O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    std::string block;
    char buffer[8192];
    // Up to the empty line that ends the headers, or the bound.
    while (block.size() < kMaxHeaderBlock) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        block.append(buffer, static_cast<std::size_t>(n));
        if (block.find("\n\n") != std::string::npos || block.find("\n\r\n") != std::string::npos)
            break;
    }
    close(fd);
    facts = FactsFromHeaders(block);
    facts.bytes = static_cast<std::int64_t>(st.st_size);
    return true;
}

}  // namespace spool
