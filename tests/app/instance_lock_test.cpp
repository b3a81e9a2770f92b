// The profile lock: one gateway per profile directory, subcommands waiting
// for each other, and a lock or socket left by a killed gateway.
#include "app/instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <filesystem>

#include "app_fixture.h"
#include "gateway_support.h"

namespace apptest {
namespace {

TEST(ProfileLockTest, OneHolderAtATimeAndTheFileNamesIt) {
    const std::string dir = MakeTempDir();
    app::ProfileLock first;
    app::ProfileLock second;
    app::LockOwner owner;
    std::string error;
    ASSERT_EQ(first.TryTake(dir, "headless", owner, error), app::LockResult::Taken) << error;
    const std::string path = dir + "/" + app::kLockFileName;
    EXPECT_EQ(ReadFile(path), std::to_string(getpid()) + " headless\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // flock belongs to the open file, so a second one conflicts even here.
    EXPECT_EQ(second.TryTake(dir, "subscribe", owner, error), app::LockResult::Held);
    EXPECT_EQ(owner.pid, getpid());
    EXPECT_EQ(owner.mode, "headless");
    EXPECT_EQ(owner.Describe(), "pid " + std::to_string(getpid()) + ", headless");
    EXPECT_FALSE(second.Held());

    first.Release();
    EXPECT_EQ(second.TryTake(dir, "subscribe", owner, error), app::LockResult::Taken);
    EXPECT_EQ(ReadFile(path), std::to_string(getpid()) + " subscribe\n");
    second.Release();

    EXPECT_EQ(first.TryTake(dir + "/missing", "once", owner, error), app::LockResult::Failed);
    EXPECT_NE(error.find(dir + "/missing"), std::string::npos) << error;
    RemoveTree(dir);
}

TEST(ProfileLockTest, OwnerTextThatDoesNotSayWhoIsUnknown) {
    for (const char* text : {"", "123 headless", "x headless\n", "123 \n", " headless\n",
                             "123 Head\n", "12345678901 once\n"}) {
        SCOPED_TRACE(text);
        const app::LockOwner owner = app::ParseLockOwner(text);
        EXPECT_EQ(owner.pid, 0);
        EXPECT_EQ(owner.Describe(), "another process");
    }
    const app::LockOwner owner = app::ParseLockOwner("42 list-groups\nrest");
    EXPECT_EQ(owner.pid, 42);
    EXPECT_EQ(owner.mode, "list-groups");
    EXPECT_FALSE(app::IsGatewayMode(owner.mode));
    EXPECT_TRUE(app::IsGatewayMode("once"));
}

TEST(ProfileLockTest, AKilledHolderLeavesTheLockFree) {
    const std::string dir = MakeTempDir();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        app::ProfileLock lock;
        app::LockOwner owner;
        std::string error;
        const char ok = lock.TryTake(dir, "headless", owner, error) == app::LockResult::Taken;
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_TRUE(ok);
    app::ProfileLock lock;
    app::LockOwner owner;
    std::string error;
    EXPECT_EQ(lock.TryTake(dir, "once", owner, error), app::LockResult::Held);
    EXPECT_EQ(owner.pid, child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(lock.TryTake(dir, "once", owner, error), app::LockResult::Taken);
    close(ready[0]);
    close(ready[1]);
    RemoveTree(dir);
}

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = MakeTempDir();
        mkdir((work_ + "/g").c_str(), 0700);
        mkdir((work_ + "/c").c_str(), 0700);
        profile_ = work_ + "/p";
        mkdir(profile_.c_str(), 0700);
        spool_ = work_ + "/spool";
        for (const std::string& d : {spool_, spool_ + "/news", spool_ + "/out"})
            mkdir(d.c_str(), 0755);
        WriteFile(profile_ + "/qiv.ini",
                  IniText({"NNTPServer=127.0.0.1", "NNTPPort=9", "UserVerification=NO",
                           ("QivNewsDir=" + spool_).c_str(), "LastGroupNum=1"}));
    }
    void TearDown() override { RemoveTree(work_); }

    ProgramResult Qiv(std::vector<std::string> args) {
        ProgramRun run;
        run.args = {"--profile-dir", profile_};
        run.args.insert(run.args.end(), args.begin(), args.end());
        run.workDir = work_ + "/c";
        return RunProgram(run);
    }
    // True once process pid has the profile's lock file open: it is trying.
    bool HasLockFileOpen(pid_t pid) {
        const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(fdDir, ec)) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(entry.path(), ignored).filename() ==
                app::kLockFileName)
                return true;
        }
        return false;
    }

    std::string work_;
    std::string profile_;
    std::string spool_;
};

TEST_F(InstanceTest, ASecondGatewayIsRefusedNamingTheFirst) {
    Gateway gateway(profile_, work_ + "/g");
    ASSERT_TRUE(gateway.Start()) << gateway.Err();
    const std::string pid = std::to_string(gateway.Pid());
    for (const char* mode : {"--headless", "--once"}) {
        SCOPED_TRACE(mode);
        const ProgramResult r = Qiv({mode});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qivnews: the profile directory " + profile_ +
                             " is in use by another qivnews (pid " + pid + ", headless)\n");
        EXPECT_EQ(r.out, "");
    }
    // The refused ones changed nothing; the first runs on and, stopped,
    // takes its socket away.
    EXPECT_EQ(ReadFile(profile_ + "/" + app::kLockFileName), pid + " headless\n");
    EXPECT_TRUE(SocketAnswers(profile_));
    const ProgramResult r = gateway.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Exists(profile_ + "/.qivnews.sock"));
}

TEST_F(InstanceTest, SocketAndLockOfAKilledGatewayAreTakenOver) {
    Gateway first(profile_, work_ + "/g");
    ASSERT_TRUE(first.Start());
    first.Kill();
    ASSERT_TRUE(Exists(profile_ + "/.qivnews.sock"));
    ASSERT_FALSE(SocketAnswers(profile_));

    // Alone: the lock is free, so the subcommand does the work itself.
    ProgramResult r = Qiv({"subscribe", "alt.alone"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Subscribed to alt.alone as group 1\n");

    Gateway second(profile_, work_ + "/g");
    ASSERT_TRUE(second.Start()) << second.Err();
    r = Qiv({"subscribe", "alt.after"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Subscribed to alt.after as group 2\n");
    EXPECT_NE(second.Out().find("subscribe alt.after"), std::string::npos) << second.Out();
    EXPECT_EQ(second.Stop().status, 0);
}

// A write killed between its temporary file and the rename leaves the
// temporary behind; whoever next takes the profile clears the old ones.
TEST_F(InstanceTest, TakingTheProfileRemovesOldLeftoverTemporaries) {
    const std::string stale = profile_ + "/qiv.ini.Xy12ab";
    const std::string staleGroups = profile_ + "/qivnews.ini.Qq3z9K";
    const std::string fresh = profile_ + "/qiv.ini.Zz34cd";
    for (const std::string& path : {stale, staleGroups, fresh}) WriteFile(path, "[QIVNEWS]\r\n");
    const timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, stale.c_str(), old, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, staleGroups.c_str(), old, 0), 0);
    const ProgramResult r = Qiv({"subscribe", "alt.clean"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Exists(stale));
    EXPECT_FALSE(Exists(staleGroups));
    EXPECT_TRUE(Exists(fresh));  // may be another program's write in progress
}

TEST_F(InstanceTest, SubcommandsAndGatewaysWaitForASubcommandAtWork) {
    // The test plays a subcommand that holds the profile for a while.
    app::ProfileLock busy;
    app::LockOwner owner;
    std::string error;
    ASSERT_EQ(busy.TryTake(profile_, "expire", owner, error), app::LockResult::Taken);

    ProgramRun run;
    run.args = {"--profile-dir", profile_, "subscribe", "alt.waited"};
    run.workDir = work_ + "/c";
    const pid_t waiting = StartProgram(run);
    ASSERT_TRUE(WaitFor([&] { return HasLockFileOpen(waiting); }));
    busy.Release();
    ProgramResult r = FinishProgram(waiting, run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Subscribed to alt.waited as group 1\n");

    ASSERT_EQ(busy.TryTake(profile_, "setup", owner, error), app::LockResult::Taken);
    ProgramRun g;
    g.args = {"--profile-dir", profile_, "--headless"};
    g.workDir = work_ + "/g";
    const pid_t gatewayPid = StartProgram(g);
    ASSERT_TRUE(WaitFor([&] { return HasLockFileOpen(gatewayPid); }));
    EXPECT_FALSE(SocketAnswers(profile_));
    busy.Release();
    EXPECT_TRUE(WaitFor([&] { return SocketAnswers(profile_); }));
    EXPECT_EQ(ReadFile(profile_ + "/" + app::kLockFileName),
              std::to_string(gatewayPid) + " headless\n");
    WaitForHandler(gatewayPid, SIGTERM);
    kill(gatewayPid, SIGTERM);
    r = FinishProgram(gatewayPid, g);
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace apptest
