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
};

std::shared_ptr<const PreparedArticle> PrepareArticle(const std::string& group,
                                                      const Article& article);
// The value of the Message-ID header, or "" when the header part has none.
std::string FindMessageId(const std::string& text);
// "count first last" as GROUP shows them.
std::string GroupCounts(std::size_t count, long first, long last);
std::vector<Group> DemoGroups();
// Reads DIR/<group>/<number> files; false if DIR cannot be read.
bool ReadGroupDirectory(const std::string& dir, std::vector<Group>* groups);

}  // namespace testsrv
