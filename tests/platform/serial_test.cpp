#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <sys/ioctl.h>
#include <thread>
#include <time.h>

#include "platform/posix/serial_ports.h"
#include "platform/testing.h"
#include "platform/winbase.h"
#include "serial_test_util.h"

namespace {

using serial_test::LinkedPty;
using serial_test::ScopedDeviceRoot;

uint64_t RealMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint64_t ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

HANDLE OpenCom(int n) {
    wchar_t name[16];
    swprintf(name, 16, L"COM%d:", n);
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The module link's timeouts: one second total, one second of silence after a byte.
void SetLinkTimeouts(HANDLE h) {
    COMMTIMEOUTS t{1000, 0, 1000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

TEST(SerialPort, OpensOnlyPortsWithADeviceBehindThem) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 3);
    root.Link(5, root.dir() + "/nothing-here");
    struct Case {
        const wchar_t* name;
        const char* description;
        bool opens;
        DWORD error;
    } cases[] = {
        {L"COM3:", "linked pseudo-terminal", true, 0},
        {L"COM3", "without the colon", true, 0},
        {L"COM4:", "no link at all", false, ERROR_FILE_NOT_FOUND},
        {L"COM5:", "a link to nothing", false, ERROR_FILE_NOT_FOUND},
        {L"COM0:", "no port 0", false, ERROR_INVALID_NAME},
        {L"COM256:", "beyond 255", false, ERROR_INVALID_NAME},
        {L"LPT1:", "not a serial port", false, ERROR_INVALID_NAME},
        {L"COM03:", "leading zero", false, ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        HANDLE h = CreateFileW(c.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.description;
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        } else {
            EXPECT_EQ(GetLastError(), c.error) << c.description;
        }
    }
}

TEST(SerialPort, SecondOpenOfTheSamePortFailsUntilTheFirstCloses) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 2);
    root.Link(7, pty.path); // the same device under another number
    HANDLE first = OpenCom(2);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenCom(2), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenCom(7), INVALID_HANDLE_VALUE) << "same device through another link";
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = OpenCom(7);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "free again once closed";
    CloseHandle(again);
    EXPECT_FALSE(CloseHandle(again)) << "a handle closes once";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SerialPort, UnderADeviceRootEveryOpenFollowsTheLinkAsItIsThen) {
    ScopedDeviceRoot root;
    LinkedPty before(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    LinkedPty after(root, 1); // the stand-in module came back from a reset on a new tty
    h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    usleep(50000);
    EXPECT_EQ(after.Receive(), "x");
    CloseHandle(h);
}

// No device root; the host's device, sysfs tty and by-id folders replaced by temporary ones.
class ScopedHostFolders {
  public:
    ScopedHostFolders() {
        char tmpl[] = "/tmp/vmod-host-XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        m_dir = dir;
        dev = dir + "/dev";
        byId = dir + "/by-id";
        std::filesystem::create_directories(dev);
        std::filesystem::create_directories(byId);
        if (const char* old = std::getenv("VMOD_ROOT")) {
            m_oldRoot = old;
            m_hadRoot = true;
        }
        unsetenv("VMOD_ROOT");
        m_ports = std::make_unique<vmod_posix::HostComPorts>(dev, dir + "/sys", byId);
        vmod_posix::SetHostComPorts(m_ports.get());
    }
    ~ScopedHostFolders() {
        vmod_posix::SetHostComPorts(nullptr);
        if (m_hadRoot) {
            setenv("VMOD_ROOT", m_oldRoot.c_str(), 1);
        }
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string dev;
    std::string byId;

  private:
    std::string m_dir;
    std::string m_oldRoot;
    bool m_hadRoot = false;
    std::unique_ptr<vmod_posix::HostComPorts> m_ports;
};

TEST(HostPorts, ANumberOnceOpenedStaysWithItsDeviceForTheRestOfTheRun) {
    ScopedHostFolders host;
    LinkedPty module(host.dev + "/ttyUSB0");
    LinkedPty other(host.dev + "/ttyUSB1"); // an adapter the host has no by-id link for
    const std::string moduleId = host.byId + "/usb-Maker_Radio_0001-if00-port0";
    ASSERT_EQ(symlink("../dev/ttyUSB0", moduleId.c_str()), 0);
    for (int com : {1, 2}) { // identification probes both; the module answers on COM1
        HANDLE h = OpenCom(com);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "COM" << com;
        CloseHandle(h);
    }

    // The module resets: its node and link vanish, and the numbering now makes the other
    // adapter COM1.
    unlink(moduleId.c_str());
    unlink((host.dev + "/ttyUSB0").c_str());
    termios cooked = other.Settings();
    cooked.c_lflag |= ICANON;
    ASSERT_EQ(tcsetattr(other.slave, TCSANOW, &cooked), 0);
    SetLastError(0);
    EXPECT_EQ(OpenCom(1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(other.Settings().c_lflag & ICANON, 0u) << "the other adapter was left alone";

    // Back under another device name: COM1 reaches the module again, and COM2, pinned to its
    // device path, the other adapter, although the numbering would now give it the module.
    ASSERT_EQ(symlink(module.path.c_str(), (host.dev + "/ttyUSB2").c_str()), 0);
    ASSERT_EQ(symlink("../dev/ttyUSB2", moduleId.c_str()), 0);
    const struct {
        int com;
        const LinkedPty* device;
    } cases[] = {{1, &module}, {2, &other}};
    for (const auto& c : cases) {
        HANDLE h = OpenCom(c.com);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "COM" << c.com;
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
        usleep(50000);
        EXPECT_EQ(c.device->Receive(), "x") << "COM" << c.com;
        CloseHandle(h);
    }
}

TEST(SerialPort, OpenPutsACookedTtyInRawMode) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    termios cooked = pty.Settings();
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | IXON | ISTRIP;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &cooked), 0);

    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const termios raw = pty.Settings();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);

    // Bytes pass unchanged both ways: no CR/LF mapping, no echo, no line buffering.
    SetLinkTimeouts(h);
    const char out[] = "AT\r\n\x03\x7f";
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, out, 6, &n, nullptr));
    EXPECT_EQ(n, 6u);
    usleep(50000);
    EXPECT_EQ(pty.Receive(), std::string(out, 6));
    pty.Send(std::string("OK\r\x11\x13", 5));
    char in[16] = {};
    ASSERT_TRUE(ReadFile(h, in, 5, &n, nullptr));
    EXPECT_EQ(std::string(in, n), std::string("OK\r\x11\x13", 5));
    CloseHandle(h);
}

TEST(SerialPort, OneByteWithNothingArrivingReturnsNothingAfterTheTimeout) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    char b = 0;
    DWORD n = 99;
    const uint64_t t0 = RealMs();
    EXPECT_TRUE(ReadFile(h, &b, 1, &n, nullptr));
    const uint64_t took = RealMs() - t0;
    EXPECT_EQ(n, 0u);
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 5000u);
    CloseHandle(h);
}

TEST(SerialPort, AReadReturnsWhatArrivedOnceTheLineFallsSilent) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    pty.Send("ATI4\r\n");
    char buf[256];
    DWORD n = 0;
    const uint64_t t0 = RealMs();
    EXPECT_TRUE(ReadFile(h, buf, 255, &n, nullptr));
    const uint64_t took = RealMs() - t0;
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(buf, n), "ATI4\r\n");
    EXPECT_GE(took, 900u) << "the read waits out its timeout for more";
    EXPECT_LT(took, 5000u);
    CloseHandle(h);
}

TEST(SerialPort, AReadReturnsAtOnceWhenTheCountHasArrived) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    pty.Send(".rest");
    char b = 0;
    DWORD n = 0;
    const uint64_t t0 = RealMs();
    EXPECT_TRUE(ReadFile(h, &b, 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b, '.');
    EXPECT_LT(RealMs() - t0, 900u) << "no wait once the count is there";
    CloseHandle(h);
}

TEST(SerialPort, TheTotalTimeoutEndsAReadThatKeepsReceiving) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int i = 0; i < 12 && !stop; ++i) {
            pty.Send("x");
            usleep(250000);
        }
    });
    char buf[256];
    DWORD n = 0;
    const uint64_t t0 = RealMs();
    EXPECT_TRUE(ReadFile(h, buf, 255, &n, nullptr));
    const uint64_t took = RealMs() - t0;
    stop = true;
    trickle.join();
    EXPECT_GE(n, 2u);
    EXPECT_LE(n, 6u);
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 2500u) << "bytes every 250 ms must not keep the read going for 3 s";
    CloseHandle(h);
}

TEST(SerialPort, AVanishedDeviceFailsReadsAfterTheirTimeoutWithoutSpinning) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    pty.CloseAll(); // the stand-in went away: the tty hangs up
    for (int round = 0; round < 2; ++round) {
        char b = 0;
        DWORD n = 99;
        const uint64_t t0 = RealMs();
        const uint64_t cpu0 = ThreadCpuMs();
        EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
        const uint64_t took = RealMs() - t0;
        EXPECT_NE(GetLastError(), 0u);
        EXPECT_EQ(n, 0u);
        EXPECT_GE(took, 900u) << "a failed read still takes its timeout";
        EXPECT_LT(took, 5000u);
        EXPECT_LT(ThreadCpuMs() - cpu0, 300u) << "waited, not polled in a loop";
    }
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, "AT", 2, &n, nullptr));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(SerialPort, LineSettingsReachTheTty) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD baud;
        BYTE bits, parity, stop;
        bool cts;
        const char* description;
        speed_t speed;
        tcflag_t size;
        tcflag_t cflagSet, cflagClear;
    } cases[] = {
        {115200, 8, NOPARITY, ONESTOPBIT, false, "the module link", B115200, CS8, 0,
         PARENB | CSTOPB | CRTSCTS},
        {9600, 8, NOPARITY, TWOSTOPBITS, false, "8N2", B9600, CS8, CSTOPB, PARENB | CRTSCTS},
        {57600, 8, NOPARITY, ONESTOPBIT, true, "8N1 with CTS", B57600, CS8, CRTSCTS, CSTOPB},
    };
    for (const Case& c : cases) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.bits;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        dcb.fOutxCtsFlow = c.cts;
        dcb.fRtsControl = c.cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(h, &dcb)) << c.description;
        const termios t = pty.Settings();
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.description;
        EXPECT_EQ(t.c_cflag & CSIZE, c.size) << c.description;
        EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet) << c.description;
        EXPECT_EQ(t.c_cflag & c.cflagClear, 0u) << c.description;
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << c.description << ": still raw";
        DCB back{};
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(back.BaudRate, c.baud) << c.description;
        EXPECT_EQ(back.ByteSize, c.bits) << c.description;
        EXPECT_EQ(back.Parity, c.parity) << c.description;
        EXPECT_EQ(back.StopBits, c.stop) << c.description;
        EXPECT_EQ(back.fOutxCtsFlow, c.cts ? 1u : 0u) << c.description;
    }
    struct Refused {
        DWORD baud;
        BYTE bits, parity, stop;
        const char* description;
    } refused[] = {
        {123456, 8, NOPARITY, ONESTOPBIT, "a rate the host has no code for"},
        {9600, 9, NOPARITY, ONESTOPBIT, "nine data bits"},
        {9600, 8, 7, ONESTOPBIT, "no such parity"},
        {9600, 8, NOPARITY, ONE5STOPBITS, "1.5 stop bits with 8 data bits"},
        {9600, 7, NOPARITY, ONESTOPBIT, "7 data bits, which a pseudo-terminal cannot carry"},
        {9600, 8, EVENPARITY, ONESTOPBIT, "parity, which a pseudo-terminal cannot carry"},
    };
    for (const Refused& r : refused) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        const DCB before = dcb;
        dcb.BaudRate = r.baud;
        dcb.ByteSize = r.bits;
        dcb.Parity = r.parity;
        dcb.StopBits = r.stop;
        EXPECT_FALSE(SetCommState(h, &dcb)) << r.description;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << r.description;
        DCB after{};
        GetCommState(h, &after);
        EXPECT_EQ(after.BaudRate, before.BaudRate) << r.description << ": settings kept";
    }
    CloseHandle(h);
}

TEST(SerialPort, TheDcbFlagWordHasTheHandheldsBitLayout) {
    struct Case {
        void (*set)(DCB*);
        const char* field;
        DWORD mask;
    } cases[] = {
        {[](DCB* d) { d->fBinary = 1; }, "fBinary", 0x1},
        {[](DCB* d) { d->fOutxCtsFlow = 1; }, "fOutxCtsFlow", 0x4},
        {[](DCB* d) { d->fOutxDsrFlow = 1; }, "fOutxDsrFlow", 0x8},
        {[](DCB* d) { d->fRtsControl = 3; }, "fRtsControl", 0x3000},
        {[](DCB* d) { d->fAbortOnError = 1; }, "fAbortOnError", 0x4000},
    };
    for (const Case& c : cases) {
        DCB dcb{};
        c.set(&dcb);
        DWORD word = 0;
        std::memcpy(&word, reinterpret_cast<const BYTE*>(&dcb) + 8, 4);
        EXPECT_EQ(word, c.mask) << c.field;
    }
}

TEST(SerialPort, PurgeDropsBytesNotYetRead) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    HANDLE h = OpenCom(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0}; // return at once
    SetCommTimeouts(h, &t);
    pty.Send("stale");
    usleep(50000);
    EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    char buf[16];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

// ---- on the test clock, through a serial back end ---------------------------------------------

// A port whose replies become readable at given times of the test clock.
class ScheduledPort : public vmod_testing::SerialPort {
  public:
    struct Due {
        uint64_t atMs;
        std::string bytes;
    };
    explicit ScheduledPort(std::deque<Due>* due, bool* gone) : m_due(due), m_gone(gone) {}
    size_t Write(const uint8_t*, size_t count) override { return *m_gone ? 0 : count; }
    size_t Read(uint8_t* out, size_t max) override {
        size_t n = 0;
        while (n < max && !m_due->empty() && m_due->front().atMs <= vmod_testing::NowMs()) {
            std::string& b = m_due->front().bytes;
            const size_t take = std::min(max - n, b.size());
            std::memcpy(out + n, b.data(), take);
            n += take;
            b.erase(0, take);
            if (b.empty()) {
                m_due->pop_front();
            }
        }
        ++reads;
        return n;
    }
    bool Gone() override { return *m_gone; }
    int reads = 0;

  private:
    std::deque<Due>* m_due;
    bool* m_gone;
};

class ScheduledBackend : public vmod_testing::SerialBackend {
  public:
    std::unique_ptr<vmod_testing::SerialPort> Open(int comNumber) override {
        if (comNumber != 4) {
            return nullptr;
        }
        return std::make_unique<ScheduledPort>(&due, &gone);
    }
    std::deque<ScheduledPort::Due> due;
    bool gone = false;
};

class VirtualSerial : public ::testing::Test {
  protected:
    void SetUp() override {
        m_clock = vmod_testing::MakeVirtualClock(10000);
        vmod_testing::SetClock(m_clock.get());
        vmod_testing::SetSerialBackend(&backend);
    }
    void TearDown() override {
        vmod_testing::SetSerialBackend(nullptr);
        vmod_testing::SetClock(nullptr);
    }
    ScheduledBackend backend;
    std::unique_ptr<vmod_testing::Clock> m_clock;
};

TEST_F(VirtualSerial, ReadsFollowTheLinkTimeoutsInVirtualTime) {
    struct Case {
        const char* description;
        std::vector<ScheduledPort::Due> due; // times relative to the read's start
        DWORD ask;
        std::string expected;
        uint64_t elapsed;
    } cases[] = {
        {"nothing arrives", {}, 1, "", 1000},
        {"the count arrives", {{0, "."}}, 1, ".", 0},
        {"a reply due later arrives", {{537, "."}}, 1, ".", 537},
        {"255 asked, 6 waiting", {{0, "ATI4\r\n"}}, 255, "ATI4\r\n", 1000},
        {"silence after a byte ends it first", {{0, "A"}, {1500, "B"}}, 255, "A", 1000},
        {"bytes until the total timeout", {{100, "A"}, {600, "B"}, {1100, "C"}}, 255, "AB", 1000},
        {"a late reply is not seen", {{1001, "late"}}, 64, "", 1000},
    };
    HANDLE h = CreateFileW(L"COM4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    for (const Case& c : cases) {
        backend.due.clear();
        const uint64_t start = vmod_testing::NowMs();
        for (const auto& d : c.due) {
            backend.due.push_back({start + d.atMs, d.bytes});
        }
        char buf[256];
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(h, buf, c.ask, &n, nullptr)) << c.description;
        EXPECT_EQ(std::string(buf, n), c.expected) << c.description;
        EXPECT_EQ(vmod_testing::NowMs() - start, c.elapsed) << c.description;
    }
    CloseHandle(h);
}

TEST_F(VirtualSerial, AGonePortFailsAfterTheTimeoutAndPortsWithoutDeviceDoNotOpen) {
    EXPECT_EQ(CreateFileW(L"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    HANDLE h = CreateFileW(L"COM4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLinkTimeouts(h);
    backend.gone = true;
    const uint64_t start = vmod_testing::NowMs();
    char b;
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(vmod_testing::NowMs() - start, 1000u);
    EXPECT_FALSE(WriteFile(h, "AT", 2, &n, nullptr));
    CloseHandle(h);
}

TEST_F(VirtualSerial, SleepPassesOnTheTestClock) {
    const uint64_t start = vmod_testing::NowMs();
    const uint64_t real0 = RealMs();
    Sleep(5000);
    EXPECT_EQ(vmod_testing::NowMs() - start, 5000u);
    EXPECT_LT(RealMs() - real0, 1000u);
}

} // namespace
