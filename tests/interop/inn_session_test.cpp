// Logging in, the group list and a server in transit mode, against INN.
#include "inn_support.h"

namespace interop {
namespace {

class InnSessionTest : public InnTest {};

// Lines of the log that start with prefix.
std::vector<std::string> Starting(const std::vector<std::string>& lines,
                                  const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& l : lines)
        if (l.rfind(prefix, 0) == 0) found.push_back(l);
    return found;
}

TEST_F(InnSessionTest, AcceptedLoginFetchesTheGroup) {
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.authPort, inn_.user, inn_.password));
    ASSERT_EQ(Subscribe("qiv.test.mixed"), 1);
    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> log = r.Lines();
    ASSERT_EQ(log.size(), 12u) << r.out;
    EXPECT_EQ(log[2], "Sending username");
    EXPECT_EQ(log[3].substr(0, 4), "381 ");
    EXPECT_EQ(log[4], "Sending password");
    EXPECT_EQ(log[5].substr(0, 4), "281 ");
    EXPECT_EQ(log[6], "Getting messages from qiv.test.mixed");
    EXPECT_EQ(log.back(), "Server disconnected");

    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    const std::vector<long> numbers = probe.ListGroup("qiv.test.mixed");
    const std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), numbers.size());
    EXPECT_EQ(index.back().articleNumber, std::to_string(numbers.back()));
    EXPECT_EQ(ReadFile(Spool("news/NG1/" + index.back().fileName)),
              probe.Article(std::to_string(numbers.back())));
}

TEST_F(InnSessionTest, RefusedLoginEndsTheCycleWithoutFetching) {
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.authPort, inn_.user, "not-" + inn_.password));
    ASSERT_EQ(Subscribe("qiv.test.mixed"), 1);
    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 1) << r.out;
    const std::vector<std::string> log = r.Lines();
    ASSERT_EQ(log.size(), 8u) << r.out;
    EXPECT_EQ(log[4], "Sending password");
    EXPECT_EQ(log[5].substr(0, 4), "481 ");
    EXPECT_EQ(log[6], "Disconnecting from Server");
    EXPECT_EQ(log[7], "Server disconnected");
    EXPECT_NE(r.err.find("the cycle did not complete"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_TRUE(ListDir(Spool("news/NG1")).empty());
    EXPECT_EQ(GroupKey(1, "Index"), "");

    // Without logging in, the server refuses the group; the refusal is
    // logged and the cycle goes on to its end.
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.authPort));
    const ProgramResult anonymous = Qiv({"--once"});
    const std::vector<std::string> refusals = Starting(anonymous.Lines(), "480 ");
    EXPECT_EQ(refusals.size(), 1u) << anonymous.out;
    EXPECT_EQ(anonymous.Lines().back(), "Server disconnected");
    EXPECT_FALSE(Exists(Spool("1.grp")));
}

TEST_F(InnSessionTest, GroupListIsTheServersActiveList) {
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.authPort, inn_.user, inn_.password));
    const ProgramResult r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Starting(r.Lines(), "Group list received").size(), 1u) << r.out;

    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    ASSERT_EQ(probe.Command("LIST").substr(0, 3), "215");
    std::vector<std::string> active;
    ASSERT_TRUE(probe.Data(active));

    const std::string stored = ReadFile(Spool("groups.txt"));
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = stored.find("\r\n", start)) != std::string::npos; start = nl + 2)
        lines.push_back(stored.substr(start, nl - start));
    EXPECT_EQ(start, stored.size()) << "every line ends in CR LF";
    ASSERT_EQ(lines.size(), active.size());
    // The counts of the posting group move while other tests post to it.
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string name = active[i].substr(0, active[i].find(' '));
        if (name == "qiv.test.post" || name.rfind("qiv.bench", 0) == 0)
            EXPECT_EQ(lines[i].substr(0, name.size() + 1), name + " ");
        else
            EXPECT_EQ(lines[i], active[i]);
    }
    for (const char* group : {"qiv.test.plain ", "qiv.test.mixed ", "qiv.test.post "})
        EXPECT_NE(stored.find(std::string("\r\n") + group), std::string::npos) << group;
}

}  // namespace
}  // namespace interop
