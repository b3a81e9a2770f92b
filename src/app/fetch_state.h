// What the fetch cycle keeps about the group it is fetching, and the steps
// that the lock-step exchange (fetch_cycle.cpp) and the pipelined one
// (fetch_pipeline.cpp) share.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "app/news_cycle.h"
#include "nntp/nntp_session.h"
#include "platform/message_loop.h"
#include "spool/article_filter.h"
#include "spool/article_index.h"
#include "spool/message_history.h"

namespace app {

// qivnews.ini as it was when its section was last seen (or written) by
// us, so that an unchanged file need not be read again.
struct FileIdentity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};

// The group being fetched: its section and the name it had when it began.
struct FetchState {
    std::string section;
    std::string name;
    // What qiv.ini holds as LastFileNumIn, as far as this cycle wrote or
    // read it.
    std::int32_t storedFileNum = 0;
    // The last article of the group as GROUP reported it: the cursor never
    // passes it by more than one.
    std::int64_t last = 0;
    // The last ARTICLE was refused as gone (the cursor has moved past it);
    // the server's current article did not move with it.
    bool refused = false;
    // The last article arrived but was passed over (filtered, stored
    // before): its file number is the next article's.
    bool released = false;
    std::string articleDir;
    FileIdentity groupsFileSeen;

    // The pipelined exchange. Each request is given its file number when it
    // goes out, the next number after the previous request's, so that the
    // files are numbered as the lock-step exchange numbers them.
    // An article passed over gives its number to the requests after it;
    // their ".part" names stay as they were given.
    struct Requested {
        std::int64_t article = 0;
        std::int32_t file = 0;
        std::int32_t part = 0;
    };
    int depth = 1;                            // requests in flight at most, for this group
    std::deque<Requested> requested;          // requests whose answer is still due, oldest first
    std::vector<nntp::ArticleRun> toRequest;  // the articles to ask for, in runs
    std::size_t nextRun = 0;                  // the run the next request comes from
    std::int64_t nextArticle = 0;             // within it, the next number
    std::int32_t nextFile = 0;                // the file number of the next request
    std::int32_t nextPart = 0;                // and its ".part" name's, never given twice
    // The server gave no list: every number of GROUP's range is asked for.
    bool byNumber = false;
    // Once an answer ends the group (or the cycle), the rest are only read
    // out; the end comes with the last of them.
    enum class Stop { None, Group, Cycle } stop = Stop::None;

    // The group's Message-IDs, read at its first article; the articles
    // passed over in this cycle as stored before.
    spool::MessageHistory history;
    int duplicates = 0;

    // The sysop's filter rules, read when the cycle's fetch begins; those
    // of the group at hand, and how many articles each rule kept out.
    spool::FilterRules filters;
    spool::GroupFilter groupFilter;
    std::vector<int> filtered;
    // Pipelined, the overview (OVER) judges the articles before they are
    // asked for: what a rule keeps out then costs no download. Numbers up
    // to overviewTo are judged; dropped holds those kept out, ascending.
    bool overview = false;
    bool overviewOut = false;  // an OVER is on its way
    bool noOverview = false;   // the server has none: not asked again this cycle
    std::int64_t overviewTo = 0;
    std::int64_t overviewAsked = 0;  // the end of the OVER on its way
    std::vector<std::int64_t> dropped;
    std::size_t droppedNext = 0;
    // Rules on headers the overview lacks are decided by HEAD, asked for
    // the articles of the stretch the overview let through; the stretch
    // counts as judged once every answer is in.
    bool heads = false;
    bool noHead = false;  // the server has none: not asked again this cycle
    std::vector<std::int64_t> headsDue;
    std::size_t headsNext = 0;
    std::size_t headsOut = 0;
    bool headsAbandoned = false;     // the group ended meanwhile: answers only read out
    std::size_t stretchDropped = 0;  // where the stretch's entries begin in dropped
};

// An article received that is not to be stored: one whose Message-ID the
// group already has, or one a filter rule keeps out. Its file is removed
// and it is passed over as a refused one would be.
bool PassedOver(NewsCycle& cycle, const spool::ArticleHeaders& headers, const std::string& path);
// Notes a stored article's Message-ID.
void RememberStored(NewsCycle& cycle, const spool::ArticleHeaders& headers);

void StoreLastFileNumIn(NewsCycle& cycle, std::int32_t value);
void StoreIndex(NewsCycle& cycle, std::int64_t value);
// False once the group has been unsubscribed during its fetch.
bool StillSubscribed(NewsCycle& cycle);
// Logs it and removes the group's directory, which the unsubscribe left.
void LogUnsubscribed(NewsCycle& cycle);
void RemoveLeftGroup(NewsCycle& cycle);
std::string ArticleFile(NewsCycle& cycle, std::int32_t fileNumber);
std::int32_t NextFileNumber(NewsCycle& cycle, std::int32_t n);
// The group is done; the next one starts before this returns.
void EndGroup(NewsCycle& cycle);
// Ends the cycle early, as its end would (no further group, no posting).
void StopCycle(NewsCycle& cycle);
// The handlers act only on completions of a live connection.
bool Live(const NewsCycle& cycle);
// The reply code a refusal's text begins with; 0 without one.
int ReplyCode(const char* text);
// Logs and notes an ARTICLE refusal that does not say the article is gone
// (the article at articleCursor stays due); returns its code.
int NoteWithheld(NewsCycle& cycle, const char* reply);
int NoteWithheldAt(NewsCycle& cycle, const char* reply, std::int64_t due);

// The pipelined exchange, after GROUP (fetch_pipeline.cpp).
void StartPipelinedFetch(NewsCycle& cycle);
// The overview's part of it (fetch_overview.cpp): whether `article` may be
// asked for yet (false: it waits for the overview), and whether it was kept
// out; the next OVER when the requests before it are done.
bool Judged(FetchState& fetch, std::int64_t article);
void TopUp(NewsCycle& cycle);
void GroupFetched(NewsCycle& cycle);
bool MoreToRequest(const FetchState& fetch);
bool Dropped(FetchState& fetch, std::int64_t article);
void RequestOverview(NewsCycle& cycle, std::int64_t from);
// The lock-step exchange of ARTICLE and NEXT from articleCursor.
void StartLockStepFetch(NewsCycle& cycle);

}  // namespace app
