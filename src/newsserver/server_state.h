// What the server's threads share: its configuration, groups, faults and
// observations, guarded by one mutex. Private to the server's files.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/news_content.h"
#include "newsserver/news_server.h"

namespace testsrv {

inline bool IsAll2xx(int code) {
    return code >= 200 && code <= 299;
}

struct GroupData {
    char postingFlag = 'y';
    std::map<long, std::shared_ptr<const PreparedArticle>> articles;
    long highWater = 0;  // the highest number cancelled; GROUP's last never drops below it
};

// What a step writes and how the connection goes on afterwards.
struct Plan {
    enum class End { Keep, Close, Reset, Stall };
    std::vector<std::string> writes;
    int pauseBeforeMs = 0;
    int pauseBetweenMs = 0;
    End end = End::Keep;
};

// The bytes of a step's writes, one after the other.
std::string Flatten(const std::vector<std::string>& writes);
// Applies a fault's action (none: null) to the normal writes of a step.
Plan MakePlan(const Fault* fault, std::vector<std::string> writes);

namespace detail {

struct Connection {
    int fd = -1;
    bool closed = false;  // fd closed; guarded by State::mu
    bool done = false;    // thread finished its work; guarded by State::mu
    bool drain = false;   // half-closed: wait for the client's close before closing
    std::thread thread;
};

struct ServerState {
    mutable std::mutex mu;
    std::condition_variable stopCv;
    bool running = false;
    bool stopping = false;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::uint16_t port = 0;
    std::thread acceptThread;
    std::list<std::shared_ptr<Connection>> conns;

    int greetingCode = 200;
    std::string greetingText = "qiv test news server ready - posting allowed";
    std::map<std::string, std::string> accounts;
    bool authRequired = false;
    std::string userReply = "381 password required";
    std::string acceptReply = "281 authentication accepted";
    std::string rejectReply = "481 authentication failed";
    ModeReader modeReader = ModeReader::Accept;
    Posting posting = Posting::Accept;
    bool twoWrites = true;
    bool listGroup = true;
    bool head = true;
    bool over = true;
    bool noDelay = true;
    TlsMode tlsMode = TlsMode::None;
    CompressMode compress = CompressMode::None;
    std::size_t corruptAfter = Fault::kWhole;
    int compressStarts = 0;
    std::uint64_t compressPlain = 0;
    std::uint64_t compressWire = 0;
    std::shared_ptr<SSL_CTX> tlsContext;
    int tlsHandshakes = 0;
    std::string lastServerName;
    std::map<std::string, GroupData> groups;

    std::vector<Fault> faults;
    std::map<std::string, int> stepCounts;
    int anyStepCount = 0;

    int connections = 0;
    int openConnections = 0;
    std::vector<std::string> commands;
    std::size_t stallFrom = 0;
    std::atomic<long> writes{0};
    std::vector<PostRecord> posts;
    std::set<std::string> postedIds;  // of posts answered 2xx
    std::string postDir;
    int postFiles = 0;

    // Counts the step and returns a copy of the fault that acts on it.
    bool FindFault(const std::string& step, Fault* out) {
        std::lock_guard<std::mutex> lock(mu);
        int count = ++stepCounts[step];
        bool anyStep = step != "POST_LINE";
        int anyCount = anyStep ? ++anyStepCount : 0;
        for (const Fault& f : faults) {
            bool hit = (f.when == step && (f.nth == 0 || f.nth == count)) ||
                       (anyStep && f.when == "*" && (f.nth == 0 || f.nth == anyCount));
            if (hit) {
                *out = f;
                return true;
            }
        }
        return false;
    }

    // Waits up to `ms`; false when the server is stopping.
    bool Pause(int ms) {
        std::unique_lock<std::mutex> lock(mu);
        return !stopCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
};

// Runs the conversation on an accepted connection, on the connection's own
// thread, and closes it.
void Serve(ServerState* s, std::shared_ptr<Connection> conn);

}  // namespace detail

}  // namespace testsrv
