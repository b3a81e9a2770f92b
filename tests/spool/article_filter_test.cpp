// The filter file's parser and the verdicts of its rules.
#include "spool/article_filter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "spool_fixture.h"

namespace {

using spool::ArticleFacts;
using spool::FilterRule;
using spool::FilterRules;
using spool::GroupFilter;

FilterRules MustParse(const std::string& text) {
    FilterRules rules;
    int line = -1;
    std::string error;
    EXPECT_TRUE(rules.Parse(text, line, error)) << "line " << line << ": " << error;
    return rules;
}

ArticleFacts Headers(const std::string& block, std::int64_t bytes = -1) {
    ArticleFacts facts = spool::FactsFromHeaders(block);
    facts.bytes = bytes;
    return facts;
}

// "" when kept, else the rule that filtered it.
std::string Verdict(const GroupFilter& filter, const ArticleFacts& facts) {
    const FilterRule* rule = filter.Judge(facts);
    return rule == nullptr ? "" : rule->Describe();
}

TEST(FilterParse, BrokenFilesNameTheLineAndTheReason) {
    struct Case {
        std::string text;
        int line;
        const char* reason;  // the start of it
    };
    const Case cases[] = {
        {"Hedaer Subject x\n", 1, "unknown keyword \"Hedaer\""},
        {"# c\n\nMaxBytes ten\n", 3, "MaxBytes needs a whole number of bytes (0: no limit), not \"ten\""},
        {"MaxBytes -1\n", 1, "MaxBytes needs a whole number"},
        {"MaxBytes 12k\n", 1, "MaxBytes needs a whole number"},
        {"MaxBytes\n", 1, "MaxBytes needs a whole number"},
        {"MaxBytes 9999999999999999\n", 1, "MaxBytes needs a whole number"},
        {"MaxCrossposts 2.5\n", 1, "MaxCrossposts needs a whole number of groups"},
        {"Header Subject\n", 1, "Header needs a header name and a regular expression"},
        {"HeaderCase\n", 1, "HeaderCase needs a header name"},
        {"Header Sub\x01ject x\n", 1, "\"Sub\x01ject\" is no header name"},
        {"Header : x\n", 1, "Header needs a header name"},
        {"Header Subject (unclosed\n", 1, "the regular expression \"(unclosed\" cannot be used: "},
        {"Header Subject a[b\n", 1, "the regular expression \"a[b\" cannot be used"},
        {"Header Subject (a*)\\1\n", 1, "the regular expression \"(a*)\\1\" cannot be used: back-references"},
        {"[comp.lang.c\nMaxBytes 1\n", 1, "a section line must end in ]"},
        {"MaxBytes 1\n[ ]\n", 2, "\"\" is no group name or pattern"},
        {"[a b]\n", 1, "\"a b\" is no group name or pattern"},
        {"MaxBytes 1\nMaxBytes 2\n", 2, "MaxBytes is set twice in this section (line 1 too)"},
        {"[g]\nMaxCrossposts 1\n[h]\n[g]\nMaxCrossposts 1\nMaxCrossposts 3\n", 6,
         "MaxCrossposts is set twice"},
        {"MaxBytes 1\r\nbad\r\n", 2, "unknown keyword \"bad\""},
        {"MaxBytes 1\n" + std::string(9000, '#') + "\n", 2,
         "the line is longer than 8192 characters"},
    };
    for (const Case& c : cases) {
        FilterRules rules;
        int line = 0;
        std::string error;
        const bool parsed = rules.Parse(c.text, line, error);
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(parsed);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
        EXPECT_TRUE(rules.Empty());
    }
    FilterRules rules;
    int line = 0;
    std::string error;
    EXPECT_FALSE(rules.Parse(std::string("MaxBytes 1\nHeader S x\0y\n", 25), line, error));
    EXPECT_EQ(line, 2);
    EXPECT_EQ(error, "the line holds a NUL character");
}

TEST(FilterParse, CommentsBlanksKeywordCaseAndColonsAreAccepted) {
    const FilterRules rules = MustParse(
        "# every group\n"
        "   \t\n"
        "  maxbytes   5000  \r\n"
        "HEADER Subject:   make .* fast  \n"
        "headercase X-Tag ^SPAM$\n"
        "[ comp.lang.c ]\n"
        "MAXCROSSPOSTS 2\n");
    const GroupFilter filter = rules.ForGroup("comp.lang.c");
    ASSERT_EQ(filter.Rules().size(), 4u);
    EXPECT_EQ(filter.Rules()[0].Describe(), "MaxBytes (line 3)");
    EXPECT_EQ(filter.Rules()[1].Describe(), "Subject (line 4)");
    EXPECT_FALSE(filter.Rules()[1].caseSensitive);
    EXPECT_TRUE(filter.Rules()[2].caseSensitive);
    EXPECT_EQ(filter.Rules()[3].Describe(), "MaxCrossposts (line 7)");
    // The pattern is what follows the name, inner blanks kept.
    EXPECT_EQ(Verdict(filter, Headers("Subject: make money fast\n")), "Subject (line 4)");
    EXPECT_EQ(Verdict(filter, Headers("Subject: makemoneyfast\n")), "");
    EXPECT_TRUE(MustParse("# only comments\n\n").Empty());
    EXPECT_TRUE(MustParse("").Empty());
}

TEST(FilterRules, GlobalAndGroupSectionsCombine) {
    const FilterRules rules = MustParse(
        "MaxBytes 1000\n"                   // 1
        "Header Subject spam\n"             // 2
        "[alt.binaries.*]\n"                // 3
        "MaxBytes 0\n"                      // 4: no limit for these
        "Header From @binaries\\.example\n"  // 5
        "[comp.lang.c]\n"                   // 6
        "MaxBytes 200\n"                    // 7
        "[*]\n"                             // 8
        "MaxCrossposts 3\n"                 // 9
        "MaxBytes 5000\n"                   // 10: for every group; comp.lang.c keeps 200
        "[COMP.LANG.C]\n"                   // 11
        "Header Subject ^\\[OT\\]\n");      // 12
    struct Case {
        const char* group;
        std::vector<std::string> rules;
    };
    const Case cases[] = {
        {"misc.test", {"Subject (line 2)", "MaxCrossposts (line 9)", "MaxBytes (line 10)"}},
        {"alt.binaries.pictures",
         {"Subject (line 2)", "From (line 5)", "MaxCrossposts (line 9)"}},
        {"comp.lang.c",
         {"Subject (line 2)", "MaxBytes (line 7)", "MaxCrossposts (line 9)", "Subject (line 12)"}},
        {"comp.lang.c++", {"Subject (line 2)", "MaxCrossposts (line 9)", "MaxBytes (line 10)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        std::vector<std::string> got;
        const GroupFilter filter = rules.ForGroup(c.group);
        for (const FilterRule& rule : filter.Rules()) got.push_back(rule.Describe());
        EXPECT_EQ(got, c.rules);
    }
}

TEST(FilterRules, GroupPatterns) {
    struct Case {
        const char* pattern;
        const char* group;
        bool matches;
    };
    const Case cases[] = {
        {"*", "a.b", true},           {"comp.*", "comp.lang.c", true},
        {"comp.*", "comp", false},    {"comp.lang.?", "comp.lang.c", true},
        {"comp.lang.?", "comp.lang.cc", false}, {"*.test", "qiv.test", true},
        {"*.test", "qiv.test.plain", false},    {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYcZ", false},   {"Comp.Lang.C", "comp.lang.c", true},
        {"comp.lang.c", "comp.lang.c++", false}, {"**", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(spool::GroupMatches(c.pattern, c.group), c.matches)
            << c.pattern << " " << c.group;
}

TEST(FilterVerdict, EachRuleKindOnWhatIsKnown) {
    const GroupFilter filter = MustParse(
                                   "Header Subject money\n"            // 1
                                   "HeaderCase X-Tag ^SPAM$\n"         // 2
                                   "Header Content-Type ^multipart/\n"  // 3
                                   "MaxCrossposts 2\n"                  // 4
                                   "MaxBytes 100\n")                    // 5
                                   .ForGroup("g");
    ArticleFacts overview;  // an overview line: no Newsgroups, no X-Tag
    overview.headers = {{"Subject", "make MONEY"}};
    overview.bytes = 50;
    ArticleFacts bigOverview;
    bigOverview.headers = {{"Subject", "fine"}, {"X-Tag", "SPAM"}};
    bigOverview.bytes = 101;
    struct Case {
        const char* what;
        ArticleFacts facts;
        const char* verdict;
    };
    const Case cases[] = {
        {"nothing matches", Headers("Subject: hello\nNewsgroups: a,b\n", 100), ""},
        {"regex, case ignored", Headers("Subject: Make Money Fast\n"), "Subject (line 1)"},
        {"header name case ignored", Headers("SUBJECT: money\n"), "Subject (line 1)"},
        {"HeaderCase: case counts", Headers("X-Tag: spam\n"), ""},
        {"HeaderCase matches", Headers("X-Tag: SPAM\n"), "X-Tag (line 2)"},
        {"a second header of the name", Headers("Content-Type: text/plain\nContent-Type: multipart/mixed\n"),
         "Content-Type (line 3)"},
        {"folded value", Headers("Subject: free\n\tmoney\nFrom: x\n"), "Subject (line 1)"},
        {"a missing header matches nothing", Headers("From: a@b\n"), ""},
        {"crossposts at the limit", Headers("Newsgroups: a.b, c.d\n"), ""},
        {"crossposts over it", Headers("Newsgroups: a.b,c.d ,e.f\n"), "MaxCrossposts (line 4)"},
        {"empty entries do not count", Headers("Newsgroups: a.b,,c.d,\n"), ""},
        {"size at the limit", Headers("Subject: x\n", 100), ""},
        {"size over it", Headers("Subject: x\n", 101), "MaxBytes (line 5)"},
        {"size unknown", Headers("Subject: x\n", -1), ""},
        {"the first rule broken counts", Headers("Newsgroups: a,b,c\nSubject: money\n", 500),
         "Subject (line 1)"},
        {"overview: its fields decide", overview, "Subject (line 1)"},
        // Outside the overview's fields nothing is decided: X-Tag is not
        // one, so the size decides.
        {"overview: other headers wait", bigOverview, "MaxBytes (line 5)"},
        {"headers end at the empty line", Headers("From: x\n\nSubject: money\n"), ""},
        {"CR LF line ends", Headers("From: x\r\nSubject: money\r\n\r\n"), "Subject (line 1)"},
    };
    for (const Case& c : cases) EXPECT_EQ(Verdict(filter, c.facts), c.verdict) << c.what;
    EXPECT_TRUE(filter.NeedsHeaders());
    EXPECT_FALSE(MustParse("Header Subject x\nHeader message-id y\nMaxBytes 3\n")
                     .ForGroup("g")
                     .NeedsHeaders());
    EXPECT_TRUE(MustParse("MaxCrossposts 3\n").ForGroup("g").NeedsHeaders());
}

TEST(FilterVerdict, HostileHeadersAreMatchedInBoundedTime) {
    // Patterns that backtrack badly, on long values: only the first
    // kMaxMatchedValue characters are looked at, and the matcher does not
    // recurse per character.
    const GroupFilter filter =
        MustParse("Header Subject (a|aa)*b\nHeader Subject (.*a){12}b\nHeader From ^(a+)+$\n")
            .ForGroup("g");
    const std::string value(1 << 20, 'a');
    const auto start = std::chrono::steady_clock::now();
    const ArticleFacts facts = Headers("Subject: " + value + "!\nFrom: " + value + "b\n");
    EXPECT_EQ(Verdict(filter, facts), "");
    // A match beyond the bound is not seen.
    EXPECT_EQ(Verdict(MustParse("Header Subject zz\n").ForGroup("g"),
                      Headers("Subject: " + std::string(5000, 'x') + "zz\n")),
              "");
    EXPECT_EQ(Verdict(MustParse("Header Subject zz\n").ForGroup("g"),
                      Headers("Subject: " + std::string(4000, 'x') + "zz\n")),
              "Subject (line 1)");
    // Generous: the point is seconds against hours.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(FilterVerdict, NulInAHeaderDoesNotEndIt) {
    const GroupFilter filter = MustParse("Header Subject money\n").ForGroup("g");
    EXPECT_EQ(Verdict(filter, Headers(std::string("Subject: free\0money\n", 20))),
              "Subject (line 1)");
}

class FilterFileTest : public spooltest::SpoolTest {};

TEST_F(FilterFileTest, LoadingReportsTheFileAndLine) {
    FilterRules rules;
    std::string error;
    const std::string path = At("filters.conf");
    // Missing: no rules unless the file was named.
    EXPECT_TRUE(spool::LoadFilterRules(path, false, rules, error));
    EXPECT_TRUE(rules.Empty());
    EXPECT_FALSE(spool::LoadFilterRules(path, true, rules, error));
    EXPECT_EQ(error, "Filter file " + path + " cannot be read: No such file or directory");

    spooltest::WriteBytes(path, "MaxBytes 10\nMaxCrossposts x\n");
    EXPECT_FALSE(spool::LoadFilterRules(path, false, rules, error));
    EXPECT_EQ(error, "Filter file " + path +
                         ", line 2: MaxCrossposts needs a whole number of groups (0: no limit), "
                         "not \"x\"");
    EXPECT_TRUE(rules.Empty());

    spooltest::WriteBytes(path, "MaxBytes 10\n");
    EXPECT_TRUE(spool::LoadFilterRules(path, false, rules, error));
    EXPECT_EQ(rules.ForGroup("g").Rules().size(), 1u);

    const std::string dir = At("news");  // a directory where the file should be
    EXPECT_FALSE(spool::LoadFilterRules(dir, false, rules, error));
    EXPECT_EQ(error, "Filter file " + dir + " cannot be read: it is not a regular file");
    EXPECT_TRUE(rules.Empty());

    spooltest::WriteBytes(path, std::string(spool::kMaxFilterFile + 1, '#'));
    EXPECT_FALSE(spool::LoadFilterRules(path, false, rules, error));
    EXPECT_EQ(error, "Filter file " + path + " cannot be read: it is larger than 1 MB");
}

TEST_F(FilterFileTest, StoredArticleFactsAreItsHeadersAndSize) {
    const std::string path = At("a.nws");
    const std::string text =
        "From: a@b\r\nSubject: one\r\n two\r\nNewsgroups: x,y\r\n\r\nSubject: body\r\n";
    spooltest::WriteBytes(path, text);
    ArticleFacts facts;
    ASSERT_TRUE(spool::FactsFromFile(path, facts));
    EXPECT_EQ(facts.bytes, static_cast<std::int64_t>(text.size()));
    EXPECT_TRUE(facts.allHeaders);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"From", "a@b"}, {"Subject", "one two"}, {"Newsgroups", "x,y"}};
    EXPECT_EQ(facts.headers, expected);
    EXPECT_FALSE(spool::FactsFromFile(At("missing.nws"), facts));
}

}  // namespace
