// A server in transit mode (innd on its feeding port) against the program.
#include "inn_support.h"

namespace interop {
namespace {

class InnTransitTest : public InnTest {};

// innd in transit mode answers GROUP with 401 until the client asks for
// reader mode; the program asks on its own.
TEST_F(InnTransitTest, ServerIsSwitchedToReaderMode) {
    {
        NntpProbe probe;
        std::string greeting;
        ASSERT_TRUE(probe.Open(inn_.host, inn_.transitPort, &greeting));
        ASSERT_NE(greeting.find("transit mode"), std::string::npos)
            << "port " << inn_.transitPort << " is expected in transit mode: " << greeting;
        ASSERT_EQ(probe.Command("GROUP qiv.test.mixed").substr(0, 3), "401");
    }
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.transitPort));
    ASSERT_EQ(Subscribe("qiv.test.mixed"), 1);
    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.Lines(), (std::vector<std::string>{
                             "Connecting to server", "Server connected",
                             "Getting messages from qiv.test.mixed", "Finished getting messages",
                             "Posting Messages", "Can't open index file",
                             "Disconnecting from Server", "Server disconnected"}));

    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    const std::vector<long> numbers = probe.ListGroup("qiv.test.mixed");
    const std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), numbers.size());
    for (std::size_t i = 0; i < index.size(); ++i) {
        EXPECT_EQ(index[i].articleNumber, std::to_string(numbers[i]));
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + index[i].fileName)),
                  probe.Article(std::to_string(numbers[i])));
    }

    // The group list comes from the reader side too.
    const ProgramResult list = Qiv({"list-groups"});
    EXPECT_EQ(list.status, 0) << list.out << list.err;
    EXPECT_NE(ReadFile(Spool("groups.txt")).find("\r\nqiv.test.mixed "), std::string::npos);
}

}  // namespace
}  // namespace interop
