// The real program, run as a child process with --once or list-groups against
// the scriptable server on loopback, and what it leaves behind: the spool
// files, the index records, both profile files and its log on standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "cycle_support.h"
#include "platform/profile.h"
#include "run_program.h"

namespace apptest {
namespace {

using testsrv::Fault;

constexpr char kLost[] = "Connection to server lost";
constexpr char kIncomplete[] = "qivnews: --once: the cycle did not complete\n";

// The profile directory and the spool are the fixture's; the application is
// never started in this process, only the files are written and read here.
class OnceEndToEndTest : public ProgramCycleTest {
protected:
    // qiv.ini for the server and the spool plus extra lines; LastGroupNum is
    // one past the highest section written unless given.
    void Profile(std::initializer_list<const char*> extra = {}) {
        std::string text = IniText({"NNTPServer=127.0.0.1"});
        text += "NNTPPort=" + std::to_string(server_.Port()) + "\r\n";
        text += "QivNewsDir=" + spool_ + "\r\n";
        bool auth = false;
        bool groupNum = false;
        for (const std::string line : extra) {
            text += line + "\r\n";
            auth = auth || line.rfind("UserVerification", 0) == 0;
            groupNum = groupNum || line.rfind("LastGroupNum", 0) == 0;
        }
        if (!auth) text += "UserVerification=NO\r\n";
        if (!groupNum) {
            int highest = 0;
            for (int n = 1; n < 100; ++n)
                if (plat::ProfileSectionExists("NG" + std::to_string(n), "qivnews.ini"))
                    highest = n;
            text += "LastGroupNum=" + std::to_string(highest + 1) + "\r\n";
        }
        WriteFile(dir_ + "/qiv.ini", text);
        // As the program leaves it: one readable by others is tightened (and
        // logged) at start.
        chmod((dir_ + "/qiv.ini").c_str(), 0600);
    }

    static int Count(const std::string& out, const std::string& prefix) {
        int n = 0;
        for (const std::string& line : Lines(out)) n += line.rfind(prefix, 0) == 0;
        return n;
    }

    std::vector<long> Numbers(int group) const {
        std::vector<long> n;
        for (const IndexEntry& e : ReadIndex(Spool(std::to_string(group) + ".grp")))
            n.push_back(e.articleNumber);
        return n;
    }

    // An article file in the out directory whose subject is its name.
    void Queue(const std::string& name, const std::string& body = "text\r\n") {
        WriteFile(Spool("out/" + name),
                  "Newsgroups: alt.test\r\nSubject: " + name + "\r\n\r\n" + body);
    }
    static std::string PostedText(const std::string& name) {
        return "Newsgroups: alt.test\nSubject: " + name + "\n\ntext\n";
    }

    // A run that lost its connection: exit 1, the loss as the last line and
    // no disconnect.
    static void ExpectBrokenOff(const ProgramResult& r) {
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.err, kIncomplete);
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind(kLost, 0), 0u) << r.out;
        EXPECT_EQ(Count(r.out, kLost), 1) << r.out;
        EXPECT_EQ(Count(r.out, "Server disconnected"), 0) << r.out;
    }
};

TEST_F(OnceEndToEndTest, WorkedExampleThenANextRunThatFindsNothingNew) {
    server_.AddGroup(MakeGroup("alt.worked", 100, 102));
    Subscribe(1, "alt.worked", "0");
    Profile({"LastFileNumIn=7"});
    ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Getting messages from alt.worked",
                  "Finished getting messages", "Posting Messages", "Can't open index file",
                  "Disconnecting from Server", "Server disconnected"}));

    ExpectWorkedExampleStored();
    EXPECT_EQ(Setting("NNTPServer"), "127.0.0.1") << "the rest of qiv.ini is kept";

    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 3u);
    EXPECT_EQ(ServerCommands("GROUP").size(), 2u);
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 3u);
    EXPECT_EQ(Setting("LastFileNumIn"), "10");
    EXPECT_EQ(Ini("NG1", "Index"), "103");
    EXPECT_EQ(server_.Connections(), 2);
}

// setup --initial-fetch, then subscribe, then a cycle: the new group starts
// at its newest articles, the group with a position is not cut.
TEST_F(OnceEndToEndTest, InitialFetchSetUpFromTheCommandLineCapsOnlyANewGroup) {
    server_.AddGroup(MakeGroup("alt.old", 1, 5));
    server_.AddGroup(MakeGroup("alt.fresh", 10, 19));
    Subscribe(1, "alt.old", "2");
    Profile({"LastFileNumIn=0"});
    ProgramResult r = Qiv({"setup", "--initial-fetch", "4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Setting("InitialFetch"), "4");
    r = Qiv({"subscribe", "alt.fresh"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Numbers(1), (std::vector<long>{2, 3, 4, 5}));
    EXPECT_EQ(Numbers(2), (std::vector<long>{16, 17, 18, 19}));
    EXPECT_EQ(Ini("NG2", "Index"), "20");
    EXPECT_EQ(Count(r.out, "alt.fresh is new: starting at its newest 4 articles"), 1) << r.out;

    // 0 lifts the cap for the next new group.
    server_.AddGroup(MakeGroup("alt.later", 1, 5));
    ASSERT_EQ(Qiv({"setup", "--initial-fetch", "0"}).status, 0);
    EXPECT_EQ(Setting("InitialFetch"), "0");
    ASSERT_EQ(Qiv({"subscribe", "alt.later"}).status, 0);
    EXPECT_EQ(Qiv().status, 0);
    EXPECT_EQ(Numbers(3), (std::vector<long>{1, 2, 3, 4, 5}));
}

TEST_F(OnceEndToEndTest, OnlySubscribedGroupsInNumberOrderAndNothingForARetiredOne) {
    server_.AddGroup(MakeGroup("alt.one", 1, 2));
    server_.AddGroup(MakeGroup("alt.two", 1, 2));
    server_.AddGroup(MakeGroup("alt.three", 5, 5));
    Subscribe(3, "alt.three");
    Subscribe(1, "alt.one");
    ASSERT_TRUE(plat::WriteProfileString("NG2", "Name", "notsubscribed", "qivnews.ini"));
    Profile({"LastGroupNum=4", "LastFileNumIn=0"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    EXPECT_EQ(ServerCommands("GROUP"),
              (std::vector<std::string>{"GROUP alt.one", "GROUP alt.three"}));
    EXPECT_EQ(Count(r.out, "Getting messages from"), 2) << r.out;
    EXPECT_EQ(Numbers(1), (std::vector<long>{1, 2}));
    const std::vector<IndexEntry> three = ReadIndex(Spool("3.grp"));
    ASSERT_EQ(three.size(), 1u);
    EXPECT_EQ(three[0].group, 3);
    EXPECT_EQ(three[0].fileName, "00000002.nws");
    EXPECT_EQ(ReadFile(Spool("news/NG3/00000002.nws")), Stored(ArticleText("alt.three", 5)));
    EXPECT_FALSE(Exists(Spool("2.grp")));
    EXPECT_FALSE(Exists(Spool("news/NG2")));
    EXPECT_EQ(Ini("NG2", "Index"), "(missing)");
    EXPECT_EQ(Ini("NG1", "Index"), "3");
    EXPECT_EQ(Ini("NG3", "Index"), "6");
    EXPECT_EQ(Setting("LastFileNumIn"), "3");
    EXPECT_EQ(Setting("LastGroupNum"), "4");
}

TEST_F(OnceEndToEndTest, IndexBelowInsideBeyondMissingAndUnparsable) {
    for (const char* name : {"g.below", "g.inside", "g.beyond", "g.missing", "g.bad", "g.empty"})
        server_.AddGroup(MakeGroup(name, 100, 104));
    Subscribe(1, "g.below", "50");
    Subscribe(2, "g.inside", "103");
    Subscribe(3, "g.beyond", "121");
    Subscribe(4, "g.bad", "abc");
    Subscribe(5, "g.missing");
    Subscribe(6, "g.empty", "");
    Profile({"LastFileNumIn=0"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 1) << "the group skipped is work left undone\n" << r.out << r.err;

    EXPECT_EQ(Numbers(1), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(Numbers(2), (std::vector<long>{103, 104}));
    // Past the server's last article: another server's numbers; the group
    // starts again as a new one.
    EXPECT_EQ(Numbers(3), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(Ini("NG3", "Index"), "105");
    EXPECT_EQ(Count(r.out, "Index 121 of g.beyond is past the server's last article 104: starting again at 100"), 1);
    // Not fetched from the previous group's position, nor at all.
    EXPECT_FALSE(Exists(Spool("4.grp")));
    EXPECT_EQ(Ini("NG4", "Index"), "abc");
    EXPECT_EQ(Count(r.out, "NG4 skipped: its Index \"abc\" is not a number"), 1) << r.out;
    EXPECT_EQ(Numbers(5), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(Numbers(6), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(Ini("NG1", "Index"), "105");
    EXPECT_EQ(Ini("NG2", "Index"), "105");
    EXPECT_EQ(Ini("NG5", "Index"), "105");
    EXPECT_EQ(Ini("NG6", "Index"), "105");
    EXPECT_EQ(Setting("LastFileNumIn"), "22");
    // File numbers run on across the groups: 0-4, 5-6, 7-11, then 12-16 and
    // 17-21.
    EXPECT_EQ(ReadIndex(Spool("2.grp"))[0].fileName, "00000005.nws");
    EXPECT_EQ(ReadIndex(Spool("6.grp"))[4].fileName, "00000021.nws");
    EXPECT_EQ(ServerCommands("GROUP").size(), 5u) << "g.bad is never selected";
}

TEST_F(OnceEndToEndTest, RefusedArticleIsSkippedForGoodAndLeavesAGapInFileNumbers) {
    server_.AddGroup(MakeGroup("alt.gap", 100, 103));
    // The second ARTICLE (101) is refused as gone.
    server_.AddFault(Fault::Reply("ARTICLE", "423 no such article", 2));
    Subscribe(1, "alt.gap");
    Profile({"LastFileNumIn=7"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "423"), 0) << "a refused article is not logged";

    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[0].fileName, "00000007.nws");
    EXPECT_EQ(index[0].articleNumber, 100);
    EXPECT_EQ(index[1].fileName, "00000009.nws");
    EXPECT_EQ(index[1].articleNumber, 102);
    EXPECT_EQ(index[2].fileName, "00000010.nws");
    EXPECT_EQ(index[2].articleNumber, 103);
    EXPECT_FALSE(Exists(Spool("news/NG1/00000008.nws")));
    EXPECT_EQ(ReadFile(Spool("news/NG1/00000009.nws")), Stored(ArticleText("alt.gap", 102)));
    EXPECT_EQ(Ini("NG1", "Index"), "104");
    EXPECT_EQ(Setting("LastFileNumIn"), "11");
}

TEST_F(OnceEndToEndTest, RejectedGroupIsLoggedAndSkipped) {
    server_.AddGroup(MakeGroup("alt.there", 1, 1));
    Subscribe(1, "alt.gone", "5");
    Subscribe(2, "alt.there");
    Profile();
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Getting messages from alt.gone",
                  "411 no such newsgroup", "Getting messages from alt.there",
                  "Finished getting messages", "Posting Messages", "Can't open index file",
                  "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(Ini("NG1", "Index"), "5");
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(Numbers(2), (std::vector<long>{1}));
    EXPECT_EQ(Ini("NG2", "Index"), "2");
}

// A login demanded in the middle of a group: the run stops there, without
// later groups or a posting pass, and the next run fetches the article.
TEST_F(OnceEndToEndTest, LoginDemandedForAnArticleStopsTheRunAtThatArticle) {
    server_.AddGroup(MakeGroup("alt.login", 1, 3));
    server_.AddGroup(MakeGroup("alt.later", 1, 1));
    server_.AddFault(Fault::Reply("ARTICLE", "480 authentication required", 2));
    Subscribe(1, "alt.login");
    Subscribe(2, "alt.later");
    Queue("00000001.msg");
    WriteFile(Spool("out.dat"), OutRecord("00000001.msg"));
    Profile();
    ProgramResult r = Qiv();
    // The withheld article is work left undone: cron must hear of it.
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("NG1 stopped at article 2: 480 authentication required"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Getting messages from alt.login",
                  "NG1 stopped at article 2: 480 authentication required",
                  "Server wants a login before it sends articles", "Disconnecting from Server",
                  "Server disconnected"}));
    EXPECT_EQ(Numbers(1), (std::vector<long>{1}));
    EXPECT_EQ(Ini("NG1", "Index"), "2");
    EXPECT_FALSE(Exists(Spool("2.grp")));
    EXPECT_TRUE(server_.Posted().empty());

    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Numbers(1), (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(Numbers(2), (std::vector<long>{1}));
    EXPECT_EQ(server_.Posted().size(), 1u);
}

TEST_F(OnceEndToEndTest, PostingPassSkipsAFlaggedRecordAndDeletesWhatItPosted) {
    for (const char* name : {"one.txt", "two.txt", "three.txt"}) Queue(name);
    WriteFile(Spool("out.dat"),
              OutRecord("one.txt") + OutRecord("two.txt", 1) + OutRecord("three.txt"));
    Profile({"LastGroupNum=1"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("one.txt"), PostedText("three.txt")}));
    EXPECT_FALSE(Exists(Spool("out/one.txt")));
    EXPECT_TRUE(Exists(Spool("out/two.txt")));
    EXPECT_FALSE(Exists(Spool("out/three.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
}

TEST_F(OnceEndToEndTest, AQueuedPostThatIsALinkStaysUnpostedAndTheOthersGoOut) {
    // out/evil points at the profile, password and all.
    Queue("good.txt");
    ASSERT_EQ(symlink((dir_ + "/qiv.ini").c_str(), Spool("out/evil.txt").c_str()), 0);
    WriteFile(Spool("out.dat"), OutRecord("evil.txt") + OutRecord("good.txt"));
    Profile({"LastGroupNum=1", "QivNewsPassword=hunter2"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("good.txt")}));
    EXPECT_EQ(Count(r.out, "Refused " + Spool("out/evil.txt") + ": it is a symbolic link"), 1)
        << r.out;
    EXPECT_EQ(r.out.find("evil.txt;"), std::string::npos) << "one line for it: " << r.out;
    struct stat st;
    ASSERT_EQ(lstat(Spool("out/evil.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "left as it was";
    EXPECT_NE(ReadFile(dir_ + "/qiv.ini").find("QivNewsPassword=hunter2"), std::string::npos);
}

TEST_F(OnceEndToEndTest, AnOutDirectoryThatIsALinkIsNotPostedFromNorDeletedIn) {
    const std::string elsewhere = MakeTempDir();
    WriteFile(elsewhere + "/a.txt", "Newsgroups: alt.test\r\nSubject: a\r\n\r\ntext\r\n");
    RemoveTree(Spool("out"));
    ASSERT_EQ(symlink(elsewhere.c_str(), Spool("out").c_str()), 0);
    WriteFile(Spool("out.dat"), OutRecord("a.txt"));
    Profile({"LastGroupNum=1"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(server_.Posted().empty());
    EXPECT_TRUE(Exists(elsewhere + "/a.txt"));
    EXPECT_EQ(Count(r.out, "Refused " + Spool("out") + ": it is a symbolic link"), 1) << r.out;
    RemoveTree(elsewhere);
}

// A FIFO where the program expects its own file: refused at once, the run
// ends by itself (the lock with it), and the FIFO is left for the sysop.
TEST_F(OnceEndToEndTest, AFifoInPlaceOfASpoolFileNeverHoldsTheRun) {
    // Pipelined (the default), the article arrives as 00000000.part and is
    // renamed: a FIFO under its final name is replaced, never opened.
    const std::vector<std::string> places = {"out.dat", "1.grp", "news/NG1/00000000.part",
                                             "news/NG1/00000000.nws", "qivout.wrk"};
    server_.AddGroup(MakeGroup("alt.fifo", 1, 1));
    for (const std::string& place : places) {
        SCOPED_TRACE(place);
        // Article 1 due again, to be stored as file 0.
        RemoveTree(Spool("news/NG1"));
        unlink(Spool("1.grp").c_str());
        Subscribe(1, "alt.fifo", "0");
        Profile({"LastFileNumIn=0"});
        ASSERT_EQ(mkfifo(Spool(place).c_str(), 0666), 0);
        const ProgramResult r = Qiv({"--once"}, 20000);
        EXPECT_NE(r.status, -1) << "it did not end: " << r.out;
        // In the group's directory, a numbered name that no record gives is
        // removed when the group starts; elsewhere it is named each time it
        // is come across (the index: read, then appended).
        const bool swept = place.rfind("news/", 0) == 0;
        if (swept) {
            EXPECT_EQ(Count(r.out, "Removed 1 file of NG1 that no index record names"), 1)
                << r.out;
            EXPECT_EQ(ReadFile(Spool("news/NG1/00000000.nws")), Stored(ArticleText("alt.fifo", 1)));
        } else {
            EXPECT_GE(Count(r.out, "Refused " + Spool(place) + ": it is not a regular file"), 1)
                << r.out;
        }
        // The article's name goes after the broken transfer, as any part
        // of an article would; the others stay.
        struct stat st;
        if (place.find("news/") == std::string::npos) {
            ASSERT_EQ(lstat(Spool(place).c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
        }
        unlink(Spool(place).c_str());
        // The profile is free again: a second run gets it.
        EXPECT_NE(Qiv({"--once"}, 20000).status, -1);
    }
}

TEST_F(OnceEndToEndTest, AMissingGroupDirectoryIsMadeAndOneThatCannotBeIsSkipped) {
    server_.AddGroup(MakeGroup("alt.a", 1, 1));
    server_.AddGroup(MakeGroup("alt.b", 1, 1));
    server_.AddGroup(MakeGroup("alt.c", 1, 1));
    Subscribe(1, "alt.a");
    Subscribe(2, "alt.b");
    Subscribe(3, "alt.c");
    ASSERT_EQ(rmdir(Spool("news/NG1").c_str()), 0);
    // NG2 points out of the spool: no directory of ours, and not made either.
    const std::string elsewhere = MakeTempDir();
    ASSERT_EQ(rmdir(Spool("news/NG2").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), Spool("news/NG2").c_str()), 0);
    Queue("p.txt");
    WriteFile(Spool("out.dat"), OutRecord("p.txt"));
    Profile({"LastFileNumIn=0"});
    const ProgramResult r = Qiv();
    // The run went on past the group it could not fetch, but did not do all
    // it was there for.
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "Made the missing directory " + Spool("news/NG1")), 1) << r.out;
    EXPECT_EQ(Count(r.out, "NG2 skipped: its directory " + Spool("news/NG2") + " cannot be made"),
              1)
        << r.out;
    EXPECT_EQ(Numbers(1), (std::vector<long>{1}));
    EXPECT_FALSE(Exists(Spool("2.grp")));
    EXPECT_EQ(Numbers(3), (std::vector<long>{1})) << "the groups after it are fetched";
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("p.txt")}))
        << "and the posting pass runs";
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << "nothing stored through the link";
    RemoveTree(elsewhere);
}

TEST_F(OnceEndToEndTest, AQuotedSpoolDirectoryIsReadWithoutItsQuotes) {
    server_.AddGroup(MakeGroup("alt.q", 1, 1));
    Subscribe(1, "alt.q");
    Profile({"LastFileNumIn=0"});
    std::string text = ReadFile(dir_ + "/qiv.ini");
    const std::string plain = "QivNewsDir=" + spool_ + "\r\n";
    ASSERT_NE(text.find(plain), std::string::npos);
    text.replace(text.find(plain), plain.size(), "QivNewsDir=\"" + spool_ + "\"\r\n");
    WriteFile(dir_ + "/qiv.ini", text);
    chmod((dir_ + "/qiv.ini").c_str(), 0600);
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Numbers(1), (std::vector<long>{1}));
}

TEST_F(OnceEndToEndTest, AProfileWithThePasswordReadableByOthersIsTightenedAtStart) {
    Profile({"LastGroupNum=1", "QivNewsPassword=hunter2"});
    ASSERT_EQ(chmod((dir_ + "/qiv.ini").c_str(), 0644), 0);
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "qiv.ini was readable by others; made readable by its owner only");
    struct stat st;
    ASSERT_EQ(stat((dir_ + "/qiv.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(r.out.find("hunter2"), std::string::npos);
}

TEST_F(OnceEndToEndTest, TrailingBytesOfARecordAreIgnoredAndTwelveCharacterNamesAreWhole) {
    Queue("ABCDEFGH.TXT");
    Queue("b.txt");
    WriteFile(Spool("out.dat"), OutRecord("ABCDEFGH.TXT") + OutRecord("b.txt") + "x");
    ASSERT_EQ(ReadFile(Spool("out.dat")).size(), 27u);
    Profile({"LastGroupNum=1"});
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("ABCDEFGH.TXT"), PostedText("b.txt")}));
    EXPECT_FALSE(Exists(Spool("out/ABCDEFGH.TXT")));
    EXPECT_FALSE(Exists(Spool("out/b.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("ABCDEFGH.TXT", 0xFF) +
                                              OutRecord("b.txt", 0xFF) + "x");
}

TEST_F(OnceEndToEndTest, ExactLogOfAPassWithOnePostAndOfARejectedPost) {
    Queue("only.txt");
    WriteFile(Spool("out.dat"), OutRecord("only.txt"));
    Profile({"LastGroupNum=1"});
    ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Finished getting messages", "Posting Messages",
                                        "Finished posting essages", "Disconnecting from Server",
                                        "Server disconnected"}));
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("only.txt")}));
    EXPECT_FALSE(Exists(Spool("out/only.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");

    // A post the server refuses without a word on the article stops the
    // pass with the queue kept; the run reports it.
    Queue("a.txt");
    Queue("b.txt");
    const std::string queue = OutRecord("a.txt") + OutRecord("b.txt");
    WriteFile(Spool("out.dat"), queue);
    server_.AddFault(Fault::Reply("POST", "440 posting not allowed", 2));
    r = Qiv();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "qivnews: --once: Posting stopped; a.txt stays queued\n");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Finished getting messages", "Posting Messages",
                                        "440 posting not allowed",
                                        "Posting stopped; a.txt stays queued",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("only.txt")}));
    EXPECT_TRUE(Exists(Spool("out/a.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), queue);

    // A refused article (441) is the server's verdict: moved aside, and the
    // run is complete.
    server_.AddFault(Fault::Reply("POST_DATA", "441 posting failed", 2));
    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Finished getting messages", "Posting Messages",
                                        "441 posting failed",
                                        "a.txt refused by the server; moved to out/rejected/a.txt",
                                        "Finished posting essages", "Disconnecting from Server",
                                        "Server disconnected"}));
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("only.txt"), PostedText("b.txt")}));
    EXPECT_TRUE(Exists(Spool("out/rejected/a.txt")));
    EXPECT_FALSE(Exists(Spool("out/b.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
}

class OnceLoginTest : public OnceEndToEndTest {
protected:
    void Login(const char* user, const char* password) {
        server_.SetAccounts({{"joe", "secret"}});
        server_.AddGroup(MakeGroup("alt.a", 1, 1));
        Subscribe(1, "alt.a");
        const std::string u = std::string("QivNewsUsername=") + user;
        const std::string p = std::string("QivNewsPassword=") + password;
        Profile({"UserVerification=yes", u.c_str(), p.c_str(), "LastFileNumIn=0"});
    }
};

TEST_F(OnceLoginTest, AcceptedLoginThenTheFetchCycle) {
    Login("joe", "secret");
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Sending username",
                  "381 password required", "Sending password", "281 authentication accepted",
                  "Getting messages from alt.a", "Finished getting messages", "Posting Messages",
                  "Can't open index file", "Disconnecting from Server", "Server disconnected"}));
    ASSERT_GE(server_.Commands().size(), 3u);
    EXPECT_EQ(server_.Commands()[0], "MODE READER");
    EXPECT_EQ(server_.Commands()[1], "AUTHINFO USER joe");
    EXPECT_EQ(server_.Commands()[2], "AUTHINFO PASS secret");
    EXPECT_EQ(Numbers(1), (std::vector<long>{1}));
    EXPECT_EQ(Ini("NG1", "Index"), "2");
    EXPECT_EQ(r.out.find("secret"), std::string::npos) << "the password is never logged";
}

TEST_F(OnceLoginTest, RejectedUserStillSendsThePasswordAndTheRunFails) {
    server_.SetAuthReplies("481 no such user", "281 authentication accepted",
                           "481 authentication failed");
    Login("nobody", "secret");
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, kIncomplete);
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                                "Connecting to server", "Server connected", "Sending username",
                                "481 no such user", "Sending password", "481 authentication failed",
                                "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(ServerCommands("AUTHINFO PASS"), (std::vector<std::string>{"AUTHINFO PASS secret"}));
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(Ini("NG1", "Index"), "(missing)");
    EXPECT_EQ(Setting("LastFileNumIn"), "0");
}

TEST_F(OnceLoginTest, RejectedPasswordDisconnectsBeforeAnyGroup) {
    Login("joe", "wrong");
    const ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, kIncomplete);
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Sending username", "381 password required",
                                        "Sending password", "481 authentication failed",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(Setting("LastFileNumIn"), "0");
}

TEST_F(OnceEndToEndTest, GroupListIsStoredWithoutFetchingAndARefusedOneFails) {
    server_.AddGroup(MakeGroup("alt.b", 3, 4));
    server_.AddGroup(MakeGroup("alt.a", 1, 2));
    Subscribe(1, "alt.a");
    Profile({"LastFileNumIn=0"});
    ProgramResult r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Getting Group List", "Group list received",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(ReadFile(Spool("groups.txt")), "alt.a 2 1 y\r\nalt.b 4 3 y\r\n");
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_TRUE(ServerCommands("ARTICLE").empty());
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(Ini("NG1", "Index"), "(missing)");
    // Listing moves no counter.
    EXPECT_EQ(Setting("LastFileNumIn"), "0");
    EXPECT_EQ(Setting("LastGroupNum"), "2");

    server_.AddFault(Fault::Reply("LIST", "480 not for you", 2));
    r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, "qivnews: list-groups: the cycle did not complete\n");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Getting Group List", "480 not for you",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(ReadFile(Spool("groups.txt")), "alt.a 2 1 y\r\nalt.b 4 3 y\r\n");
}

TEST_F(OnceEndToEndTest, RefusedConnectionEndsAtOnceAndChangesNothing) {
    server_.AddGroup(MakeGroup("alt.r", 1, 1));
    Subscribe(1, "alt.r", "1");
    Queue("q.txt");
    WriteFile(Spool("out.dat"), OutRecord("q.txt"));
    Profile({"LastFileNumIn=4"});
    ASSERT_TRUE(
        plat::WriteProfileString("QIVNEWS", "NNTPPort", std::to_string(ClosedPort()), "qiv.ini"));
    const std::string groups = ReadFile(dir_ + "/qivnews.ini");
    const std::uint64_t start = plat::NowMs();
    const ProgramResult r = Qiv({"--once"}, 10000);
    EXPECT_LT(plat::NowMs() - start, 5000u);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kIncomplete);
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Could not connect to server"}));
    EXPECT_EQ(Setting("LastFileNumIn"), "4");
    EXPECT_EQ(ReadFile(dir_ + "/qivnews.ini"), groups);
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("q.txt"));
    EXPECT_TRUE(Exists(Spool("out/q.txt")));
    EXPECT_EQ(server_.Connections(), 0);
}

// Under systemd the journal files each line by the priority it carries;
// the same run with JOURNAL_STREAM naming another file prints as always.
TEST_F(OnceEndToEndTest, LinesToTheJournalCarryTheirPriority) {
    Profile();
    ASSERT_TRUE(
        plat::WriteProfileString("QIVNEWS", "NNTPPort", std::to_string(ClosedPort()), "qiv.ini"));
    ProgramRun run = Run();
    run.journal = true;
    ProgramResult r = RunProgram(run, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("<6>Connecting to server\n<6>Could not connect to server\n<3>") +
                         kIncomplete);
    EXPECT_EQ(r.err, "");

    run.args = {"--profile-dir", dir_, "subscribe", "alt.j"};
    r = RunProgram(run);
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.out.empty());
    for (const std::string& line : Lines(r.out)) EXPECT_EQ(line.rfind("<6>", 0), 0u) << r.out;
    run.args = {"--profile-dir", dir_, "subscribe"};
    r = RunProgram(run);
    EXPECT_EQ(r.status, 2);
    for (const std::string& line : Lines(r.out)) EXPECT_EQ(line.rfind("<3>", 0), 0u) << r.out;
    // Many names: each line with its own priority.
    run.args = {"--profile-dir", dir_, "subscribe", "alt.j", "extra"};
    r = RunProgram(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "<3>qivnews: subscribe: alt.j is subscribed already\n"
                     "<6>Subscribed to extra as group 2\n");

    run.journal = false;
    run.env["JOURNAL_STREAM"] = "1:1";
    run.args = {"--profile-dir", dir_, "--once"};
    r = RunProgram(run, 10000);
    EXPECT_EQ(r.out, "Connecting to server\nCould not connect to server\n");
    EXPECT_EQ(r.err, kIncomplete);
}

TEST_F(OnceEndToEndTest, ArticleCutOffIsStoredAndIndexedOnceByTheNextRun) {
    server_.AddGroup(MakeGroup("alt.cut", 100, 102));
    server_.AddFault(Fault::CloseAfter("ARTICLE", 120, 2));
    Subscribe(1, "alt.cut");
    Profile({"LastFileNumIn=7"});
    ProgramResult r = Qiv();
    ExpectBrokenOff(r);
    // An orderly close carries no reply text of its own.
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Getting messages from alt.cut",
                                        "Connection to server lost: Connection lost"}));
    // The first article is kept and counted; the cut one left nothing.
    EXPECT_EQ(Setting("LastFileNumIn"), "8");
    EXPECT_EQ(Ini("NG1", "Index"), "101");
    EXPECT_EQ(Numbers(1), (std::vector<long>{100}));
    EXPECT_FALSE(Exists(Spool("news/NG1/00000008.nws")));

    server_.ClearFaults();
    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out).back(), "Server disconnected");
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    for (long n = 0; n < 3; ++n) {
        EXPECT_EQ(index[n].articleNumber, 100 + n);
        EXPECT_EQ(index[n].fileName, "0000000" + std::to_string(7 + n) + ".nws");
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + index[n].fileName)),
                  Stored(ArticleText("alt.cut", 100 + n)));
    }
    EXPECT_FALSE(Exists(Spool("news/NG1/00000010.nws")));
    EXPECT_EQ(Ini("NG1", "Index"), "103");
    EXPECT_EQ(Setting("LastFileNumIn"), "10");
    EXPECT_EQ(ServerCommands("ARTICLE"), (std::vector<std::string>{"ARTICLE 100", "ARTICLE 101",
                                                                   "ARTICLE 101", "ARTICLE 102"}));
}

TEST_F(OnceEndToEndTest, ArticleCutOffAfterARefusedOneKeepsItsFileNumber) {
    server_.AddGroup(MakeGroup("alt.cut", 100, 102));
    server_.AddFault(Fault::Reply("ARTICLE", "423 gone", 1));
    server_.AddFault(Fault::CloseAfter("ARTICLE", 120, 2));
    Subscribe(1, "alt.cut");
    Profile({"LastFileNumIn=7"});
    ProgramResult r = Qiv();
    ExpectBrokenOff(r);
    // 100 was refused (no file, number 7 used up); 101 was to become 8.
    EXPECT_EQ(Ini("NG1", "Index"), "101");
    EXPECT_EQ(Setting("LastFileNumIn"), "8");
    EXPECT_FALSE(Exists(Spool("1.grp")));

    server_.ClearFaults();
    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index[0].articleNumber, 101);
    EXPECT_EQ(index[0].fileName, "00000008.nws");
    EXPECT_EQ(index[1].articleNumber, 102);
    EXPECT_EQ(index[1].fileName, "00000009.nws");
    EXPECT_FALSE(Exists(Spool("news/NG1/00000007.nws")));
    EXPECT_EQ(Setting("LastFileNumIn"), "10");
}

TEST_F(OnceEndToEndTest, PostCutOffKeepsItsFileAndTheWholeQueue) {
    server_.AddGroup(MakeGroup("alt.none", 1, 0));
    Subscribe(1, "alt.none");
    const std::string queue = OutRecord("a.txt") + OutRecord("b.txt") + OutRecord("c.txt");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) Queue(name);
    WriteFile(Spool("out.dat"), queue);
    // The second article is cut off after its first line.
    server_.AddFault(Fault::Close("POST_LINE", 6));
    Profile();
    ProgramResult r = Qiv();
    ExpectBrokenOff(r);
    EXPECT_FALSE(Exists(Spool("out/a.txt")));
    EXPECT_TRUE(Exists(Spool("out/b.txt")));
    EXPECT_TRUE(Exists(Spool("out/c.txt")));
    // The record of the posted article is marked as handled in place.
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("a.txt", 0xFF) + queue.substr(13));
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("a.txt")}));

    server_.ClearFaults();
    r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "a.txt"), 0) << r.out;
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("a.txt"), PostedText("b.txt"),
                                                          PostedText("c.txt")}));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    EXPECT_FALSE(Exists(Spool("out/b.txt")));
    EXPECT_FALSE(Exists(Spool("out/c.txt")));
}

}  // namespace
}  // namespace apptest
