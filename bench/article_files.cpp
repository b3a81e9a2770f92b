// The file work a fetch cycle does per article, without the network: what
// it costs on the disk at hand sets a lower bound on the cycle beside the
// bare exchange that bench_once_fetch calls the floor.
//
//   bench_article_files [articles]          (default 3000)
//   TMPDIR=/dev/shm bench_article_files     (tmpfs)
//
// Per article, in the cycle's order: the article file written in text mode
// (about 3.3 KB), its From and Subject read back, one record appended to
// the group's index, then LastFileNumIn in qiv.ini and Index in
// qivnews.ini, each an atomic rewrite. Also timed alone: creating the
// article files only, and the two profile writes only, with qivnews.ini
// holding one group and holding 3000 (the counter then in the middle one).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/spool_paths.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ArticleText(long number) {
    std::string text = "From: Bench Poster <bench" + std::to_string(number) +
                       "@qiv.test>\nNewsgroups: bench.group\nSubject: Bench article " +
                       std::to_string(number) + "\nMessage-ID: <" + std::to_string(number) +
                       "@bench.group>\nPath: qiv-bench!not-for-mail\n\n";
    for (int line = 1; text.size() < 3300; ++line)
        text += "Line " + std::to_string(line) + " the quick brown fox jumps over the lazy dog\n";
    return text;
}

struct Dirs {
    std::string profile;
    std::string spool;
    std::string articles;
};

Dirs Fresh(const std::string& base, const char* name) {
    Dirs d{base + "/" + name + "/profile", base + "/" + name + "/spool", ""};
    d.articles = d.spool + "/news/NG1";
    std::filesystem::create_directories(d.profile);
    std::filesystem::create_directories(d.articles);
    plat::SetProfileDir(d.profile);
    plat::WriteProfileString("QIVNEWS", "NNTPServer", "127.0.0.1", "qiv.ini");
    plat::WriteProfileString("QIVNEWS", "QivNewsDir", d.spool, "qiv.ini");
    plat::WriteProfileString("QIVNEWS", "LastFileNumIn", "1", "qiv.ini");
    plat::WriteProfileString("NG1", "Name", "bench.group", "qivnews.ini");
    return d;
}

// Fresh, with qivnews.ini holding groups sections; the section whose Index
// the articles count.
std::string FreshGroups(const std::string& base, const std::string& name, int groups) {
    Fresh(base, name.c_str());
    std::string text;
    for (int g = 1; g <= groups; ++g)
        text += "[NG" + std::to_string(g) + "]\r\nName=bench.group" + std::to_string(g) +
                "\r\nIndex=1\r\n";
    plat::WriteProfileString("NG1", "Index", "1", "qivnews.ini");  // the file exists
    FILE* f = std::fopen(plat::ProfilePath("qivnews.ini").c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr) std::fclose(f);
    return ok ? "NG" + std::to_string(groups / 2 + 1) : std::string();
}

bool WriteArticle(const Dirs& d, long number, const std::string& text, std::string& path) {
    path = spool::ArticlePath(d.articles, number);
    plat::TextWriter out;
    return out.Open(path, "w") && out.Write(text) && out.Close();
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 3000;
    const char* tmp = std::getenv("TMPDIR");
    std::string base =
        std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/qiv-bench-files-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) return 1;
    std::printf("%ld articles under %s\n", count, base.c_str());
    const std::string text = ArticleText(1);
    std::string path;
    bool ok = true;

    // Best of three rounds, the three parts in turn: on a disk, the clean-up
    // of what came before (a previous run's deleted files) can slow whichever
    // part runs first.
    double all = -1, articles = -1, profile = -1, profileMany = -1;
    constexpr int kManyGroups = 3000;
    auto best = [](double& kept, double seconds) {
        if (kept < 0 || seconds < kept) kept = seconds;
    };
    for (int round = 0; round < 3 && ok; ++round) {
        const std::string tag = std::to_string(round);
        Dirs d = Fresh(base, ("all" + tag).c_str());
        double start = Now();
        for (long n = 1; n <= count && ok; ++n) {
            ok = WriteArticle(d, n, text, path);
            const spool::ArticleHeaders headers = spool::ReadArticleHeaders(path, n);
            ok = ok && spool::AppendArticleIndex(d.spool, headers, 1, n);
            ok = ok && plat::WriteProfileString("QIVNEWS", "LastFileNumIn", std::to_string(n + 1),
                                                "qiv.ini");
            ok = ok &&
                 plat::WriteProfileString("NG1", "Index", std::to_string(n + 1), "qivnews.ini");
        }
        best(all, Now() - start);

        d = Fresh(base, ("articles" + tag).c_str());
        start = Now();
        for (long n = 1; n <= count && ok; ++n) ok = WriteArticle(d, n, text, path);
        best(articles, Now() - start);

        d = Fresh(base, ("profile" + tag).c_str());
        start = Now();
        for (long n = 1; n <= count && ok; ++n) {
            ok = plat::WriteProfileString("QIVNEWS", "LastFileNumIn", std::to_string(n + 1),
                                          "qiv.ini");
            ok = ok &&
                 plat::WriteProfileString("NG1", "Index", std::to_string(n + 1), "qivnews.ini");
        }
        best(profile, Now() - start);

        const std::string section = FreshGroups(base, "groups" + tag, kManyGroups);
        ok = ok && !section.empty();
        start = Now();
        for (long n = 1; n <= count && ok; ++n) {
            ok = plat::WriteProfileString("QIVNEWS", "LastFileNumIn", std::to_string(n + 1),
                                          "qiv.ini");
            ok = ok &&
                 plat::WriteProfileString(section, "Index", std::to_string(n + 1), "qivnews.ini");
        }
        best(profileMany, Now() - start);
    }

    std::filesystem::remove_all(base);
    if (!ok) {
        std::fprintf(stderr, "a write failed\n");
        return 1;
    }
    std::printf("%-34s %8.1f us/article\n", "all the file work of an article", all / count * 1e6);
    std::printf("%-34s %8.1f us/article\n", "the article file alone", articles / count * 1e6);
    std::printf("%-34s %8.1f us/article\n", "the two profile writes alone", profile / count * 1e6);
    std::printf("%-34s %8.1f us/article\n", "the same, 3000 groups", profileMany / count * 1e6);
    return 0;
}
