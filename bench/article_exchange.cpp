// How fast the session fetches a group: ARTICLE and NEXT in turn, each
// article stored as a numbered file, against the scriptable server on
// loopback.
//
//   bench_article_exchange [articles] [bytes per article]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "net/event_window.h"
#include "newsserver/news_server.h"
#include "nntp/nntp_session.h"
#include "platform/message_loop.h"

namespace {

enum : unsigned {
    kConnect = 1024,
    kGroup = 1025,
    kArticle = 1026,
    kNext = 1027,
    kQuit = 1030,
};

struct Run {
    nntp::CNntpSession session;
    long fetched = 0;
    long failed = 0;
    std::uint64_t startMs = 0;
    std::uint64_t endMs = 0;
    bool ok = true;
};

Run* run = nullptr;

void Fail(const char* what, plat::WParam result, plat::LParam data) {
    const bool text = result == nntp::ResultFailure || result == nntp::ResultBroken;
    std::fprintf(stderr, "%s failed (%d): %s\n", what, static_cast<int>(result),
                 text && data != 0 ? reinterpret_cast<const char*>(data) : "");
    run->ok = false;
    plat::PostQuitMessage(1);
}

plat::LResult OwnerProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                        plat::LParam lParam) {
    nntp::CNntpSession& s = run->session;
    switch (message) {
        case kConnect:
            if (wParam != nntp::ResultSuccess) {
                Fail("connect", wParam, lParam);
                return 0;
            }
            s.SelectGroup(window, kGroup);
            return 0;
        case kGroup:
            if (wParam != nntp::ResultSuccess) {
                Fail("GROUP", wParam, lParam);
                return 0;
            }
            run->startMs = plat::NowMs();
            s.FetchArticle(window, kArticle, s.firstArticle);
            return 0;
        case kArticle:
            if (wParam == nntp::ResultSuccess) {
                nntp::ReleaseArticleSaved(reinterpret_cast<nntp::ArticleSaved*>(lParam));
                ++run->fetched;
            } else if (wParam == nntp::ResultBroken) {
                Fail("ARTICLE", wParam, lParam);
                return 0;
            } else {
                ++run->failed;
            }
            s.NextArticle(window, kNext);
            return 0;
        case kNext:
            if (wParam == nntp::ResultSuccess) {
                ++s.fileNumber;
                s.FetchArticle(window, kArticle, static_cast<std::int32_t>(lParam));
                return 0;
            }
            if (wParam == nntp::ResultBroken) {
                Fail("NEXT", wParam, lParam);
                return 0;
            }
            run->endMs = plat::NowMs();
            s.Quit(window, kQuit);
            return 0;
        case kQuit:
            plat::PostQuitMessage(0);
            return 0;
        default:
            return plat::DefWindowProc(window, message, wParam, lParam);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 5000;
    const long size = argc > 2 ? std::atol(argv[2]) : 2000;
    if (count <= 0 || size <= 0) {
        std::fprintf(stderr, "usage: %s [articles] [bytes per article]\n", argv[0]);
        return 2;
    }

    testsrv::NewsServer server;
    server.GenerateArticles("bench.group", count, static_cast<std::size_t>(size), 1);
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the news server\n");
        return 1;
    }
    if (!net::InitNetworkLayer(false)) {
        std::fprintf(stderr, "cannot start the network layer\n");
        return 1;
    }
    char dirTemplate[] = "/tmp/bench_article_exchange.XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) {
        std::fprintf(stderr, "cannot make a temporary directory\n");
        return 1;
    }

    run = new Run;
    nntp::CNntpSession& s = run->session;
    s.groupName = "bench.group";
    s.articleDir = dirTemplate;
    s.fileNumber = 1;

    plat::RegisterWindowClass("BenchOwner", OwnerProc);
    const plat::WindowHandle window = plat::CreateWindow("BenchOwner");
    s.Connect(window, kConnect, {.host = "127.0.0.1", .port = server.Port()});
    plat::RunMessageLoop();

    const bool ok = run->ok && run->fetched == count;
    const double seconds = static_cast<double>(run->endMs - run->startMs) / 1000.0;
    if (run->ok) {
        std::printf("articles fetched: %ld of %ld (%ld failed), %ld bytes each\n", run->fetched,
                    count, run->failed, size);
        std::printf("time: %.3f s\n", seconds);
        if (seconds > 0) {
            std::printf("articles per second: %.0f\n", static_cast<double>(run->fetched) / seconds);
            std::printf("article data: %.1f MB/s\n", static_cast<double>(run->fetched) *
                                                         static_cast<double>(size) / seconds / 1e6);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dirTemplate, ec);
    server.Stop();
    return ok ? 0 : 1;
}
