// A posting pass over an arbitrary "out.dat": the spool's queue walked as
// the posting cycle walks it, with the server's verdicts made up here.
//
// Input: [flags] [out.dat...]
//   flags bit 0: POST is refused (440): no verdict, which stops the pass
//   bit 1: the article is refused (441) instead of accepted (240)
//   bit 2: files whose name starts with an odd byte hold a line too long to
//          post, which keeps them unsent
//   bit 3: files are made only for every other record
// Every record's name that can be a file in the out directory gets one.
// Checked: the pass ends with nothing open; exactly the records that name a
// plain file of the out directory are posted, once per file, up to a POST
// refused with 440, which stops the pass; posted files are deleted, refused
// ones (441) moved to out/rejected, all others stay; every record handled is
// marked in out.dat, which is emptied when they all were and it holds no
// part record; nothing outside the out directory is touched.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "spool/outbound_queue.h"

namespace {

constexpr std::size_t kRecordSize = spool::kQueueRecordSize;
// The longest line the session sends, with its CR LF.
constexpr std::size_t kMaxPostLine = 197;

// What the session would find reading the article: a line too long to send.
bool HasLongLine(plat::TextReader& article) {
    std::string line;
    while (article.ReadLine(line))
        if (line.size() + 2 > kMaxPostLine) return true;
    return false;
}

// A name the out directory can hold as a file of its own.
bool CanBeFile(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Only a plain name inside the out directory is posted.
bool Postable(const std::string& name) {
    return CanBeFile(name) && name.find('\\') == std::string::npos &&
           name.find("..") == std::string::npos;
}

const char* const kBystanders[] = {"keep.txt", "news/keep.txt", "out.dat.keep"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string dir = fuzz::Join(fuzz::ScratchDir(), "spool");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    fuzz::MakeDir(dir);
    fuzz::MakeDir(fuzz::Join(dir, "out"));
    fuzz::MakeDir(fuzz::Join(dir, "news"));
    for (const char* name : kBystanders) fuzz::WriteBytes(fuzz::Join(dir, name), "keep");

    fuzz::Input in(data, size);
    const int flags = in.Byte();
    const std::string queue = in.Rest();
    fuzz::WriteBytes(fuzz::Join(dir, "out.dat"), queue);

    // The files the records name, and what the pass should do with them.
    std::set<std::string> files;
    std::set<std::string> tooLong;
    const std::size_t count = queue.size() / kRecordSize;
    for (std::size_t i = 0; i < count; ++i) {
        const char* field = queue.data() + i * kRecordSize + 1;
        const std::string name(field, strnlen(field, 12));
        if (!CanBeFile(name) || ((flags & 8) && i % 2 == 1) || files.count(name) != 0) continue;
        const bool longLine = (flags & 4) && (static_cast<unsigned char>(name[0]) & 1);
        std::string text = "Newsgroups: alt.test\r\nSubject: " + std::to_string(i) + "\r\n\r\n";
        text += longLine ? std::string(300, 'L') + "\r\n" : "body\r\n";
        fuzz::WriteBytes(fuzz::Join(dir, "out/" + name), text);
        files.insert(name);
        if (longLine) tooLong.insert(name);
    }
    std::set<std::string> remaining = files;
    std::set<std::string> rejected;
    int expectedPosts = 0;
    std::string marked = queue;  // out.dat as the pass should leave it
    bool stopped = false;
    for (std::size_t i = 0; i < count && !stopped; ++i) {
        const char* record = queue.data() + i * kRecordSize;
        const std::string name(record + 1, strnlen(record + 1, 12));
        if (record[0] != 0) continue;
        if (Postable(name) && remaining.count(name) != 0 && tooLong.count(name) == 0) {
            ++expectedPosts;
            if (flags & 1) {
                stopped = true;  // no verdict: this record and all after it stay
                continue;
            }
            remaining.erase(name);
            if (flags & 2) rejected.insert(name);
        }
        marked[i * kRecordSize] = '\xff';
    }
    if (!stopped && count > 0 && queue.size() % kRecordSize == 0) marked.clear();

    spool::OutboundQueue pass;
    int posts = 0;
    if (pass.Begin(dir, nullptr)) {
        for (int round = 0; round < 100000; ++round) {
            const spool::OutboundQueue::Next next = pass.NextArticle();
            FUZZ_CHECK(next != spool::OutboundQueue::Next::Stopped, pass.StopReason());
            if (next == spool::OutboundQueue::Next::Done) break;
            FUZZ_CHECK(pass.Article().IsOpen(), "no article open at " + pass.ArticleName());
            bool handled = true;
            if (HasLongLine(pass.Article())) {
                handled = pass.Kept("Article line longer than 197 characters");
            } else {
                ++posts;
                if (flags & 1) break;
                handled = (flags & 2) ? pass.Refused() : pass.Posted();
            }
            FUZZ_CHECK(handled, pass.StopReason());
        }
        pass.Close();
    }
    FUZZ_CHECK(!pass.Walking() && !pass.Article().IsOpen(), "the pass left a file open");

    FUZZ_CHECK(fuzz::ReadBytes(fuzz::Join(dir, "out.dat")) == marked,
               "out.dat is not as the pass should leave it");
    FUZZ_CHECK(posts == expectedPosts, "posted " + std::to_string(posts) +
                                                    ", expected " + std::to_string(expectedPosts));
    for (const std::string& name : files) {
        const bool there = fuzz::Exists(fuzz::Join(dir, "out/" + name));
        FUZZ_CHECK(there == (remaining.count(name) != 0), (there ? "kept " : "deleted ") + name);
        const bool aside = fuzz::Exists(fuzz::Join(dir, "out/rejected/" + name));
        FUZZ_CHECK(aside == (rejected.count(name) != 0), "out/rejected and " + name);
    }
    for (const char* name : kBystanders)
        FUZZ_CHECK(fuzz::Exists(fuzz::Join(dir, name)), std::string("deleted ") + name);
    return 0;
}
