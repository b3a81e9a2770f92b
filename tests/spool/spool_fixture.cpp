#include "spool_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/profile.h"

namespace spooltest {

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void SpoolTest::SetUp() {
    char templ[] = "/tmp/spooltest.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    root_ = templ;
    spool_ = root_ + "/spool";
    ASSERT_EQ(::mkdir(spool_.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((spool_ + "/news").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root_ + "/profile").c_str(), 0700), 0);
    plat::SetProfileDir(root_ + "/profile");
    SetToday(1997, 3, 10);
}

void SpoolTest::TearDown() {
    plat::SetClockForTests(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void SpoolTest::SetToday(int year, int month, int day, int hour, int minute) {
    const plat::LocalTime now{year, month, day, hour, minute};
    plat::SetClockForTests([now] { return now; });
}

std::string SpoolTest::Record(std::int32_t group, std::int32_t fileNumber, int year, int month,
                              int day, const std::string& subject) const {
    spool::ArticleHeaders headers;
    headers.from = "someone@example.org";
    headers.subject = subject;
    headers.articleNumber = fileNumber + 1000;
    const spool::ArticleIndexRecord r =
        spool::BuildArticleIndexRecord(headers, group, fileNumber, {year, month, day, 9, 30});
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

std::string SpoolTest::ArticlePath(std::int32_t group, std::int32_t fileNumber) const {
    char name[64];
    std::snprintf(name, sizeof name, "/news/NG%d/%08d.nws", group, fileNumber);
    return spool_ + name;
}

void SpoolTest::MakeArticle(std::int32_t group, std::int32_t fileNumber) const {
    ::mkdir((spool_ + "/news/NG" + std::to_string(group)).c_str(), 0700);
    WriteBytes(ArticlePath(group, fileNumber), "From: a@b\r\nSubject: s\r\n\r\nbody\r\n");
}

}  // namespace spooltest
