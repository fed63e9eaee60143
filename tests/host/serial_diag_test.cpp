// The serial trace, and the diagnostic and record of a port that exists but cannot be opened,
// on real pseudo-terminals linked under a device root.
#include "platform/posix/serial_diag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "../platform/serial_test_util.h"
#include "platform/port_access.h"
#include "platform/winbase.h"

namespace {

// The record's text of an ASCII path or name.
std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

HANDLE OpenPort(LPCWSTR name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_had = true;
            m_old = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

  private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

TEST(SerialTrace, LineShowsTimePortDirectionCountAndEscapedBytes) {
    const struct {
        std::string bytes;
        char direction;
        const char* description;
        std::string expected;
    } cases[] = {
        {"ATI4\r", '>', "a command", "vmod-trace: 1234 ms COM3 (/dev/pts/7) > 5 \"ATI4\\r\""},
        {".", '<', "an acknowledgement", "vmod-trace: 1234 ms COM3 (/dev/pts/7) < 1 \".\""},
        {"S1\"\\\t\n", '>', "quote, backslash, tab and newline",
         "vmod-trace: 1234 ms COM3 (/dev/pts/7) > 6 \"S1\\\"\\\\\\t\\n\""},
        {std::string("\x00\x7f\x80\xff", 4), '<', "control and high bytes as hex",
         "vmod-trace: 1234 ms COM3 (/dev/pts/7) < 4 \"\\x00\\x7F\\x80\\xFF\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vmod_posix::TraceLine(3, "/dev/pts/7", c.direction,
                                        reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                        c.bytes.size(), 1234),
                  c.expected)
            << c.description;
    }
}

TEST(SerialTrace, OnlyVmodTraceOneTurnsItOn) {
    const struct {
        const char* value;
        bool on;
    } cases[] = {{"1", true}, {nullptr, false}, {"0", false}, {"", false}, {"yes", false}};
    for (const auto& c : cases) {
        ScopedEnv env("VMOD_TRACE", c.value);
        EXPECT_EQ(vmod_posix::SerialTraceOn(), c.on) << (c.value ? c.value : "(unset)");
    }
}

// Writes and reads on COM2 linked to a pseudo-terminal; returns what went to standard error.
std::string TalkOnPort(const char* trace) {
    ScopedEnv env("VMOD_TRACE", trace);
    serial_test::ScopedDeviceRoot root;
    serial_test::LinkedPty pty(root, 2);
    EXPECT_FALSE(pty.path.empty());
    testing::internal::CaptureStderr();
    HANDLE h =
        CreateFileW(L"COM2:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 2000;
    SetCommTimeouts(h, &t);
    DWORD n = 0;
    WriteFile(h, "ATI4\r", 5, &n, nullptr);
    char echo[5];
    EXPECT_EQ(read(pty.master, echo, sizeof echo), 5);
    EXPECT_EQ(write(pty.master, "KV615MQ\r\n", 9), 9);
    char reply[9];
    DWORD got = 0;
    DWORD total = 0;
    while (total < sizeof reply &&
           ReadFile(h, reply + total, sizeof reply - total, &got, nullptr) && got > 0)
        total += got;
    EXPECT_EQ(total, 9u);
    CloseHandle(h);
    return testing::internal::GetCapturedStderr() + "|" + root.dir() + "/dev/COM2";
}

TEST(SerialTrace, EveryByteWrittenAndReadGoesToStandardErrorWithThePort) {
    const std::string out = TalkOnPort("1");
    const std::string path = out.substr(out.rfind('|') + 1);
    const std::string err = out.substr(0, out.rfind('|'));
    EXPECT_NE(err.find("COM2 (" + path + ") > 5 \"ATI4\\r\""), std::string::npos) << err;
    // The reply may come in pieces: the bytes read, put together, are the reply.
    std::string readBack;
    size_t pos = 0;
    while ((pos = err.find(") < ", pos)) != std::string::npos) {
        size_t q = err.find('"', pos) + 1;
        size_t end = err.find("\"\n", q);
        readBack += err.substr(q, end - q);
        pos = end;
    }
    EXPECT_EQ(readBack, "KV615MQ\\r\\n") << err;
    EXPECT_NE(err.find("vmod-trace: "), std::string::npos);
    EXPECT_NE(err.find(" ms COM2 "), std::string::npos);
}

TEST(SerialTrace, NothingIsTracedWithoutVmodTrace) {
    const std::string out = TalkOnPort(nullptr);
    EXPECT_EQ(out.substr(0, out.rfind('|')), "");
}

TEST(BusyPort, AnotherProcessHoldingThePortIsNamedOnce) {
    serial_test::ScopedDeviceRoot root;
    serial_test::LinkedPty pty(root, 4);
    ASSERT_FALSE(pty.path.empty());
    // A second program holding the port as a second copy of the tool would: flock(1) takes the
    // same lock on the device and keeps it while sleep runs.
    const std::string ready = root.dir() + "/locked";
    const std::string pidFile = root.dir() + "/pid";
    const std::string cmd = "flock -n " + pty.path + " sh -c 'touch " + ready +
                            "; exec sleep 30' & echo $! > " + pidFile;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (int i = 0; i < 500 && access(ready.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(access(ready.c_str(), F_OK), 0) << "flock did not take the port";
    std::string pid;
    std::ifstream(pidFile) >> pid;

    vmod_posix::ForgetPortRefusal(4);
    testing::internal::CaptureStderr();
    HANDLE first =
        CreateFileW(L"COM4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE again =
        CreateFileW(L"COM4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = GetLastError();
    const std::string err = testing::internal::GetCapturedStderr();
    std::system(("kill " + pid + " 2>/dev/null").c_str());
    PORT_REFUSAL refusal;
    const BOOL refused = HostGetPortRefusal(4, &refusal);
    // The device goes: an open that finds none replaces the record.
    unlink((root.dir() + "/dev/COM4").c_str());
    EXPECT_EQ(OpenPort(L"COM4:"), INVALID_HANDLE_VALUE);
    PORT_REFUSAL afterGone;
    EXPECT_FALSE(HostGetPortRefusal(4, &afterGone));
    EXPECT_EQ(afterGone.reason, static_cast<DWORD>(PORT_REFUSED_NONE));

    EXPECT_EQ(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refusal.reason, static_cast<DWORD>(PORT_REFUSED_BUSY));
    EXPECT_EQ(refusal.device, Wide(pty.path));
    EXPECT_TRUE(refusal.group.empty());
    // flock(1) holds the lock; the sleep it runs has the device open too.
    EXPECT_TRUE(
        std::any_of(refusal.holders.begin(), refusal.holders.end(), [&](const PORT_HOLDER& h) {
            return std::to_string(h.processId) == pid && h.name == L"flock";
        }));
    // One line, however often the port is probed: port, device, reason, holder.
    ASSERT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(": COM4 ("), std::string::npos) << err;
    EXPECT_NE(err.find(pty.path), std::string::npos) << err;
    EXPECT_NE(err.find("busy"), std::string::npos) << err;
    EXPECT_NE(err.find("pid " + pid + " ("), std::string::npos) << err;
}

TEST(BusyPort, AnotherProgramsExclusiveHoldRefusesEvenRootAndOutlastsTheRefusal) {
    // Only root gets past the kernel's own refusal of an exclusive tty; for anyone else the
    // kernel refuses, and the tool's look at the exclusive flag would go untested.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: otherwise the kernel refuses the open by itself";
    serial_test::ScopedDeviceRoot root;
    serial_test::LinkedPty pty(root, 6);
    ASSERT_FALSE(pty.path.empty());
    // Another program opens the tty and makes it exclusive; the kernel would still let a
    // privileged opener in (these tests run as root on the test machines).
    serial_test::ExclusiveHolder holder(pty.path);
    ASSERT_TRUE(holder.holding()) << "the holder could not make the tty exclusive";

    vmod_posix::ForgetPortRefusal(6);
    testing::internal::CaptureStderr();
    HANDLE h = OpenPort(L"COM6:");
    const DWORD error = GetLastError();
    const std::string err = testing::internal::GetCapturedStderr();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h); // a port that did open must not take the holder's flag with it
    int exclusive = 0;
    ioctl(pty.slave, TIOCGEXCL, &exclusive);
    PORT_REFUSAL refusal;
    const BOOL refused = HostGetPortRefusal(6, &refusal);
    // The holder ends and its flag is cleared: the port opens, and the record goes with it.
    holder.Release();
    ioctl(pty.slave, TIOCNXCL);
    HANDLE later = OpenPort(L"COM6:");
    EXPECT_NE(later, INVALID_HANDLE_VALUE);
    CloseHandle(later);
    PORT_REFUSAL afterOpen;
    EXPECT_FALSE(HostGetPortRefusal(6, &afterOpen));
    EXPECT_EQ(afterOpen.reason, static_cast<DWORD>(PORT_REFUSED_NONE));

    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(err.find("COM6 (" + root.dir() + "/dev/COM6 -> " + pty.path + "): busy"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("pid " + std::to_string(holder.pid()) + " ("), std::string::npos) << err;
    EXPECT_EQ(exclusive, 1) << "the holder's exclusive flag was cleared";
    ASSERT_TRUE(refused);
    EXPECT_EQ(refusal.reason, static_cast<DWORD>(PORT_REFUSED_BUSY));
    EXPECT_EQ(refusal.device, Wide(pty.path));
    ASSERT_EQ(refusal.holders.size(), 1u) << "this process holds the tty too, and is not named";
    EXPECT_EQ(refusal.holders[0].processId, static_cast<DWORD>(holder.pid()));
    EXPECT_EQ(refusal.holders[0].name, Wide(serial_test::OwnCommandName()));
}

TEST(BusyPort, APortThatOpensIsReportedAgainWhenItIsRefusedLater) {
    testing::internal::CaptureStderr();
    vmod_posix::ForgetPortRefusal(9);
    vmod_posix::ReportPortRefused(9, "/nonexistent/tty", vmod_posix::PortRefusal::Busy);
    vmod_posix::ReportPortRefused(9, "/nonexistent/tty", vmod_posix::PortRefusal::Busy);
    vmod_posix::ReportPortRefused(9, "/nonexistent/tty", vmod_posix::PortRefusal::Permission);
    vmod_posix::ForgetPortRefusal(9);
    vmod_posix::ReportPortRefused(9, "/nonexistent/tty", vmod_posix::PortRefusal::Permission);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_NE(err.find("COM9 (/nonexistent/tty): busy"), std::string::npos) << err;
    EXPECT_NE(err.find("COM9 (/nonexistent/tty): permission denied"), std::string::npos) << err;
}

TEST(BusyPort, HoldersListsOtherProcessesOnly) {
    serial_test::ScopedDeviceRoot root;
    serial_test::LinkedPty pty(root, 5);
    ASSERT_FALSE(pty.path.empty());
    // This process holds the slave itself: not listed.
    EXPECT_TRUE(vmod_posix::PortHolders(root.dir() + "/dev/COM5").empty());
}

TEST(RefusedPort, PermissionIsRecordedWithTheGroupToJoinOnlyForAUserOutsideIt) {
    serial_test::ScopedDeviceRoot root;
    serial_test::LinkedPty pty(root, 7);
    ASSERT_FALSE(pty.path.empty());
    const std::string group = serial_test::ForbidDevice(pty.path);
    struct Case {
        std::vector<gid_t> groups; // the opener's supplementary groups
        bool opens;
        const char* description;
    };
    std::vector<Case> cases{{{}, false, "outside the device's group"}};
    // Only root can make a thread a member of the group without owning the device.
    if (geteuid() == 0 && serial_test::ForbiddenDeviceGroup())
        cases.push_back(
            {{serial_test::ForbiddenDeviceGroup()->gr_gid}, true, "a supplementary member"});
    vmod_posix::ForgetPortRefusal(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        testing::internal::CaptureStderr();
        HANDLE h;
        DWORD error;
        PORT_REFUSAL refusal;
        BOOL refused;
        std::string hint;
        {
            serial_test::ThreadAsUser user(c.groups);
            h = OpenPort(L"COM7:");
            error = GetLastError();
            refused = HostGetPortRefusal(7, &refusal);
            hint = vmod_posix::PermittedGroup(pty.path);
        }
        const std::string err = testing::internal::GetCapturedStderr();
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (c.opens) {
            EXPECT_NE(h, INVALID_HANDLE_VALUE);
            EXPECT_FALSE(refused);
            EXPECT_EQ(hint, "") << "a member is never told to join";
            continue;
        }
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refusal.reason, static_cast<DWORD>(PORT_REFUSED_PERMISSION));
        EXPECT_EQ(refusal.device, Wide(pty.path));
        EXPECT_EQ(refusal.group, Wide(group));
        EXPECT_TRUE(refusal.holders.empty());
        EXPECT_EQ(err, std::string(program_invocation_short_name) + ": COM7 (" + root.dir() +
                           "/dev/COM7 -> " + pty.path + "): permission denied" +
                           (group.empty() ? "" : "; members of group " + group + " may open it") +
                           "\n");
    }
}

} // namespace
