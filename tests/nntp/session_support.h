// Helpers for the session's tests: an owner window that records every
// notification (copying the texts and records it carries at once, as the
// application must), a session served from memory for the reader, a
// loopback fixture around the scriptable news server, and small file
// helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "net/warning.h"
#include "newsserver/news_server.h"
#include "nntp/nntp_session.h"
#include "platform/message_loop.h"

namespace nntptest {

// The application's message numbers.
enum : unsigned {
    kConnect = 1024,
    kGroup = 1025,
    kArticle = 1026,
    kNext = 1027,
    kList = 1028,
    kPost = 1029,
    kQuit = 1030,
    kUser = 1033,
    kPass = 1034,
    kListArticles = 1035,
    kAnswer = 1036,  // RequestArticle: each notification carries an nntp::ArticleAnswer
    kOverview = 1037,
    kCompress = 1038,
    kClose = 1040,
};

struct Note {
    unsigned message = 0;
    int result = -1;
    plat::LParam data = 0;
    std::string text;         // the text the notification pointed at, if any
    long articleNumber = -1;  // from an nntp::ArticleSaved
    std::string path;         // from an nntp::ArticleSaved or an nntp::ArticleAnswer
    bool head = false;        // from an nntp::ArticleAnswer: the answer to a HEAD
    std::string headers;      // and its header lines
};

class Owner {
public:
    Owner();
    ~Owner();
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    plat::WindowHandle window() const { return window_; }
    // Pumps until `count` notifications have arrived in all.
    bool WaitFor(std::size_t count, int boundMs = 10000);
    // Runs the loop until nothing is left to dispatch.
    void Settle();

    std::vector<Note> notes;

private:
    static plat::LResult Proc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                              plat::LParam lParam);
    plat::WindowHandle window_ = 0;
};

void EnsureNetworkLayer();

// Records warnings while it lives.
class Warnings {
public:
    Warnings();
    ~Warnings();
    std::vector<std::string> texts;

private:
    net::WarningSink previous_;
};

// A session whose network layer is memory: receives are served from queued
// chunks, sends are recorded, and every event that reaches the state
// machine is recorded with the line it came with.
class MemorySession : public nntp::CNntpSession {
public:
    struct Event {
        int event;
        std::string line;
        bool continued;
    };

    // Queues one receive and reports readiness until it has been taken.
    void Feed(const std::string& chunk);
    // Reaches Ready: Connect, a connection report, a 200 greeting and the
    // answer to MODE READER; forgets what was sent on the way.
    void Open(plat::WindowHandle window);
    std::vector<int> Kinds() const;

    std::deque<std::string> chunks;
    std::string sent;
    int sendResult = 0;
    int receiveResult = 0;
    int starts = 0;
    int cancels = 0;
    int closes = 0;
    std::function<void()> onStart;
    std::vector<Event> events;

    bool MultiLine() const { return multiLine; }
    bool WaitingWritable() const { return waitingWritable; }
    const char* CommandBuffer() const { return commandBuffer; }
    int ReceiveCount() const { return receiveCount; }
    bool IsReady() const { return state.Is(&MemorySession::Ready); }
    // Hands an event to the state machine as the reader or a report would.
    void Inject(int event) { Drive(event); }

protected:
    void StartConnection() override;
    void CancelConnection() override;
    int SendBytes(const void* buffer, int length) override;
    int ReceiveBytes(void* buffer, int& length) override;
    void CloseConnection() override;
    void Drive(int event) override;
};

// A session on a real connection that lets a test reach its socket, and
// optionally cut the connection's sending side before the nth send.
class ProbeSession : public nntp::CNntpSession {
public:
    int Descriptor() const;
    bool SocketOpen() const { return stream.Handle() != plat::kInvalidSocket; }
    // Shuts the socket for writing: every later send fails.
    void BreakSending();
    // A small send buffer, so that a server that stops reading soon makes
    // the socket queue what it cannot take.
    void ShrinkSendBuffer();
    bool MultiLine() const { return multiLine; }
    bool WaitingWritable() const { return waitingWritable; }
    bool IsReady() const { return state.Is(&ProbeSession::Ready); }
    bool IsEnded() const { return state.Is(&ProbeSession::Ended); }
    bool AwaitingPostVerdict() const { return state.Is(&ProbeSession::PostResult); }

    int failSendAt = 0;  // 1-based count of SendBytes calls; 0: never
    int sends = 0;
    int wouldBlocks = 0;

protected:
    int SendBytes(const void* buffer, int length) override;
};

// A scriptable server on loopback, a session pointed at it, an owner and a
// temporary directory.
class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs one operation and waits for its one notification.
    Note Do(const std::function<void()>& operation);
    // Connects and expects the greeting to succeed.
    void Open();
    // Waits until the server has no connection left open.
    bool ServerClosed(int boundMs = 10000);
    // How often the server received a command line starting with `word`.
    int CommandCount(const std::string& word) const;
    // Connects with Compress set to `mode` and asks for compression.
    Note OpenAndCompress(int mode);

    testsrv::NewsServer server;
    Owner owner;
    ProbeSession session;
    // Where Open and the tests' connects go: the server above.
    nntp::ServerConfig serverConfig;
    std::string dir;
};

std::string MakeTempDir();
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
// "a\nb\n" -> "a\r\nb\r\n".
std::string Crlf(const std::string& text);

}  // namespace nntptest
