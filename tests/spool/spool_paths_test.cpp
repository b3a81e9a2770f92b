#include "spool/spool_paths.h"

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool_fixture.h"

namespace {

using spooltest::Exists;
using spooltest::WriteBytes;

// The board opens these by name: every byte counts, the case of "NG" too.
TEST(SpoolPathsTest, NamesAsTheBoardOpensThem) {
    const std::string s = "/srv/ng1/spool";
    const struct {
        std::string path, expected;
    } cases[] = {
        {spool::RegistryPath(s), "/srv/ng1/spool/newsys.rc"},
        {spool::RegistryTempPath(s), "/srv/ng1/spool/newsys.tmp"},
        {spool::IndexPath(s, 4), "/srv/ng1/spool/4.grp"},
        {spool::TempIndexPath(s, 12), "/srv/ng1/spool/12.tmp"},
        {spool::NewsDirectory(s), "/srv/ng1/spool/news"},
        {spool::GroupDirectory(s, 5), "/srv/ng1/spool/news/NG5"},
        {spool::ArticlePath(spool::GroupDirectory(s, 3), 7), "/srv/ng1/spool/news/NG3/00000007.nws"},
        {spool::ArticleFileName(99999999), "99999999.nws"},
        {spool::GroupListPath(s), "/srv/ng1/spool/groups.txt"},
        {spool::GroupListTempPath(s), "/srv/ng1/spool/groups.tmp"},
        {spool::QueuePath(s, "out.dat"), "/srv/ng1/spool/out.dat"},
        {spool::OutboundPath(s, "a.txt"), "/srv/ng1/spool/out/a.txt"},
        {spool::RejectedDirectory(s), "/srv/ng1/spool/out/rejected"},
        // Text from the settings and the records is taken as it is.
        {spool::IndexPath("C:\\qiv", 1), "C:\\qiv/1.grp"},
        {spool::OutboundPath(s, "ng4"), "/srv/ng1/spool/out/ng4"},
        {spool::IndexPath(std::string(300, 'd'), 1).substr(300), "/1.grp"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.path, c.expected);
}

class SpoolPathsFiles : public spooltest::SpoolTest {};

// The group directory is made by subscribing and emptied by the expiry
// and by unsubscribing: all of them must reach the one "NG<n>".
TEST_F(SpoolPathsFiles, ArticleDeletedInTheGroupDirectory) {
    MakeArticle(2, 9);
    ASSERT_TRUE(Exists(At("news/NG2/00000009.nws")));
    spool::DeleteArticle(Spool(), 2, "00000009.nws");
    EXPECT_FALSE(Exists(At("news/NG2/00000009.nws")));
    EXPECT_TRUE(plat::RemoveDirectory(spool::GroupDirectory(Spool(), 2)));
}

// The fetch and the expiry walk the sections in number order; what they
// walk must follow the file, whether we wrote it or someone else did.
TEST_F(SpoolPathsFiles, GroupSectionsWalkedInNumberOrderAsTheFileStands) {
    const auto walk = [] {
        std::vector<std::int32_t> seen;
        for (std::int32_t n = spool::NextGroupSection(0); n != INT32_MAX;
             n = spool::NextGroupSection(n))
            seen.push_back(n);
        return seen;
    };
    const std::string ini = std::string(plat::ProfileDir()) + "/qivnews.ini";
    WriteBytes(ini, "[NG7]\r\nName=b\r\n[ ng2 ]\r\nName=a\r\n[NG3x]\r\n[Other]\r\n"
                    "[NG99999999999]\r\n[NG40]\r\n");
    EXPECT_EQ(walk(), (std::vector<std::int32_t>{2, 7, 40}));
    ASSERT_TRUE(plat::WriteProfileString("NG5", "Name", "c", "qivnews.ini"));
    EXPECT_EQ(walk(), (std::vector<std::int32_t>{2, 5, 7, 40}));
    ASSERT_TRUE(plat::DeleteProfileSections({"NG7"}, "qivnews.ini"));
    EXPECT_EQ(walk(), (std::vector<std::int32_t>{2, 5, 40}));
    // Written by someone else: the next walk sees it.
    std::string text = spooltest::ReadBytes(ini);
    text.replace(text.find("[NG40]"), 6, "[NG41]");
    WriteBytes(ini, text);
    EXPECT_EQ(walk(), (std::vector<std::int32_t>{2, 5, 41}));
    std::remove(ini.c_str());
    EXPECT_EQ(spool::NextGroupSection(0), INT32_MAX);
}

}  // namespace
