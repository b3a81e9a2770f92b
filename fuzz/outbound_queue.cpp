// The posting pass on an arbitrary "out.dat": the real application (main
// window, posting pass, disconnect) with its session's network served from
// memory by a small scripted server.
//
// Input: [flags] [out.dat...]
//   flags bit 0: POST is refused (440) instead of answered 340
//   bit 1: the article is refused (441) instead of accepted (240)
//   bit 2: files whose name starts with an odd byte hold a line too long to
//          post
//   bit 3: files are made only for every other record
// Every record's name that can be a file in the out directory gets one.
// Checked: the pass ends disconnected; exactly the records that name a
// plain file of the out directory are posted, once per file, up to a POST
// refused with 440, which stops the pass; posted files are deleted, refused
// ones (441) moved to out/rejected, all others stay; every record handled is
// marked in out.dat, which is emptied when they all were and it holds no
// part record; nothing outside the out directory is touched.
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "app/app_state.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/main_window.h"
#include "app/news_cycle.h"
#include "app/startup.h"
#include "fuzz_support.h"
#include "nntp/nntp_session.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "platform/ui_recording.h"

namespace {

constexpr int kWouldBlock = 10035;
constexpr std::size_t kRecordSize = 13;

// A session whose server is a script: 200 greeting, POST answered with
// 340 (or 440), the article with 240 (or 441), QUIT with 205.
class ScriptedSession : public CNntpSession {
public:
    bool refusePost = false;
    bool refuseArticle = false;
    int posts = 0;
    bool connected = false;

    void Open() {
        std::strcpy(hostName, "memory");
        Connect(0, 0);
        connected = true;
        ConnectCallback(0, ConnectResult::Connected);
        incoming_ = "200 ready\r\n";
        Serve();
    }

    // Hands the server's waiting lines to the session.
    bool Serve() {
        bool any = false;
        for (int i = 0; i < 1000 && connected && !incoming_.empty(); ++i) {
            StreamCallback(0, StreamEvent::Readable, 0, nullptr);
            any = true;
        }
        return any;
    }

protected:
    void StartConnection() override {}
    void CancelConnection() override {}
    void CloseConnection() override {
        connected = false;
        incoming_.clear();
    }

    int SendBytes(const void* buffer, int length) override {
        FUZZ_CHECK(connected, "a send without a connection");
        sent_.append(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
        std::size_t end;
        while ((end = sent_.find("\r\n")) != std::string::npos) {
            const std::string line = sent_.substr(0, end);
            sent_.erase(0, end + 2);
            Answer(line);
        }
        return 0;
    }

    int ReceiveBytes(void* buffer, int& length) override {
        if (incoming_.empty()) {
            length = 0;
            return kWouldBlock;
        }
        const std::size_t n = std::min(incoming_.size(), static_cast<std::size_t>(length));
        std::memcpy(buffer, incoming_.data(), n);
        incoming_.erase(0, n);
        length = static_cast<int>(n);
        return 0;
    }

private:
    void Answer(const std::string& line) {
        if (inArticle_) {
            if (line == ".") {
                inArticle_ = false;
                incoming_ += refuseArticle ? "441 not wanted\r\n" : "240 posted\r\n";
            }
            return;
        }
        if (line == "POST") {
            ++posts;
            inArticle_ = !refusePost;
            incoming_ += refusePost ? "440 posting not allowed\r\n" : "340 send it\r\n";
        } else if (line == "QUIT") {
            incoming_ += "205 bye\r\n";
        } else {
            incoming_ += "500 what?\r\n";
        }
    }

    std::string sent_;
    std::string incoming_;
    bool inArticle_ = false;
};

struct World {
    plat::WindowHandle window = 0;
    std::string spool;
};

World& Start() {
    static World world = [] {
        World w;
        const std::string profile = fuzz::Join(fuzz::ScratchDir(), "profile");
        fuzz::MakeDir(profile);
        plat::SetProfileDir(profile);
        fuzz::WriteBytes(fuzz::Join(profile, "qiv.ini"),
                         "[QIVNEWS]\r\nNNTPServer=memory\r\nNNTPPort=119\r\nLastGroupNum=1\r\n");
        plat::ui::Install(std::make_unique<plat::ui::RecordingBackend>());
        std::string error;
        w.window = app::StartMainWindow(false, error);
        FUZZ_CHECK(w.window != 0, error);
        w.spool = fuzz::Join(fuzz::ScratchDir(), "spool");
        return w;
    }();
    return world;
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
    World& world = Start();
    std::error_code ec;
    std::filesystem::remove_all(world.spool, ec);
    fuzz::MakeDir(world.spool);
    fuzz::MakeDir(fuzz::Join(world.spool, "out"));
    fuzz::MakeDir(fuzz::Join(world.spool, "news"));
    for (const char* name : kBystanders) fuzz::WriteBytes(fuzz::Join(world.spool, name), "keep");
    app::ResetLog();

    fuzz::Input in(data, size);
    const int flags = in.Byte();
    const std::string queue = in.Rest();
    fuzz::WriteBytes(fuzz::Join(world.spool, "out.dat"), queue);

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
        fuzz::WriteBytes(fuzz::Join(world.spool, "out/" + name), text);
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

    auto session = std::make_unique<ScriptedSession>();
    session->refusePost = flags & 1;
    session->refuseArticle = flags & 2;
    session->Open();
    app::AppState& state = app::App();
    app::NewsCycle* cycle = app::CycleOf(world.window);
    FUZZ_CHECK(cycle != nullptr, "no news cycle");
    ScriptedSession* scripted = session.get();
    std::unique_ptr<CNntpSession> own = std::exchange(cycle->session, std::move(session));
    cycle->connected = 1;
    cycle->appIdle = 1;
    state.settings.qivNewsDir = world.spool;

    app::BeginPosting(*cycle);
    for (int round = 0; round < 100000 && cycle->connected != 0; ++round) {
        bool progress = scripted->Serve();
        plat::Message m;
        while (plat::QueuedMessageCount() != 0 && plat::PeekMessage(m)) {
            plat::DispatchMessage(m);
            progress = true;
        }
        if (!progress) break;
    }
    const bool ended = cycle->connected == 0;
    const std::unique_ptr<CNntpSession> used = std::exchange(cycle->session, std::move(own));
    cycle->connected = 0;
    FUZZ_CHECK(ended, "the pass did not end with a disconnect");
    FUZZ_CHECK(cycle->appIdle == 1, "the commands stay blocked after the pass");

    FUZZ_CHECK(fuzz::ReadBytes(fuzz::Join(world.spool, "out.dat")) == marked,
               "out.dat is not as the pass should leave it");
    FUZZ_CHECK(scripted->posts == expectedPosts, "posted " + std::to_string(scripted->posts) +
                                                     ", expected " + std::to_string(expectedPosts));
    for (const std::string& name : files) {
        const bool there = fuzz::Exists(fuzz::Join(world.spool, "out/" + name));
        FUZZ_CHECK(there == (remaining.count(name) != 0), (there ? "kept " : "deleted ") + name);
        const bool aside = fuzz::Exists(fuzz::Join(world.spool, "out/rejected/" + name));
        FUZZ_CHECK(aside == (rejected.count(name) != 0), "out/rejected and " + name);
    }
    for (const char* name : kBystanders)
        FUZZ_CHECK(fuzz::Exists(fuzz::Join(world.spool, name)), std::string("deleted ") + name);
    for (const std::string& line :
         static_cast<plat::ui::RecordingBackend&>(plat::ui::Current()).Log())
        FUZZ_CHECK(line.size() < 256, "a log line of " + std::to_string(line.size()));
    app::ResetLog();
    return 0;
}
