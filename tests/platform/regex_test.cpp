// The extended regular expressions of the filters, one table for both
// builds: the C library's matcher on Linux, the program's own on Windows
// (platform/win/regex_win.cpp) must agree on every row.
#include "platform/regex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SearchCase {
    const char* pattern;
    bool ignoreCase;
    std::string text;
    bool found;
};

TEST(Regex, SearchesLikeExtendedRegularExpressions) {
    const SearchCase cases[] = {
        {"money", false, "free money now", true},
        {"money", false, "free mon ey", false},
        {"^free", false, "free money", true},
        {"^money", false, "free money", false},
        {"now$", false, "free money now", true},
        {"free$", false, "free money", false},
        {"^$", false, "", true},
        {"", false, "anything", true},
        {"a.c", false, "abc", true},
        {"a.c", false, "ac", false},
        {"cat|dog", false, "hotdog", true},
        {"cat|dog", false, "bird", false},
        {"^(cat|dog)s$", false, "dogs", true},
        {"^(cat|dog)s$", false, "cows", false},
        {"ab*c", false, "ac", true},
        {"ab+c", false, "ac", false},
        {"ab+c", false, "abbbc", true},
        {"^ab?c$", false, "abbc", false},
        {"^a{3}$", false, "aaa", true},
        {"^a{3}$", false, "aaaa", false},
        {"^a{2,}$", false, "aaaaa", true},
        {"^a{2,3}$", false, "a", false},
        {"^(ab){2}$", false, "abab", true},
        {"[0-9]+ USD", false, "pay 100 USD", true},
        {"[^a-z]", false, "lower", false},
        {"[^a-z]", false, "lowEr", true},
        {"[]x]", false, "a]b", true},
        {"[[:digit:]][[:upper:]]", false, "x9Zy", true},
        {"[[:space:]]", false, "nospace", false},
        {"a\\.b", false, "axb", false},
        {"a\\.b", false, "a.b", true},
        {"\\$5", false, "costs $5", true},
        {"MONEY", true, "free money", true},
        {"[A-C]x", true, "bX", true},
        {"MONEY", false, "free money", false},
        {"(a|aa)*b", false, std::string(3000, 'a'), false},
        {"(.*a){12}b", false, std::string(3000, 'a') + "b", true},
        {"caf\xe9", false, "un caf\xe9 noir", true},
        {"y$", false, std::string("x\0y", 3), true},
    };
    for (const SearchCase& c : cases) {
        plat::Regex re;
        std::string error;
        ASSERT_TRUE(re.Compile(c.pattern, c.ignoreCase, error)) << c.pattern << ": " << error;
        EXPECT_EQ(re.Search(c.text), c.found) << c.pattern << " on " << c.text.substr(0, 40);
    }
}

TEST(Regex, RefusesWhatIsNoExtendedExpression) {
    const char* bad[] = {"(unclosed", "[unclosed", "trailing\\", "a{2,1}", "(a)\\1", "*start",
                         "[[:nosuch:]]"};
    for (const char* pattern : bad) {
        plat::Regex re;
        std::string error;
        EXPECT_FALSE(re.Compile(pattern, false, error)) << pattern;
        EXPECT_FALSE(error.empty()) << pattern;
        EXPECT_FALSE(re.Compiled()) << pattern;
        EXPECT_FALSE(re.Search("anything")) << pattern;
    }
}

}  // namespace
