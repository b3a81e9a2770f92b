#include "platform/regex.h"

#ifdef _WIN32
// No POSIX matcher in the Windows C library: std::regex's ERE grammar, whose
// worst cases are exponential (see regex.h); texts are cut to kMaxText.
#include <regex>
#else
#include <regex.h>
#endif

namespace plat {

#ifdef _WIN32
struct Regex::Impl {
    std::regex regex;
};
constexpr std::size_t kMaxText = 4096;
#else
struct Regex::Impl {
    regex_t regex;
    bool made = false;  // regcomp succeeded: there is something to free
    ~Impl() {
        if (made) regfree(&regex);
    }
};
#endif

Regex::Regex() = default;
Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

namespace {

// A backslash and a digit 1-9 outside a bracket expression. Inside one the
// backslash is an ordinary character in ERE, so "[\1]" is no reference.
bool HasBackReference(const std::string& pattern) {
    bool bracket = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (bracket) {
            // "[]a]" and "[^]a]": a ']' first in the list is a member.
            if (c == ']' && !(i > 0 && (pattern[i - 1] == '[' ||
                                        (pattern[i - 1] == '^' && i > 1 && pattern[i - 2] == '['))))
                bracket = false;
            else if (c == '[' && i + 1 < pattern.size() &&
                     (pattern[i + 1] == ':' || pattern[i + 1] == '.' || pattern[i + 1] == '=')) {
                // A class such as "[:alpha:]" ends at its own ":]".
                const std::size_t end = pattern.find(std::string(1, pattern[i + 1]) + "]", i + 2);
                if (end != std::string::npos) i = end + 1;
            }
            continue;
        }
        if (c == '[') {
            bracket = true;
        } else if (c == '\\' && i + 1 < pattern.size()) {
            if (pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return true;
            ++i;
        }
    }
    return false;
}

}  // namespace

bool Regex::Compile(const std::string& pattern, bool ignoreCase, std::string& error) {
    compiled_.reset();
    if (pattern.find('\0') != std::string::npos) {
        error = "it holds a NUL character";
        return false;
    }
    if (HasBackReference(pattern)) {
        error = "back-references (\\1 to \\9) are not allowed: they can take exponential time";
        return false;
    }
    auto compiled = std::make_unique<Impl>();
#ifdef _WIN32
    try {
        auto flags = std::regex::extended | std::regex::nosubs;
        if (ignoreCase) flags |= std::regex::icase;
        compiled->regex = std::regex(pattern, flags);
    } catch (const std::regex_error& e) {
        error = e.what();
        return false;
    }
#else
    const int flags = REG_EXTENDED | REG_NOSUB | (ignoreCase ? REG_ICASE : 0);
    const int code = regcomp(&compiled->regex, pattern.c_str(), flags);
    if (code != 0) {
        char text[256];
        regerror(code, &compiled->regex, text, sizeof text);
        error = text;
        return false;
    }
    compiled->made = true;
#endif
    compiled_ = std::move(compiled);
    return true;
}

bool Regex::Search(const std::string& text) const {
    if (compiled_ == nullptr) return false;
#ifdef _WIN32
    const std::size_t length = text.size() < kMaxText ? text.size() : kMaxText;
    try {
        return std::regex_search(text.begin(), text.begin() + static_cast<long>(length),
                                 compiled_->regex);
    } catch (const std::regex_error&) {
        return false;  // too complex for the matcher's limits
    }
#else
    // REG_STARTEND: the text's length, not a NUL, ends it.
    regmatch_t range[1];
    range[0].rm_so = 0;
    range[0].rm_eo = static_cast<regoff_t>(text.size());
    return regexec(&compiled_->regex, text.c_str(), 1, range, REG_STARTEND) == 0;
#endif
}

}  // namespace plat
