// Extended regular expressions (POSIX ERE) for the article filters.
//
// The C library's matcher is used rather than std::regex: libstdc++'s
// std::regex recurses once per character of the text and takes exponential
// time on patterns such as "(a|aa)*b", so a hostile header of a few
// kilobytes would hang or crash the gateway. Without back-references the
// C library's matcher needs time polynomial in the text's length; patterns
// with back-references are refused by Compile.
#pragma once

#include <memory>
#include <string>

namespace plat {

class Regex {
public:
    Regex();
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    // False, with the reason in `error`, when the pattern is no extended
    // regular expression or uses a back-reference (\1 to \9).
    bool Compile(const std::string& pattern, bool ignoreCase, std::string& error);
    bool Compiled() const { return compiled_ != nullptr; }
    // Whether the pattern matches anywhere in text (which may hold NULs;
    // they end nothing). False when nothing has been compiled.
    bool Search(const std::string& text) const;

private:
    struct Impl;
    std::unique_ptr<Impl> compiled_;
};

}  // namespace plat
