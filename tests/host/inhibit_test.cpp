// The sleep inhibitor: held by a child process that lets go when its input ends. A stand-in
// for systemd-inhibit records when it holds and when it let go.
#include "platform/inhibit.h"
#include "platform/posix/inhibit_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class InhibitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vmod-inhibit-XXXXXX";
        m_dir = mkdtemp(tmpl);
        m_log = m_dir + "/log";
    }
    void TearDown() override {
        vmod_posix::InhibitorStop();
        std::system(("rm -rf " + m_dir).c_str());
    }
    // A holder that logs "held", waits for its input to end, logs "released".
    std::vector<std::string> Holder() const {
        return {"sh", "-c",
                "echo held >> " + m_log + "; cat >/dev/null; echo released >> " + m_log};
    }
    std::string m_dir, m_log;
};

TEST_F(InhibitTest, LockIsHeldUntilStopAndReleasedBeforeStopReturns) {
    ASSERT_TRUE(vmod_posix::InhibitorStart(Holder()));
    for (int i = 0; i < 200 && Slurp(m_log).empty(); ++i)
        usleep(10000);
    EXPECT_EQ(Slurp(m_log), "held\n");
    vmod_posix::InhibitorStop();
    EXPECT_EQ(Slurp(m_log), "held\nreleased\n");
}

TEST_F(InhibitTest, SecondStartKeepsTheFirstLock) {
    ASSERT_TRUE(vmod_posix::InhibitorStart(Holder()));
    EXPECT_TRUE(vmod_posix::InhibitorStart(Holder()));
    vmod_posix::InhibitorStop();
    EXPECT_EQ(Slurp(m_log), "held\nreleased\n");
}

TEST_F(InhibitTest, AHolderThatCannotHaveTheLockCountsAsNone) {
    const struct {
        std::vector<std::string> argv;
        const char* description;
    } cases[] = {
        {{"sh", "-c", "exit 1"}, "exits at once, as systemd-inhibit does without logind"},
        {{"vmod-no-such-program-here"}, "not installed"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(vmod_posix::InhibitorStart(c.argv)) << c.description;
        vmod_posix::InhibitorStop(); // harmless with none held
    }
}

TEST_F(InhibitTest, AHolderThatIgnoresItsInputIsEndedByStop) {
    ASSERT_TRUE(vmod_posix::InhibitorStart({"sh", "-c", "trap '' TERM; exec sleep 60 </dev/null"}));
    vmod_posix::InhibitorStop(); // kills it after its grace; returns
    SUCCEED();
}

TEST_F(InhibitTest, CommandAsksLogindForSleepAndShutdownWithTheReason) {
    const std::vector<std::string> cmd = vmod_posix::InhibitorCommand("ファームウェア更新中");
    ASSERT_FALSE(cmd.empty());
    EXPECT_EQ(cmd[0], "systemd-inhibit");
    auto has = [&](const std::string& a) {
        return std::find(cmd.begin(), cmd.end(), a) != cmd.end();
    };
    EXPECT_TRUE(has("--what=sleep:shutdown"));
    EXPECT_TRUE(has("--mode=block"));
    EXPECT_TRUE(has("--why=ファームウェア更新中"));
    EXPECT_EQ(cmd.back(), "cat") << "the holder must end when its input does";
}

TEST_F(InhibitTest, WithoutLogindTheProgramGoesOnWithoutALock) {
    if (access("/run/systemd/system", F_OK) == 0)
        GTEST_SKIP() << "logind may be reachable here";
    EXPECT_FALSE(HostInhibitSleepBegin(L"Writing the radio module's firmware"));
    HostInhibitSleepEnd();
}

TEST_F(InhibitTest, WhereLogindRunsTheLockIsTakenAndReleased) {
    if (access("/run/systemd/system", F_OK) != 0)
        GTEST_SKIP() << "no logind on this host";
    if (HostInhibitSleepBegin(L"Writing the radio module's firmware")) {
        const int listed = std::system(
            "systemd-inhibit --list --no-pager 2>/dev/null | grep -q 'V-MOD VersionUp Tool'");
        HostInhibitSleepEnd();
        EXPECT_EQ(listed, 0);
        const int after = std::system(
            "systemd-inhibit --list --no-pager 2>/dev/null | grep -q 'V-MOD VersionUp Tool'");
        EXPECT_NE(after, 0);
    } else {
        HostInhibitSleepEnd(); // refused (no session bus rights): harmless
    }
}

} // namespace
