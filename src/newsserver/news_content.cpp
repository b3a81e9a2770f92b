#include "newsserver/news_content.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsrv {

namespace {

bool StartsWithNoCase(const std::string& s, std::size_t pos, const char* prefix) {
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (pos + i >= s.size() || tolower(static_cast<unsigned char>(s[pos + i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool IsDecimal(const std::string& s) {
    return !s.empty() && s.size() < 10 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string HeaderValue(const std::string& text, const char* name) {
    const std::size_t length = std::char_traits<char>::length(name);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t end = nl == std::string::npos ? text.size() : nl;
        if (end > pos && text[end - 1] == '\r') --end;
        if (end == pos) break;  // the empty line that ends the header part
        if (StartsWithNoCase(text, pos, name)) {
            std::size_t v = text.find_first_not_of(" \t", pos + length);
            if (v == std::string::npos || v >= end) return "";
            std::size_t e = end;
            while (e > v && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
            return text.substr(v, e - v);
        }
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return "";
}

std::string FindMessageId(const std::string& text) {
    return HeaderValue(text, "message-id:");
}

std::shared_ptr<const PreparedArticle> PrepareArticle(const std::string& group,
                                                      const Article& article) {
    auto p = std::make_shared<PreparedArticle>();
    p->number = article.number;
    p->messageId = FindMessageId(article.text);
    if (p->messageId.empty()) {
        p->messageId = "<" + std::to_string(article.number) + "." + group + "@qiv-testserver>";
    }
    const std::string& t = article.text;
    std::string& w = p->wire;
    w.reserve(t.size() + t.size() / 32 + 8);
    std::size_t pos = 0;
    std::size_t bytes = 0;
    long bodyLines = 0;
    bool inBody = false;
    while (pos < t.size()) {
        std::size_t nl = t.find('\n', pos);
        std::size_t next = nl == std::string::npos ? t.size() : nl + 1;
        std::size_t end = nl == std::string::npos ? t.size() : nl;
        if (end > pos && t[end - 1] == '\r') --end;
        if (inBody) ++bodyLines;
        if (!inBody && end == pos) {
            inBody = true;
            p->head = w + ".\r\n";
        }
        if (t[pos] == '.') w += '.';
        w.append(t, pos, end - pos);
        w += "\r\n";
        bytes += end - pos + 2;
        pos = next;
    }
    if (!inBody) p->head = w + ".\r\n";
    w += ".\r\n";
    std::string& o = p->overview;
    for (const char* field : {"subject:", "from:", "date:", "message-id:", "references:"}) {
        std::string value = HeaderValue(t, field);
        if (std::string(field) == "message-id:" && value.empty()) value = p->messageId;
        for (char& c : value)
            if (c == '\t' || c == '\r' || c == '\n') c = ' ';
        o += value + "\t";
    }
    o += std::to_string(bytes) + "\t" + std::to_string(bodyLines);
    return p;
}

std::string GroupCounts(std::size_t count, long first, long last) {
    return std::to_string(count) + " " + std::to_string(first) + " " + std::to_string(last);
}

std::string GeneratedArticleText(const std::string& group, long number, std::size_t size) {
    std::string t;
    t.reserve(size + 80);
    t += "From: Tester " + std::to_string(number % 7) + " <tester" + std::to_string(number % 7) +
         "@example.invalid>\n";
    t += "Newsgroups: " + group + "\n";
    t += "Subject: Article " + std::to_string(number) + " of " + group + "\n";
    t += "Date: Mon, 07 Dec 2026 10:00:00 +0000\n";
    t += "Message-ID: <" + std::to_string(number) + "." + group + "@qiv-testserver>\n";
    t += "\n";
    static const char kWords[] =
        "the quick brown fox jumps over the lazy dog while the news flows in ";
    const std::size_t wordsLen = sizeof kWords - 1;
    long line = 0;
    while (t.size() < size) {
        std::string text = "Line " + std::to_string(++line) + ": ";
        std::size_t offset = static_cast<std::size_t>(number + line) % wordsLen;
        while (text.size() < 71) text += kWords[offset++ % wordsLen];
        std::size_t room = size - t.size();  // at least 1
        if (text.size() + 1 > room) text.resize(room - 1);
        t += text;
        t += '\n';
    }
    return t;
}

std::vector<Group> DemoGroups() {
    std::vector<Group> groups;
    Group welcome{"qiv.demo.welcome", {}, 'y'};
    welcome.articles.push_back(
        {1,
         "From: Demo Server <server@example.invalid>\n"
         "Newsgroups: qiv.demo.welcome\n"
         "Subject: Welcome to the demo server\n"
         "Date: Mon, 07 Dec 2026 09:00:00 +0000\n"
         "Message-ID: <welcome.1@qiv-testserver>\n"
         "\n"
         "This server runs on your own machine and keeps everything in memory.\n"
         "Post to any group; what you post can be read back by the tests.\n"});
    welcome.articles.push_back(
        {2,
         "From: Alice Example <alice@example.invalid>\n"
         "Newsgroups: qiv.demo.welcome\n"
         "Subject: Re: Welcome to the demo server\n"
         "Date: Mon, 07 Dec 2026 09:30:00 +0000\n"
         "Message-ID: <welcome.2@qiv-testserver>\n"
         "References: <welcome.1@qiv-testserver>\n"
         "\n"
         "Thanks. A line with a single dot follows, then one starting with a dot:\n"
         ".\n"
         ".hidden files are shown with ls -a\n"});
    welcome.articles.push_back({4,
                                "From: Bob Example <bob@example.invalid>\n"
                                "Newsgroups: qiv.demo.welcome\n"
                                "Subject: Numbers may have gaps\n"
                                "Date: Mon, 07 Dec 2026 10:15:00 +0000\n"
                                "Message-ID: <welcome.4@qiv-testserver>\n"
                                "\n"
                                "Article 3 was cancelled, so NEXT goes from 2 straight to 4.\n"});
    groups.push_back(welcome);

    Group chat{"qiv.demo.chat", {}, 'y'};
    for (long n = 1; n <= 5; ++n) {
        chat.articles.push_back({n, "From: Chatter " + std::to_string(n) + " <chat" +
                                        std::to_string(n) +
                                        "@example.invalid>\n"
                                        "Newsgroups: qiv.demo.chat\n"
                                        "Subject: Chat message " +
                                        std::to_string(n) +
                                        "\n"
                                        "Date: Mon, 07 Dec 2026 11:0" +
                                        std::to_string(n) +
                                        ":00 +0000\n"
                                        "\n"
                                        "Message number " +
                                        std::to_string(n) + " of the chat group.\n"});
    }
    groups.push_back(chat);

    groups.push_back(Group{"qiv.demo.empty", {}, 'y'});
    groups.push_back(Group{"qiv.demo.announce", {}, 'n'});
    groups.back().articles.push_back({10,
                                      "From: Moderator <moderator@example.invalid>\n"
                                      "Newsgroups: qiv.demo.announce\n"
                                      "Subject: Read-only group\n"
                                      "Date: Mon, 07 Dec 2026 08:00:00 +0000\n"
                                      "\n"
                                      "Nobody can post here.\n"});
    return groups;
}

bool ReadGroupDirectory(const std::string& dir, std::vector<Group>* groups) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator top(dir, ec);
    if (ec) return false;
    std::vector<fs::path> groupDirs;
    for (const auto& entry : top) {
        if (entry.is_directory(ec)) groupDirs.push_back(entry.path());
    }
    std::sort(groupDirs.begin(), groupDirs.end());
    for (const fs::path& gdir : groupDirs) {
        Group g{gdir.filename().string(), {}, 'y'};
        fs::directory_iterator files(gdir, ec);
        if (ec) continue;
        for (const auto& f : files) {
            std::string name = f.path().filename().string();
            if (!f.is_regular_file(ec) || !IsDecimal(name)) continue;
            std::ifstream in(f.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            g.articles.push_back({std::stol(name), text.str()});
        }
        std::sort(g.articles.begin(), g.articles.end(),
                  [](const Article& a, const Article& b) { return a.number < b.number; });
        groups->push_back(std::move(g));
    }
    return true;
}

}  // namespace testsrv
