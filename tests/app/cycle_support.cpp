#include "cycle_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/commands.h"
#include "app/cycles.h"
#include "app/news_cycle.h"
#include "app/settings.h"
#include "nntp/nntp_session.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "spool/index_record.h"

namespace apptest {

std::vector<IndexEntry> ReadIndex(const std::string& path) {
    const std::string bytes = ReadFile(path);
    std::vector<IndexEntry> entries;
    for (std::size_t at = 0; at + spool::kRecordSize <= bytes.size(); at += spool::kRecordSize) {
        const char* r = bytes.data() + at;
        IndexEntry e;
        e.group = std::stol(std::string(r + 1, static_cast<unsigned char>(r[0])));
        e.fileName = std::string(r + spool::kFileNameText, static_cast<unsigned char>(r[153]));
        e.articleNumber = std::stol(std::string(r + 312, static_cast<unsigned char>(r[311])));
        e.sender = std::string(r + spool::kSenderOffset, spool::kSenderWidth);
        e.subject = std::string(r + spool::kSubjectOffset);
        entries.push_back(e);
    }
    EXPECT_EQ(bytes.size() % spool::kRecordSize, 0u) << path;
    return entries;
}

std::string OutRecord(const std::string& name, unsigned char flag) {
    std::string record(13, '\0');
    record[0] = static_cast<char>(flag);
    record.replace(1, std::min<std::size_t>(name.size(), 12), name.substr(0, 12));
    return record;
}

std::string ArticleText(const std::string& group, long number) {
    return "From: Poster " + std::to_string(number) + " <p" + std::to_string(number) +
           "@example.invalid>\nNewsgroups: " + group + "\nSubject: Article " +
           std::to_string(number) + " of " + group + "\n\nBody of article " +
           std::to_string(number) + ".\n.a line with a dot\n";
}

testsrv::Group MakeGroup(const std::string& name, long first, long last) {
    testsrv::Group g;
    g.name = name;
    for (long n = first; n <= last; ++n) g.articles.push_back({n, ArticleText(name, n)});
    return g;
}

std::string Stored(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

void CycleTest::SetUp() {
    AppTest::SetUp();
    spool_ = MakeTempDir();
    mkdir((spool_ + "/news").c_str(), 0755);
    mkdir((spool_ + "/out").c_str(), 0755);
    ASSERT_TRUE(server_.Start());
}

void CycleTest::TearDown() {
    server_.Stop();
    AppTest::TearDown();
    RemoveTree(spool_);
}

void CycleTest::Configure(std::initializer_list<const char*> extra) {
    std::string text = IniText({("NNTPServer=" + serverName_).c_str()});
    text += "NNTPPort=" + std::to_string(port_ != 0 ? port_ : server_.Port()) + "\r\n";
    text += "QivNewsDir=" + spool_ + "\r\n";
    bool auth = false;
    bool groupNum = false;
    for (const char* line : extra) {
        text += std::string(line) + "\r\n";
        auth = auth || std::strncmp(line, "UserVerification", 16) == 0;
        groupNum = groupNum || std::strncmp(line, "LastGroupNum", 12) == 0;
    }
    if (!auth) text += "UserVerification=NO\r\n";
    if (pipelineDepth_ > 0) text += "PipelineDepth=" + std::to_string(pipelineDepth_) + "\r\n";
    if (!groupNum) {
        // One more than the highest section written so far.
        int highest = 0;
        for (int n = 1; n < 100; ++n)
            if (plat::ProfileSectionExists("NG" + std::to_string(n), "qivnews.ini")) highest = n;
        text += "LastGroupNum=" + std::to_string(highest + 1) + "\r\n";
    }
    WriteFile(dir_ + "/qiv.ini", text);
    Start(false);
}

void CycleTest::Subscribe(int n, const std::string& name, const char* index) {
    const std::string section = "NG" + std::to_string(n);
    ASSERT_TRUE(plat::WriteProfileString(section, "Name", name, "qivnews.ini"));
    if (index != nullptr) {
        ASSERT_TRUE(plat::WriteProfileString(section, "Index", index, "qivnews.ini"));
    }
    mkdir((spool_ + "/news/" + section).c_str(), 0755);
}

bool CycleTest::Pump(const std::function<bool()>& done, int boundMs) {
    return plat::PumpUntil(done, boundMs);
}

bool CycleTest::RunCycle(unsigned command) {
    Command(command != 0 ? command : app::IDM_CONNECT);
    return Pump([&] { return !Cycle().Running(); });
}

std::string CycleTest::Spool(const std::string& rel) const {
    return rel.empty() ? spool_ : spool_ + "/" + rel;
}

std::string CycleTest::Ini(const std::string& section, const std::string& key,
                           const std::string& file) const {
    return plat::GetProfileString(section, key, "(missing)", 256, file);
}

std::vector<std::string> CycleTest::LogFrom(const std::string& from) const {
    const std::vector<std::string>& log = ui_->Log();
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log[i] == from) return std::vector<std::string>(log.begin() + i, log.end());
    return {};
}

int CycleTest::LogCount(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : ui_->Log()) n += line.rfind(prefix, 0) == 0;
    return n;
}

std::vector<std::string> CycleTest::ServerCommands(const std::string& verb) const {
    std::vector<std::string> out;
    for (const std::string& c : server_.Commands())
        if (c.rfind(verb, 0) == 0 && (c.size() == verb.size() || c[verb.size()] == ' '))
            out.push_back(c);
    return out;
}

void CycleTest::ExpectDisconnectedState() {
    EXPECT_FALSE(Cycle().connected);
    EXPECT_TRUE(Cycle().appIdle);
    EXPECT_EQ(Cycle().currentGroup, 1);
    EXPECT_EQ(State().timerTicks, 0);
    EXPECT_FALSE(ui_->MenuItemGrayed(app::IDM_CONNECT));
    EXPECT_TRUE(ui_->MenuItemGrayed(app::IDM_DISCONNECT));
    EXPECT_FALSE(Cycle().report.running);
    // Nothing of the cycle stays open: the connection, an article file, the
    // post being read, the queue (all of them in the spool).
    EXPECT_TRUE(Pump([&] { return server_.OpenConnections() == 0; }, 5000))
        << "the connection to the server is still open";
    EXPECT_FALSE(app::PostingFilesOpen(Cycle()));
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(fd.path(), ignored).string();
        EXPECT_NE(target.rfind(spool_ + "/", 0), 0u) << "still open: " << target;
    }
}

void CycleTest::ExpectWorkedExampleStored() {
    for (long n = 0; n < 3; ++n) {
        const std::string file = Spool("news/NG1/0000000" + std::to_string(7 + n) + ".nws");
        EXPECT_EQ(ReadFile(file), Stored(ArticleText("alt.worked", 100 + n))) << file;
    }
    EXPECT_FALSE(Exists(Spool("news/NG1/00000010.nws")));
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    for (long n = 0; n < 3; ++n) {
        EXPECT_EQ(index[n].group, 1);
        EXPECT_EQ(index[n].fileName, "0000000" + std::to_string(7 + n) + ".nws");
        EXPECT_EQ(index[n].articleNumber, 100 + n);
        EXPECT_EQ(index[n].subject, "Article " + std::to_string(100 + n) + " of alt.worked");
    }
    EXPECT_EQ(index[0].sender, "p100@example.invali ") << "19 characters and a space";
    EXPECT_EQ(Setting("LastFileNumIn"), "10");
    EXPECT_EQ(Ini("NG1", "Index"), "103");
    EXPECT_EQ(ServerCommands("ARTICLE"),
              (std::vector<std::string>{"ARTICLE 100", "ARTICLE 101", "ARTICLE 102"}));
}

void CycleTest::ExpectGroupHolds(int n, const std::string& name,
                                 const std::vector<long>& articles, long firstFile) {
    SCOPED_TRACE("group " + std::to_string(n));
    const std::string dir = Spool("news/NG" + std::to_string(n));
    const std::vector<IndexEntry> index = ReadIndex(Spool(std::to_string(n) + ".grp"));
    std::vector<long> indexed;
    std::vector<std::string> named;
    for (std::size_t i = 0; i < index.size(); ++i) {
        indexed.push_back(index[i].articleNumber);
        named.push_back(index[i].fileName);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%08ld.nws", firstFile + static_cast<long>(i));
        if (firstFile >= 0) {
            EXPECT_EQ(index[i].fileName, expected) << "record " << i;
        } else if (i > 0) {
            EXPECT_GT(index[i].fileName, index[i - 1].fileName) << "record " << i;
        }
        EXPECT_EQ(ReadFile(dir + "/" + index[i].fileName),
                  Stored(ArticleText(name, index[i].articleNumber)))
            << index[i].fileName;
    }
    EXPECT_EQ(indexed, articles);
    std::sort(named.begin(), named.end());
    EXPECT_EQ(DirectoryNames(dir), named) << "files beside the indexed ones";
}

std::vector<std::string> CycleTest::DirectoryNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void ProgramCycleTest::SetUp() {
    CycleTest::SetUp();
    work_ = MakeTempDir();
}

void ProgramCycleTest::TearDown() {
    RemoveTree(work_);
    CycleTest::TearDown();
}

ProgramRun ProgramCycleTest::Run(std::vector<std::string> args) const {
    ProgramRun run;
    run.args = {"--profile-dir", dir_};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.workDir = work_;
    run.env["TMPDIR"] = work_;
    return run;
}

ProgramResult ProgramCycleTest::Qiv(std::vector<std::string> args, int boundMs) const {
    return RunProgram(Run(std::move(args)), boundMs);
}

std::vector<std::string> ProgramCycleTest::Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

std::vector<int> FetchDepths() {
    return {1, app::kDefaultPipelineDepth};
}

std::string DepthName(int depth) {
    return depth == 1 ? "LockStep" : "Depth" + std::to_string(depth);
}

}  // namespace apptest
