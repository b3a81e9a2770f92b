// The posting pass against INN: what the board queued reaches the server
// with its body intact, dot-stuffed lines included, and is readable from it
// afterwards; a refused post is logged and does not stop the pass.
#include "inn_support.h"

namespace interop {
namespace {

class InnPostTest : public InnTest {
protected:
    // A 13-byte out.dat record.
    static std::string Record(const std::string& name, char flag = 0) {
        std::string record(13, '\0');
        record[0] = flag;
        record.replace(1, name.size(), name);
        return record;
    }
    // Writes an article to the out directory as the board does (text mode:
    // CR LF) and returns its message id.
    std::string Queue(const std::string& name, const std::string& subject,
                      const std::vector<std::string>& body, bool withSubject = true) {
        const std::string id = "<qiv-interop." + UniqueTag() + "@qiv.test>";
        std::vector<std::string> lines = {"Newsgroups: qiv.test.post",
                                          "From: Qiv Interop <interop@qiv.test>"};
        if (withSubject) lines.push_back("Subject: " + subject);
        lines.push_back("Message-ID: " + id);
        lines.push_back("");
        lines.insert(lines.end(), body.begin(), body.end());
        WriteFile(Spool("out/" + name), CrLf(lines));
        return id;
    }
};

TEST_F(InnPostTest, QueuedArticlesArePostedAndReadableFromTheServer) {
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
    const std::string tag = UniqueTag();
    const std::vector<std::string> body = {"First line of the body.",
                                           ".A line that starts with a dot",
                                           "..Two dots",
                                           ".",
                                           "",
                                           "Tab\there, and a line of 150 characters next:",
                                           std::string(150, 'x'),
                                           "Last line"};
    const std::string first = Queue("first.txt", "Interop post " + tag + " first", body);
    const std::string held = Queue("held.txt", "Interop post " + tag + " held", {"Held."});
    const std::string refused = Queue("refused.txt", "", {"No subject."}, false);
    const std::string last = Queue("last.txt", "Interop post " + tag + " last", {"The end."});
    WriteFile(Spool("out.dat"), Record("first.txt") + Record("held.txt", 1) +
                                    Record("refused.txt") + Record("last.txt"));

    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> log = r.Lines();
    ASSERT_EQ(log.size(), 9u) << r.out;
    EXPECT_EQ(log[3], "Posting Messages");
    EXPECT_EQ(log[4].substr(0, 4), "441 ") << "the refused post's reply";
    EXPECT_EQ(log[5], "refused.txt refused by the server; moved to out/rejected/refused.txt");
    EXPECT_EQ(log[6], "Finished posting essages");
    EXPECT_EQ(log[8], "Server disconnected");

    // Every posted file is gone, the refused one is set aside, the flagged
    // one stays, and the queue is emptied.
    EXPECT_EQ(ListDir(Spool("out")), (std::vector<std::string>{"held.txt", "rejected"}));
    EXPECT_EQ(ListDir(Spool("out/rejected")), std::vector<std::string>{"refused.txt"});
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");

    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    const std::string posted = probe.Article(first);
    ASSERT_FALSE(posted.empty()) << first << " is not on the server";
    EXPECT_EQ(BodyOf(posted), CrLf(body));
    EXPECT_EQ(HeaderOf(posted, "Subject"), "Interop post " + tag + " first");
    EXPECT_EQ(HeaderOf(posted, "Newsgroups"), "qiv.test.post");
    EXPECT_EQ(HeaderOf(posted, "From"), "Qiv Interop <interop@qiv.test>");
    EXPECT_EQ(BodyOf(probe.Article(last)), "The end.\r\n");
    EXPECT_EQ(probe.Article(held), "");
    EXPECT_EQ(probe.Command("STAT " + refused).substr(0, 3), "430");
}

TEST_F(InnPostTest, LoggedInPostReachesTheServer) {
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.authPort, inn_.user, inn_.password));
    const std::string tag = UniqueTag();
    const std::string id = Queue("auth.txt", "Interop post " + tag + " auth", {"..", "Signed in."});
    WriteFile(Spool("out.dat"), Record("auth.txt"));

    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ListDir(Spool("out")), std::vector<std::string>{});

    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    EXPECT_EQ(BodyOf(probe.Article(id)), "..\r\nSigned in.\r\n");
}

}  // namespace
}  // namespace interop
