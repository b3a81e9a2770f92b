// Article filters: the rules of the sysop's filter file, and the verdict
// they give on an article from what is known of it (its overview line, its
// headers, or the whole article once it has arrived).
//
// The file, line by line (blank lines and lines starting with '#' are
// skipped; keywords are matched without regard to case):
//
//   MaxBytes 100000              articles larger than this are not kept
//   MaxCrossposts 5              nor ones whose Newsgroups names more groups
//   Header Subject make.*money   nor ones with a header matching the ERE
//   HeaderCase X-Tag ^SPAM$      the same, letter case counting
//   [comp.lang.c]                what follows applies to this group only
//   [alt.binaries.*]             or to the groups matching the pattern
//   [*]                          or to every group again
//
// Rules before the first section apply to every group. Header rules of
// every section that applies add up; a group section's MaxBytes or
// MaxCrossposts replaces the one for every group (0: no limit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/regex.h"

namespace spool {

// A header value is matched by its first this many characters, so that a
// hostile header cannot make one match take long.
constexpr std::size_t kMaxMatchedValue = 4096;
// A filter file longer than this is refused.
constexpr std::size_t kMaxFilterFile = 1 << 20;

struct FilterRule {
    enum class Kind { Header, MaxBytes, MaxCrossposts };
    Kind kind = Kind::Header;
    int line = 0;        // where it stands in the file
    std::string header;  // Header: the name, without the colon
    bool caseSensitive = false;
    std::shared_ptr<const plat::Regex> regex;
    std::int64_t limit = 0;  // MaxBytes, MaxCrossposts
    // How the log names it: "Subject (line 3)", "MaxBytes (line 5)".
    std::string Describe() const;
};

// What is known of an article when it is judged.
struct ArticleFacts {
    // Header lines in order: name without the colon, value with its
    // continuation lines joined.
    std::vector<std::pair<std::string, std::string>> headers;
    // headers is the whole header section (HEAD, the article itself); when
    // false it holds only the overview's fields.
    bool allHeaders = false;
    std::int64_t bytes = -1;  // the article's size; -1: not known
};

// Headers an overview line carries (RFC 3977 8.4): Subject, From, Date,
// Message-ID, References, Lines.
bool IsOverviewHeader(const std::string& name);
// The groups a Newsgroups value names (comma-separated, blanks ignored).
int CountNewsgroups(const std::string& value);

// The rules that apply to one group, in the order of the file.
class GroupFilter {
public:
    bool Empty() const { return rules_.empty(); }
    // Some rule looks at headers beyond the overview's (MaxCrossposts reads
    // Newsgroups): HEAD decides them before the article is fetched.
    bool NeedsHeaders() const;
    // The first rule the facts show the article breaks; nullptr when none
    // does as far as the facts go. A rule the facts cannot decide (a
    // header missing from an overview, an unknown size) is passed over.
    const FilterRule* Judge(const ArticleFacts& facts) const;
    const std::vector<FilterRule>& Rules() const { return rules_; }
    // The position of a rule in Rules(), for counting by rule.
    std::size_t IndexOf(const FilterRule* rule) const {
        return static_cast<std::size_t>(rule - rules_.data());
    }

private:
    friend class FilterRules;
    std::vector<FilterRule> rules_;
};

class FilterRules {
public:
    // Replaces the rules with those of text. False on the first line that
    // is not a rule, with its number (from 1) and why.
    bool Parse(const std::string& text, int& errorLine, std::string& error);
    bool Empty() const { return sections_.empty(); }
    GroupFilter ForGroup(const std::string& group) const;

private:
    struct Section {
        std::string pattern;  // "*" for every group
        std::vector<FilterRule> rules;
    };
    std::vector<Section> sections_;
};

// Reads and parses the filter file. A missing file means no rules unless
// `required` (the sysop named it). False with one line for the log, naming
// the file and, for a rule, its line.
bool LoadFilterRules(const std::string& path, bool required, FilterRules& rules,
                     std::string& error);

// The facts a header block gives (lines ending in LF or CR LF, up to the
// first empty line). allHeaders is set.
ArticleFacts FactsFromHeaders(const std::string& block);
// The facts of a stored article: its headers and its size on disk. False
// when the file cannot be read.
bool FactsFromFile(const std::string& path, ArticleFacts& facts);
// Whether a group name matches a section pattern ('*' any run, '?' one
// character, letter case ignored).
bool GroupMatches(const std::string& pattern, const std::string& group);

}  // namespace spool
