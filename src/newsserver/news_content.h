// Article texts as the server holds and sends them; shared by the server and
// its fixtures. Not part of the server's interface for tests.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "newsserver/news_server.h"

namespace testsrv {

// An article ready to go out: `wire` is its text with CR LF line ends,
// dot-stuffed, followed by the terminating ".\r\n".
struct PreparedArticle {
    long number = 0;
    std::string messageId;
    std::string wire;
    std::string head;  // the header section alike, as HEAD sends it
    // The OVER line's fields after the number, tab-separated: Subject,
    // From, Date, Message-ID, References, bytes (the article with CR LF
    // line ends, not dot-stuffed), lines (of the body).
    std::string overview;
};

std::shared_ptr<const PreparedArticle> PrepareArticle(const std::string& group,
                                                      const Article& article);
// The value of the named header (lower case, with the colon: "subject:"),
// "" when the header part has none; continuation lines are not joined.
std::string HeaderValue(const std::string& text, const char* name);
// The value of the Message-ID header, or "" when the header part has none.
std::string FindMessageId(const std::string& text);
// "count first last" as GROUP shows them.
std::string GroupCounts(std::size_t count, long first, long last);
std::vector<Group> DemoGroups();
// Reads DIR/<group>/<number> files; false if DIR cannot be read.
bool ReadGroupDirectory(const std::string& dir, std::vector<Group>* groups);

}  // namespace testsrv
