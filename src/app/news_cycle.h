// One news cycle: the session and everything a cycle keeps between its
// steps (the connection sequence, the fetch position, the posting pass) and
// the report of how it ended. The main window owns it; the steps and
// handlers of cycles.h work on it, and whoever wants the outcome listens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nntp/server_config.h"
#include "platform/message_loop.h"

namespace nntp {
class CNntpSession;
}

namespace app {

// How a cycle run ended. BeginConnect starts a new record; the steps fill
// it in.
struct CycleReport {
    bool running = false;       // from BeginConnect until the cycle has ended
    bool connected = false;     // the server greeted us
    bool authRejected = false;  // AUTHINFO was refused or not sent
    bool listReceived = false;  // the group list arrived
    bool disconnected = false;  // the cycle ended with "Server disconnected"
    bool lost = false;          // the connection broke off
    // Work the cycle left undone though the server answered: an article
    // that could not be stored, a post the server would not take now. The
    // first such reason; empty when there was none.
    std::string undone;
};

// The one rule for whoever reports a run's outcome (--once, list-groups, the
// control channel): the server was reached, accepted the login (when one
// is configured), delivered the group list (listMode) and the cycle ended
// with "Server disconnected" with nothing left undone.
bool CycleSucceeded(const CycleReport& report, bool listMode);

class CycleListener {
public:
    // The connection has closed: after a cycle, a failed connect or a break.
    virtual void ConnectionClosed() {}
    // The cycle has ended; the report says how. Called from inside the
    // cycle's last handler: a listener does not start the next cycle here.
    virtual void CycleEnded(const CycleReport&) {}

protected:
    ~CycleListener() = default;
};

// Defined beside their handlers (fetch_cycle.cpp, posting_cycle.cpp), which
// alone look inside them.
struct FetchState;
struct PostingState;
struct CyclePartDeleter {
    void operator()(FetchState* state) const;
    void operator()(PostingState* state) const;
};
std::unique_ptr<FetchState, CyclePartDeleter> NewFetchState();
std::unique_ptr<PostingState, CyclePartDeleter> NewPostingState();

class NewsCycle {
public:
    // window receives the session's completion messages.
    explicit NewsCycle(plat::WindowHandle window);
    ~NewsCycle();
    NewsCycle(const NewsCycle&) = delete;
    NewsCycle& operator=(const NewsCycle&) = delete;

    void AddListener(CycleListener* listener);
    void RemoveListener(CycleListener* listener);

    bool Running() const { return report.running; }
    // No connection, no step under way, no cycle: a new one may start.
    bool Idle() const { return !connected && appIdle && !report.running; }
    // Ends the running cycle (nothing when none runs) and tells the listeners.
    void End();
    // Tells the listeners that the connection has closed.
    void Closed();
    // Notes why the cycle's work stays undone (the first reason is kept).
    void NoteUndone(const std::string& reason);

    // Runs the handler of a completion message; false for any other message.
    bool Dispatch(unsigned message, plat::WParam result, plat::LParam data);

    const plat::WindowHandle window;
    std::unique_ptr<nntp::CNntpSession> session;
    // The server each connect goes to (GiveServerToSession fills it).
    nntp::ServerConfig server;
    bool connected = false;  // from a successful connect until the disconnect completes
    // The network commands (connect, disconnect, group list, fetch, post)
    // are accepted only while this is set.
    bool appIdle = true;
    bool groupListRequested = false;
    // A refusal of COMPRESS has been logged: a server that refuses does so
    // every time, and once tells the operator all there is to know.
    bool compressRefusalLogged = false;
    // The fetch's position. Article numbers are 64-bit: servers run past
    // 2^31 - 1.
    std::int32_t currentGroup = 1;
    std::int64_t articleCursor = 0;
    CycleReport report;
    std::unique_ptr<FetchState, CyclePartDeleter> fetch;
    std::unique_ptr<PostingState, CyclePartDeleter> posting;

private:
    std::vector<CycleListener*> listeners_;
};

}  // namespace app
