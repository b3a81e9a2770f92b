// Expires one group whose index holds many records (half of them old) and
// reports the time taken and the peak memory of the process. The index is
// expired twice, small and large, to show that memory does not grow with it.
//
//   bench_expire_index [records]      (default 100000)
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/expiry.h"
#include "spool/group_registry.h"

namespace {

constexpr unsigned kStep = plat::msg::User + 100;
// As the application runs them: one record per step, each further step
// posted to the loop.
constexpr long kRecordsPerStep = 1;

spool::SpoolContext* g_context = nullptr;
plat::WindowHandle g_window = 0;

plat::LResult MainProc(plat::WindowHandle w, unsigned message, plat::WParam wp, plat::LParam lp) {
    if (message == kStep) {
        if (spool::ExpiryStep(*g_context, kRecordsPerStep)) plat::PostMessage(w, kStep, 0, 0);
        return 0;
    }
    return plat::DefWindowProc(w, message, wp, lp);
}

long PeakKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Group 1 with `records` records, every second one old; the old ones'
// article files exist so that the expiry really deletes them.
bool MakeGroup(const std::string& spool, long records) {
    std::FILE* index = std::fopen((spool + "/1.grp").c_str(), "wb");
    if (index == nullptr) return false;
    for (long i = 0; i < records; ++i) {
        const bool old = i % 2 == 0;
        spool::ArticleHeaders headers;
        headers.from = "Someone <someone@example.org>";
        headers.subject = "Re: a subject of an ordinary length";
        headers.articleNumber = static_cast<std::int32_t>(i + 1);
        const plat::LocalTime when =
            old ? plat::LocalTime{1997, 3, 1, 9, 30} : plat::LocalTime{1997, 3, 10, 9, 30};
        const spool::ArticleIndexRecord r =
            spool::BuildArticleIndexRecord(headers, 1, static_cast<std::int32_t>(i + 1), when);
        if (std::fwrite(&r, sizeof r, 1, index) != 1) return false;
        if (old) {
            char name[64];
            std::snprintf(name, sizeof name, "/news/NG1/%08ld.nws", i + 1);
            std::FILE* article = std::fopen((spool + name).c_str(), "wb");
            if (article == nullptr) return false;
            std::fputs("From: someone@example.org\r\n\r\nbody\r\n", article);
            std::fclose(article);
        }
    }
    return std::fclose(index) == 0;
}

bool Run(const std::string& root, long records) {
    const std::string spoolDir = root + "/spool" + std::to_string(records);
    std::filesystem::create_directories(spoolDir + "/news");
    std::int32_t lastGroupNum = 1;
    spool::SpoolContext context;
    context.spoolDir = spoolDir;
    context.lastGroupNum = &lastGroupNum;
    g_window = plat::CreateWindow("BenchMain");
    g_context = &context;
    plat::DeleteProfileSection("NG1", "qivnews.ini");
    if (!spool::SubscribeGroup(context, "bench.group").Ok() || !MakeGroup(spoolDir, records)) {
        std::fprintf(stderr, "cannot set up %s\n", spoolDir.c_str());
        return false;
    }
    plat::WriteProfileString("NG1", "ExpireDays", "3", "qivnews.ini");

    const auto start = std::chrono::steady_clock::now();
    spool::StartExpiry();
    plat::SendMessage(g_window, kStep, 0, 0);
    plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }, 600000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    struct stat st {};
    stat((spoolDir + "/1.grp").c_str(), &st);
    std::printf(
        "%8ld records (%5.1f MB): %.3f s, %.2f us/record, %ld records kept, "
        "peak memory %ld KB\n",
        records, records * 322.0 / 1e6, seconds, seconds * 1e6 / records,
        static_cast<long>(st.st_size / 322), PeakKb());
    plat::DestroyWindow(g_window);
    std::filesystem::remove_all(spoolDir);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long records = argc > 1 ? std::atol(argv[1]) : 100000;
    char templ[] = "/tmp/bench_expire.XXXXXX";
    if (mkdtemp(templ) == nullptr) return 1;
    const std::string root = templ;
    std::filesystem::create_directories(root + "/profile");
    plat::SetProfileDir(root + "/profile");
    plat::SetClockForTests([] { return plat::LocalTime{1997, 3, 10, 12, 0}; });
    plat::RegisterWindowClass("BenchMain", MainProc);

    std::printf("peak memory before: %ld KB\n", PeakKb());
    bool ok = Run(root, records / 10) && Run(root, records);
    std::filesystem::remove_all(root);
    return ok ? 0 : 1;
}
