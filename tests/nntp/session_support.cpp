#include "session_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

#include "net/event_window.h"
#include "platform/socket.h"

namespace nntptest {

namespace {

constexpr const char* kOwnerClass = "NntpTestOwner";

bool CarriesText(unsigned message, int result) {
    if (message == kAnswer)
        return result == nntp::ResultBroken || result == nntp::ResultRefusedLocally;
    if (result == nntp::ResultFailure || result == nntp::ResultBroken ||
        result == nntp::ResultRefusedLocally)
        return true;
    return result == nntp::ResultSuccess &&
           (message == kConnect || message == kUser || message == kPass || message == kGroup);
}

class PollCounter : public plat::LoopSource {
public:
    PollCounter() { plat::AddLoopSource(this); }
    ~PollCounter() override { plat::RemoveLoopSource(this); }
    void Collect(std::vector<pollfd>&, int&) override {}
    void Dispatch(const pollfd*, std::size_t) override { ++polls; }
    int polls = 0;
};

}  // namespace

// ---- Owner ----

Owner::Owner() {
    if (!plat::IsWindowClassRegistered(kOwnerClass)) plat::RegisterWindowClass(kOwnerClass, Proc);
    window_ = plat::CreateWindow(kOwnerClass);
    plat::SetWindowData(window_, reinterpret_cast<std::uintptr_t>(this));
}

Owner::~Owner() {
    // Records still queued for this window belong to nobody else.
    Settle();
    plat::DestroyWindow(window_);
}

plat::LResult Owner::Proc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                          plat::LParam lParam) {
    auto* self = reinterpret_cast<Owner*>(plat::GetWindowData(window));
    if (self == nullptr || message < plat::msg::User)
        return plat::DefWindowProc(window, message, wParam, lParam);
    Note note;
    note.message = message;
    note.result = static_cast<int>(wParam);
    note.data = lParam;
    if (CarriesText(message, note.result) && lParam != 0)
        note.text = reinterpret_cast<const char*>(lParam);
    if (message == kArticle && note.result == nntp::ResultSuccess && lParam != 0) {
        auto* saved = reinterpret_cast<nntp::ArticleSaved*>(lParam);
        note.articleNumber = saved->articleNumber;
        note.path = saved->path;
        nntp::ReleaseArticleSaved(saved);
    }
    if (message == kAnswer &&
        (note.result == nntp::ResultSuccess || note.result == nntp::ResultFailure)) {
        const std::unique_ptr<nntp::ArticleAnswer> answer(
            reinterpret_cast<nntp::ArticleAnswer*>(lParam));
        note.articleNumber = static_cast<long>(answer->articleNumber);
        note.path = answer->path;
        note.text = answer->reply;
        note.head = answer->head;
        note.headers = answer->headers;
    }
    self->notes.push_back(std::move(note));
    return 0;
}

bool Owner::WaitFor(std::size_t count, int boundMs) {
    return plat::PumpUntil([&] { return notes.size() >= count; }, boundMs);
}

void Owner::Settle() {
    PollCounter counter;
    int quietFrom = -1;
    plat::PumpUntil(
        [&] {
            if (plat::QueuedMessageCount() != 0) {
                quietFrom = -1;
                return false;
            }
            if (quietFrom < 0) quietFrom = counter.polls;
            return counter.polls >= quietFrom + 2;
        },
        5000);
}

void EnsureNetworkLayer() {
    if (net::GetEventWindow() == 0 || !plat::IsWindow(net::GetEventWindow()))
        net::InitNetworkLayer(false);
}

Warnings::Warnings()
    : previous_(net::SetWarningSink([this](const char* text) { texts.emplace_back(text); })) {}

Warnings::~Warnings() {
    net::SetWarningSink(std::move(previous_));
}

// ---- MemorySession ----

void MemorySession::Feed(const std::string& chunk) {
    // As a socket does, readiness is reported again while bytes wait.
    chunks.push_back(chunk);
    while (!chunks.empty()) StreamCallback(0, net::StreamEvent::Readable, 0, nullptr);
}

void MemorySession::Open(plat::WindowHandle window) {
    Connect(window, kConnect, {.host = "memory"});
    ConnectCallback(0, net::ConnectResult::Connected);
    Feed("200 memory ready\r\n");
    Feed("200 reader mode\r\n");  // the answer to MODE READER
    sent.clear();
}

std::vector<int> MemorySession::Kinds() const {
    std::vector<int> kinds;
    for (const Event& e : events) kinds.push_back(e.event);
    return kinds;
}

void MemorySession::StartConnection() {
    ++starts;
    if (onStart) onStart();
}

void MemorySession::CancelConnection() {
    ++cancels;
}

int MemorySession::SendBytes(const void* buffer, int length) {
    if (sendResult == 0 || sendResult == 10035)
        sent.append(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
    return sendResult;
}

int MemorySession::ReceiveBytes(void* buffer, int& length) {
    if (receiveResult != 0) {
        length = 0;
        return receiveResult;
    }
    if (chunks.empty()) {
        length = 0;
        return 10035;
    }
    std::string& chunk = chunks.front();
    const std::size_t n = std::min(chunk.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) chunks.pop_front();
    length = static_cast<int>(n);
    return 0;
}

void MemorySession::CloseConnection() {
    ++closes;
}

void MemorySession::Drive(int event) {
    events.push_back(
        {event, std::string(currentLine, static_cast<std::size_t>(currentLength)), lineContinued});
    nntp::CNntpSession::Drive(event);
}

// ---- ProbeSession ----

int ProbeSession::Descriptor() const {
    return plat::SocketDescriptor(stream.Handle());
}

void ProbeSession::BreakSending() {
    ::shutdown(Descriptor(), SHUT_WR);
}

void ProbeSession::ShrinkSendBuffer() {
    const int size = 4096;
    ::setsockopt(Descriptor(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

int ProbeSession::SendBytes(const void* buffer, int length) {
    ++sends;
    if (failSendAt != 0 && sends == failSendAt) BreakSending();
    const int result = nntp::CNntpSession::SendBytes(buffer, length);
    if (result == 10035) ++wouldBlocks;
    return result;
}

// ---- LoopbackTest ----

void LoopbackTest::SetUp() {
    EnsureNetworkLayer();
    ASSERT_TRUE(server.Start());
    serverConfig.host = "127.0.0.1";
    serverConfig.port = server.Port();
    dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    session.spoolDir = dir;
    session.articleDir = dir;
}

void LoopbackTest::TearDown() {
    session.Close(0, 0, false);
    owner.Settle();
    server.Stop();
    RemoveTree(dir);
}

Note LoopbackTest::Do(const std::function<void()>& operation) {
    const std::size_t before = owner.notes.size();
    operation();
    if (!owner.WaitFor(before + 1)) {
        ADD_FAILURE() << "no notification";
        return Note{};
    }
    return owner.notes[before];
}

void LoopbackTest::Open() {
    const Note n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    ASSERT_EQ(nntp::ResultSuccess, n.result) << n.text;
}

bool LoopbackTest::ServerClosed(int boundMs) {
    return plat::PumpUntil([&] { return server.OpenConnections() == 0; }, boundMs);
}

Note LoopbackTest::OpenAndCompress(int mode) {
    serverConfig.compress = mode;
    Open();
    return Do([&] { session.StartCompression(owner.window(), kCompress); });
}

int LoopbackTest::CommandCount(const std::string& word) const {
    int count = 0;
    for (const std::string& c : server.Commands())
        if (c.compare(0, word.size(), word) == 0) ++count;
    return count;
}

// ---- Files ----

std::string MakeTempDir() {
    char templ[] = "/tmp/nntp_test.XXXXXX";
    const char* made = ::mkdtemp(templ);
    return made != nullptr ? std::string(made) : std::string();
}

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace nntptest
