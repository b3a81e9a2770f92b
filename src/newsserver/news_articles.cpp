// Groups and their articles: GROUP, LISTGROUP, ARTICLE, HEAD, OVER, NEXT and LIST.
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "newsserver/news_session.h"

namespace testsrv {

namespace detail {

bool Session::HandleGroup(const std::string& name) {
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        auto it = s_.groups.find(name);
        if (it == s_.groups.end()) {
            reply = "411 no such newsgroup";
        } else {
            const auto& arts = it->second.articles;
            const long high = std::max(arts.empty() ? 0 : arts.rbegin()->first, it->second.highWater);
            group_ = name;
            current_ = arts.empty() ? 0 : arts.begin()->first;
            reply = "211 " + GroupCounts(arts.size(), arts.empty() ? high + 1 : arts.begin()->first, high) +
                    " " + name;
        }
    }
    return Deliver("GROUP", {reply + "\r\n"});
}

// "LISTGROUP [group [first[-[last]]]]": selects the group as GROUP does and
// lists the numbers of its articles within the range.
bool Session::HandleListGroup(const std::string& arg) {
    std::string name, range;
    SplitWord(arg, &name, &range);
    std::string reply;
    std::string body;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (!s_.listGroup) {
            reply = "500 unknown command";
        } else if (name.empty() && group_.empty()) {
            reply = "412 no newsgroup selected";
        } else if (!name.empty() && s_.groups.count(name) == 0) {
            reply = "411 no such newsgroup";
        }
        long low = 0;
        long high = LONG_MAX;
        if (reply.empty() && !range.empty()) {
            char* end = nullptr;
            low = std::strtol(range.c_str(), &end, 10);
            if (*end == '-') {
                high = end[1] == '\0' ? LONG_MAX : std::strtol(end + 1, &end, 10);
                if (high != LONG_MAX && *end != '\0') reply = "501 syntax error";
            } else if (*end == '\0') {
                high = low;
            } else {
                reply = "501 syntax error";
            }
        }
        if (reply.empty()) {
            if (!name.empty()) group_ = name;
            const auto& data = s_.groups[group_];
            const auto& arts = data.articles;
            const long last = std::max(arts.empty() ? 0 : arts.rbegin()->first, data.highWater);
            current_ = arts.empty() ? 0 : arts.begin()->first;
            reply = "211 " + GroupCounts(arts.size(), arts.empty() ? last + 1 : arts.begin()->first,
                                         last) +
                    " " + group_ + " list follows";
            for (auto it = arts.lower_bound(low); it != arts.end() && it->first <= high; ++it)
                body += std::to_string(it->first) + "\r\n";
            body += ".\r\n";
        }
    }
    if (body.empty()) return Deliver("LISTGROUP", {reply + "\r\n"});
    return Deliver("LISTGROUP", WithBody(reply + "\r\n", body));
}

bool Session::HandleArticle(const std::string& arg, bool headOnly) {
    const char* step = headOnly ? "HEAD" : "ARTICLE";
    std::shared_ptr<const PreparedArticle> article;
    std::string reply;
    long number = 0;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (headOnly && !s_.head) {
            reply = "500 unknown command";
        } else if (!arg.empty() && arg[0] == '<') {
            for (const auto& [name, data] : s_.groups) {
                for (const auto& [n, a] : data.articles) {
                    if (a->messageId == arg) article = a;
                }
            }
            if (!article) reply = "430 no article with that message-id";
        } else if (group_.empty() || s_.groups.count(group_) == 0) {
            reply = "412 no newsgroup has been selected";
        } else {
            const auto& arts = s_.groups[group_].articles;
            if (arg.empty()) {
                number = current_;
                if (number == 0) reply = "420 no current article has been selected";
            } else {
                char* end = nullptr;
                number = strtol(arg.c_str(), &end, 10);
                if (end == arg.c_str() || *end != '\0') reply = "501 syntax error";
            }
            if (reply.empty()) {
                auto it = arts.find(number);
                if (it == arts.end()) {
                    reply = "423 no such article number in this group";
                } else {
                    article = it->second;
                    current_ = number;
                }
            }
        }
    }
    if (!article) return Deliver(step, {reply + "\r\n"});
    std::string status = (headOnly ? "221 " : "220 ") + std::to_string(number) + " " +
                         article->messageId + (headOnly ? " head\r\n" : " article\r\n");
    return Deliver(step, WithBody(status, headOnly ? article->head : article->wire));
}

// "OVER [first[-[last]]]" of the selected group; no range: the current
// article.
bool Session::HandleOver(const std::string& range) {
    std::string reply;
    std::string body;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (!s_.over) {
            reply = "500 unknown command";
        } else if (group_.empty() || s_.groups.count(group_) == 0) {
            reply = "412 no newsgroup selected";
        }
        long low = current_;
        long high = current_;
        if (reply.empty() && !range.empty()) {
            char* end = nullptr;
            low = std::strtol(range.c_str(), &end, 10);
            high = low;
            if (end == range.c_str()) {
                reply = "501 syntax error";
            } else if (*end == '-') {
                high = end[1] == '\0' ? LONG_MAX : std::strtol(end + 1, &end, 10);
                if (high != LONG_MAX && *end != '\0') reply = "501 syntax error";
            } else if (*end != '\0') {
                reply = "501 syntax error";
            }
        } else if (reply.empty() && current_ == 0) {
            reply = "420 no current article selected";
        }
        if (reply.empty()) {
            const auto& arts = s_.groups[group_].articles;
            for (auto it = arts.lower_bound(low); it != arts.end() && it->first <= high; ++it)
                body += std::to_string(it->first) + "\t" + it->second->overview + "\r\n";
            if (body.empty()) {
                reply = "423 no articles in that range";
            } else {
                reply = "224 overview information follows";
                body += ".\r\n";
            }
        }
    }
    if (body.empty()) return Deliver("OVER", {reply + "\r\n"});
    return Deliver("OVER", WithBody(reply + "\r\n", body));
}

bool Session::HandleNext() {
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        auto it = s_.groups.find(group_);
        if (group_.empty() || it == s_.groups.end()) {
            reply = "412 no newsgroup has been selected";
        } else if (current_ == 0) {
            reply = "420 no current article has been selected";
        } else {
            auto next = it->second.articles.upper_bound(current_);
            if (next == it->second.articles.end()) {
                reply = "421 no next article in this group";
            } else {
                current_ = next->first;
                reply = "223 " + std::to_string(next->first) + " " + next->second->messageId +
                        " article retrieved";
            }
        }
    }
    return Deliver("NEXT", {reply + "\r\n"});
}

bool Session::HandleList(const std::string& arg) {
    if (!arg.empty() && Upper(arg) != "ACTIVE") return Deliver("LIST", {"501 syntax error\r\n"});
    std::string body;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        for (const auto& [name, data] : s_.groups) {
            const auto& arts = data.articles;
            long first = arts.empty() ? 1 : arts.begin()->first;
            long last = arts.empty() ? 0 : arts.rbegin()->first;
            body += name + " " + std::to_string(last) + " " + std::to_string(first) + " " +
                    data.postingFlag + "\r\n";
        }
    }
    body += ".\r\n";
    return Deliver("LIST", WithBody("215 list of newsgroups follows\r\n", body));
}

}  // namespace detail

}  // namespace testsrv
