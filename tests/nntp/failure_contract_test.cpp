// For every operation, the owner tells a success, a refusal by the server
// and an exchange broken in the middle apart by the result alone; a refusal
// leaves the connection usable, a break ends it and says nothing more.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;

struct Operation {
    const char* name;
    const char* step;     // the server's step that answers it
    const char* refusal;  // a reply that refuses it
    Fault breakFault;     // breaks it in the middle
    std::function<void(LoopbackTest&)> prepare;
    std::function<void()> run;
};

class ContractTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        server.GenerateArticles("misc.test", 3, 4000, 10);
        server.SetAccounts({{"joe", "pw"}}, false);
        session.groupName = "misc.test";
        session.userName = "joe";
        session.password = "pw";
        ASSERT_TRUE(input.Open(WriteArticle()));
    }

    std::string WriteArticle() {
        std::string text = "Subject: t\n\n";
        for (int i = 0; i < 30; ++i) text += "line " + std::to_string(i) + "\n";
        const std::string path = dir + "/post.txt";
        WriteFile(path, text);
        return path;
    }

    void Start(const Operation& op) {
        owner.Settle();
        server.ClearFaults();
        if (std::strcmp(op.name, "Connect") != 0) Open();
        if (op.prepare) op.prepare(*this);
    }

    std::vector<Operation> Operations() {
        auto window = owner.window();
        auto selectGroup = [this](LoopbackTest&) {
            ASSERT_EQ(nntp::ResultSuccess,
                      Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
        };
        return {
            {"Connect", "GREETING", "400 busy", Fault::CloseAfter("GREETING", 5), nullptr,
             [=, this] { session.Connect(window, kConnect, serverConfig); }},
            {"SendUser", "AUTHINFO USER", "481 no", Fault::CloseAfter("AUTHINFO USER", 3), nullptr,
             [=, this] { session.SendUser(window, kUser); }},
            {"SendPass", "AUTHINFO PASS", "481 no", Fault::CloseAfter("AUTHINFO PASS", 3),
             [this](LoopbackTest&) { Do([&] { session.SendUser(owner.window(), kUser); }); },
             [=, this] { session.SendPass(window, kPass); }},
            {"SelectGroup", "GROUP", "411 no such group", Fault::CloseAfter("GROUP", 3), nullptr,
             [=, this] { session.SelectGroup(window, kGroup); }},
            {"NextArticle", "NEXT", "421 no next", Fault::CloseAfter("NEXT", 3), selectGroup,
             [=, this] { session.NextArticle(window, kNext); }},
            {"FetchArticle", "ARTICLE", "423 no such article", Fault::CloseAfter("ARTICLE", 900),
             selectGroup, [=, this] { session.FetchArticle(window, kArticle, 11); }},
            {"ListGroups", "LIST", "480 not allowed", Fault::CloseAfter("LIST", 40), nullptr,
             [=, this] { session.ListGroups(window, kList); }},
            {"PostArticle", "POST", "440 posting not allowed", Fault::Close("POST_DATA"), nullptr,
             [=, this] { session.PostArticle(window, kPost, &input); }},
        };
    }

    plat::TextReader input;
};

TEST_F(ContractTest, EachOperationReportsSuccessRefusalAndBreakApart) {
    for (const Operation& op : Operations()) {
        SCOPED_TRACE(op.name);
        // Success.
        Start(op);
        if (std::strcmp(op.name, "SendUser") == 0)
            server.AddFault(Fault::Reply("AUTHINFO USER", "281 ok"));
        Note n = Do(op.run);
        EXPECT_EQ(nntp::ResultSuccess, n.result) << n.text;

        // Refused: the reply's text, and a connection that goes on working.
        Start(op);
        server.AddFault(Fault::Reply(op.step, op.refusal));
        n = Do(op.run);
        EXPECT_EQ(nntp::ResultFailure, n.result);
        EXPECT_EQ(op.refusal, n.text);
        EXPECT_TRUE(session.SocketOpen());
        if (std::strcmp(op.name, "Connect") != 0) {
            server.ClearFaults();
            EXPECT_EQ(nntp::ResultSuccess,
                      Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
        }

        // Broken in the middle: one notification, and the connection gone.
        Start(op);
        server.AddFault(op.breakFault);
        const std::size_t before = owner.notes.size();
        n = Do(op.run);
        EXPECT_EQ(nntp::ResultBroken, n.result);
        EXPECT_EQ("Connection lost", n.text);
        owner.Settle();
        EXPECT_EQ(before + 1, owner.notes.size());
        EXPECT_FALSE(session.SocketOpen());
    }
}

}  // namespace
}  // namespace nntptest
