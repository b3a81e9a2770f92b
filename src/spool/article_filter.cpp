// The filter file: its parser, and the rules that apply to a group.
#include "spool/article_filter.h"

#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

constexpr std::size_t kMaxLine = 8192;
// Limits beyond this are no real sizes; refusing them keeps the text short.
constexpr std::int64_t kMaxLimit = 999999999999999;

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text) {
    std::size_t start = 0;
    std::size_t end = text.size();
    while (start < end && Blank(text[start])) ++start;
    while (end > start && Blank(text[end - 1])) --end;
    return text.substr(start, end - start);
}

// The first word and what follows it, blanks between removed.
void SplitWord(const std::string& text, std::string& word, std::string& rest) {
    std::size_t end = 0;
    while (end < text.size() && !Blank(text[end])) ++end;
    word = text.substr(0, end);
    rest = Trim(text.substr(end));
}

bool ParseLimit(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 15) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= kMaxLimit;
}

// Printable ASCII but the colon (RFC 5322 field names).
bool HeaderName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (c <= ' ' || c > '~' || c == ':') return false;
    return true;
}

bool GroupPattern(const std::string& pattern) {
    if (pattern.empty()) return false;
    for (char c : pattern) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f || c == '[' || c == ']') return false;
    }
    return true;
}

std::string Quoted(const std::string& text) {
    return "\"" + (text.size() > 60 ? text.substr(0, 60) + "..." : text) + "\"";
}

// One rule line (no section, comment or blank); false with why.
bool ParseRule(const std::string& text, int line, FilterRule& rule, std::string& error) {
    std::string keyword, rest;
    SplitWord(text, keyword, rest);
    rule = FilterRule();
    rule.line = line;
    if (EqualNoCase(keyword, "MaxBytes") || EqualNoCase(keyword, "MaxCrossposts")) {
        const bool bytes = EqualNoCase(keyword, "MaxBytes");
        rule.kind = bytes ? FilterRule::Kind::MaxBytes : FilterRule::Kind::MaxCrossposts;
        if (!ParseLimit(rest, rule.limit)) {
            error = std::string(bytes ? "MaxBytes needs a whole number of bytes"
                                      : "MaxCrossposts needs a whole number of groups") +
                    " (0: no limit), not " + Quoted(rest);
            return false;
        }
        return true;
    }
    if (EqualNoCase(keyword, "Header") || EqualNoCase(keyword, "HeaderCase")) {
        rule.kind = FilterRule::Kind::Header;
        rule.caseSensitive = EqualNoCase(keyword, "HeaderCase");
        std::string name, pattern;
        SplitWord(rest, name, pattern);
        if (!name.empty() && name.back() == ':') name.pop_back();
        if (name.empty() || pattern.empty()) {
            error = keyword + " needs a header name and a regular expression";
            return false;
        }
        if (!HeaderName(name)) {
            error = Quoted(name) + " is no header name";
            return false;
        }
        auto regex = std::make_shared<plat::Regex>();
        std::string why;
        if (!regex->Compile(pattern, !rule.caseSensitive, why)) {
            error = "the regular expression " + Quoted(pattern) + " cannot be used: " + why;
            return false;
        }
        rule.header = name;
        rule.regex = std::move(regex);
        return true;
    }
    error = "unknown keyword " + Quoted(keyword) +
            " (the keywords are Header, HeaderCase, MaxBytes and MaxCrossposts)";
    return false;
}

// The limit of that kind among a section's rules; nullptr when it sets none.
const FilterRule* LimitOf(const std::vector<FilterRule>& rules, FilterRule::Kind kind) {
    for (const FilterRule& rule : rules)
        if (rule.kind == kind) return &rule;
    return nullptr;
}

}  // namespace

std::string FilterRule::Describe() const {
    const char* name = kind == Kind::MaxBytes        ? "MaxBytes"
                       : kind == Kind::MaxCrossposts ? "MaxCrossposts"
                                                     : header.c_str();
    return std::string(name) + " (line " + std::to_string(line) + ")";
}

bool FilterRules::Parse(const std::string& text, int& errorLine, std::string& error) {
    sections_.clear();
    std::vector<Section> sections(1, Section{"*", {}});
    std::size_t pos = 0;
    int line = 0;
    while (pos < text.size()) {
        ++line;
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        errorLine = line;
        if (raw.size() > kMaxLine) {
            error = "the line is longer than " + std::to_string(kMaxLine) + " characters";
            return false;
        }
        if (raw.find('\0') != std::string::npos) {
            error = "the line holds a NUL character";
            return false;
        }
        const std::string content = Trim(raw);
        if (content.empty() || content[0] == '#') continue;
        if (content[0] == '[') {
            if (content.back() != ']') {
                error = "a section line must end in ]";
                return false;
            }
            const std::string pattern = Trim(content.substr(1, content.size() - 2));
            if (!GroupPattern(pattern)) {
                error = Quoted(pattern) + " is no group name or pattern";
                return false;
            }
            sections.push_back(Section{pattern, {}});
            continue;
        }
        FilterRule rule;
        if (!ParseRule(content, line, rule, error)) return false;
        if (rule.kind != FilterRule::Kind::Header) {
            // Two limits of one kind in one section: which one was meant?
            const FilterRule* before = LimitOf(sections.back().rules, rule.kind);
            if (before != nullptr) {
                error = std::string(rule.kind == FilterRule::Kind::MaxBytes ? "MaxBytes"
                                                                             : "MaxCrossposts") +
                        " is set twice in this section (line " + std::to_string(before->line) +
                        " too)";
                return false;
            }
        }
        sections.back().rules.push_back(std::move(rule));
    }
    errorLine = 0;
    for (Section& section : sections)
        if (!section.rules.empty()) sections_.push_back(std::move(section));
    return true;
}

GroupFilter FilterRules::ForGroup(const std::string& group) const {
    GroupFilter filter;
    const FilterRule* limits[2] = {nullptr, nullptr};  // MaxBytes, MaxCrossposts
    bool groupSet[2] = {false, false};
    for (const Section& section : sections_) {
        if (!GroupMatches(section.pattern, group)) continue;
        const bool everyGroup = section.pattern == "*";
        for (const FilterRule& rule : section.rules) {
            if (rule.kind == FilterRule::Kind::Header) {
                filter.rules_.push_back(rule);
                continue;
            }
            const int k = rule.kind == FilterRule::Kind::MaxBytes ? 0 : 1;
            // A group's own limit stands against one for every group, wherever
            // in the file either is.
            if (everyGroup && groupSet[k]) continue;
            limits[k] = &rule;
            groupSet[k] = !everyGroup;
        }
    }
    for (const FilterRule* limit : limits)
        if (limit != nullptr && limit->limit > 0) filter.rules_.push_back(*limit);
    // In the order of the file, so that the first rule an article breaks is
    // the one it is counted under, however it is fetched.
    std::vector<FilterRule> ordered;
    ordered.reserve(filter.rules_.size());
    for (const Section& section : sections_)
        for (const FilterRule& rule : section.rules)
            for (const FilterRule& kept : filter.rules_)
                if (kept.line == rule.line && kept.kind == rule.kind) ordered.push_back(kept);
    filter.rules_ = std::move(ordered);
    return filter;
}

bool LoadFilterRules(const std::string& path, bool required, FilterRules& rules,
                     std::string& error) {
    rules = FilterRules();
    std::string text;
    int err = 0;
    if (!plat::ReadSmallFile(path, kMaxFilterFile, text, err)) {
        if (err == ENOENT && !required) return true;
        const std::string why = err == EFBIG    ? "it is larger than 1 MB"
                                : err == EINVAL ? "it is not a regular file"
                                                : std::strerror(err);
        error = "Filter file " + path + " cannot be read: " + why;
        return false;
    }
    int line = 0;
    std::string why;
    if (!rules.Parse(text, line, why)) {
        error = "Filter file " + path + ", line " + std::to_string(line) + ": " + why;
        rules = FilterRules();
        return false;
    }
    return true;
}

}  // namespace spool
