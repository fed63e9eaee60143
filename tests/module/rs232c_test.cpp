#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../platform/serial_test_util.h"
#include "app/download_link.h"
#include "module/rs232c.h"
#include "platform/testing.h"
#include "platform/testing_ui.h"
#include "platform/winbase.h"

namespace {

using serial_test::LinkedPty;
using serial_test::ScopedDeviceRoot;
using vmod_testing::BoxOwner;
using vmod_testing::MessageBoxRecord;

uint64_t RealMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

DWORD FlagWord(const DCB& dcb) {
    DWORD word = 0;
    std::memcpy(&word, reinterpret_cast<const BYTE*>(&dcb) + 8, 4);
    return word;
}

// Records every message box instead of showing it.
class RecordedBoxes {
  public:
    RecordedBoxes() {
        vmod_testing::SetMessageBoxAnswerer([this](const MessageBoxRecord& r) {
            boxes.push_back(r);
            return IDOK;
        });
    }
    ~RecordedBoxes() { vmod_testing::SetMessageBoxAnswerer(nullptr); }
    std::vector<MessageBoxRecord> boxes;
    CRs232cBoxes report; // a port's messages as the dialog shows them
};

// ---- on real pseudo-terminals -----------------------------------------------------------------

// The modem lines (DTR and RTS raised while open) are not claimed here: a pseudo-terminal has
// none, and the line settings report the defaults whatever the code does with them.
TEST(Rs232c, OpenLeavesExactlyTheModuleLineWhateverAnEarlierProgramSet) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 3);
    RecordedBoxes boxes;
    // As `stty crtscts ixon ixoff ixany icanon echo 9600 cstopb` would leave it.
    termios before = pty.Settings();
    cfsetospeed(&before, B9600);
    cfsetispeed(&before, B9600);
    before.c_cflag |= CSTOPB | CRTSCTS;
    before.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);

    CRs232c port;
    port.SetReport(&boxes.report);
    ASSERT_EQ(port.Open(3), 1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetPort(), 3);
    const termios open = pty.Settings();
    EXPECT_EQ(cfgetospeed(&open), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&open), static_cast<speed_t>(B115200));
    EXPECT_EQ(open.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(open.c_cflag & (PARENB | CSTOPB), 0u) << "no parity, one stop bit";
    EXPECT_EQ(open.c_cflag & CRTSCTS, 0u) << "no hardware flow control";
    EXPECT_EQ(open.c_iflag & (IXON | IXOFF | IXANY), 0u) << "no software flow control";
    EXPECT_EQ(open.c_iflag & (ICRNL | INPCK | ISTRIP), 0u) << "raw input";
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "raw, no echo";
    EXPECT_EQ(open.c_oflag & OPOST, 0u) << "raw output";
    const DCB& dcb = port.GetLineSettings();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX, 0u) << "no flow control";
    const COMMTIMEOUTS& t = port.GetTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 1000u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

    EXPECT_EQ(port.Close(), 1);
    EXPECT_FALSE(port.IsOpen());
    const termios closed = pty.Settings();
    EXPECT_EQ(closed.c_cflag & CRTSCTS, 0u) << "Close leaves flow control off";
    EXPECT_EQ(cfgetospeed(&closed), static_cast<speed_t>(B115200));
    const DWORD word = FlagWord(port.GetLineSettings());
    EXPECT_EQ(word & 0x300C, 0u) << "CTS and DSR flow off, RTS disabled";
    EXPECT_EQ(word & 0x4000, 0x4000u) << "abort on error";
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(Rs232c, ReadsTimeOutAsTheModuleLinkNeeds) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 1);
    CRs232c port;
    ASSERT_EQ(port.Open(1), 1);
    BYTE buf[256];

    uint64_t t0 = RealMs();
    EXPECT_EQ(port.Read(buf, 1), 0u) << "one byte, nothing arriving";
    uint64_t took = RealMs() - t0;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 5000u);

    pty.Send("OK\r\n\r\n");
    t0 = RealMs();
    EXPECT_EQ(port.Read(buf, 255), 6u) << "255 asked, 6 waiting";
    took = RealMs() - t0;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 5000u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "OK\r\n\r\n");

    EXPECT_NE(port.Write(reinterpret_cast<const BYTE*>("ATI4\r"), 5), 0);
    usleep(50000);
    EXPECT_EQ(pty.Receive(), "ATI4\r");
    port.Close();
}

TEST(Rs232c, APortIsOpenedByOneObjectAtATimeAndSilentlyRefusedToOthers) {
    ScopedDeviceRoot root;
    LinkedPty pty(root, 2);
    LinkedPty other(root, 5);
    RecordedBoxes boxes;
    CRs232c first;
    CRs232c second;
    ASSERT_EQ(first.Open(2), 1);
    EXPECT_EQ(second.Open(2), 0) << "no sharing";
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.Open(9), 0) << "no device behind COM9";
    EXPECT_TRUE(boxes.boxes.empty()) << "failed opens are silent";

    first.Close();
    ASSERT_EQ(first.Open(5), 1) << "re-open after close on another number";
    EXPECT_EQ(first.GetPort(), 5);
    other.Send("x");
    BYTE b = 0;
    EXPECT_EQ(first.Read(&b, 1), 1u);
    EXPECT_EQ(b, 'x');
    EXPECT_EQ(second.Open(2), 1) << "COM2 was released by the close";
}

// ---- through a serial back end -------------------------------------------------------------

struct PortLog {
    std::vector<DWORD> purges;
    std::vector<uint32_t> bauds;
    std::vector<std::string> calls;
    std::string written;
    std::string pending;
    int opens = 0;
    bool held = false;
    std::string refuse;
};

class LoggingPort : public vmod_testing::SerialPort {
  public:
    explicit LoggingPort(PortLog* log) : m_log(log) { m_log->held = true; }
    ~LoggingPort() override { m_log->held = false; }
    size_t Write(const uint8_t* data, size_t count) override {
        m_log->written.append(reinterpret_cast<const char*>(data), count);
        return count;
    }
    size_t Read(uint8_t* out, size_t max) override {
        const size_t n = std::min(max, m_log->pending.size());
        std::memcpy(out, m_log->pending.data(), n);
        m_log->pending.erase(0, n);
        return n;
    }
    bool Gone() override { return false; }
    void Configure(uint32_t baud, int, int, int) override { m_log->bauds.push_back(baud); }
    void Purge(DWORD flags) override { m_log->purges.push_back(flags); }
    bool Refuses(const char* call) override {
        m_log->calls.push_back(call);
        return m_log->refuse == call;
    }

  private:
    PortLog* m_log;
};

class LoggingBackend : public vmod_testing::SerialBackend {
  public:
    std::unique_ptr<vmod_testing::SerialPort> Open(int comNumber) override {
        PortLog& log = ports[comNumber];
        if (comNumber > 8 || log.held) {
            return nullptr;
        }
        ++log.opens;
        return std::make_unique<LoggingPort>(&log);
    }
    std::map<int, PortLog> ports;
};

class Rs232cOnBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        m_clock = vmod_testing::MakeVirtualClock();
        vmod_testing::SetClock(m_clock.get());
        vmod_testing::SetSerialBackend(&backend);
    }
    void TearDown() override {
        vmod_testing::SetSerialBackend(nullptr);
        vmod_testing::SetClock(nullptr);
    }
    LoggingBackend backend;
    RecordedBoxes boxes;
    std::unique_ptr<vmod_testing::Clock> m_clock;
};

std::wstring SystemText(DWORD code) {
    LPWSTR text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0,
                   nullptr);
    std::wstring s = text ? text : L"";
    LocalFree(text);
    return s;
}

TEST_F(Rs232cOnBackend, CloseClearsTheMaskPurgesFourTimesAndQuietsTheLine) {
    CRs232c port;
    port.SetReport(&boxes.report);
    ASSERT_EQ(port.Open(4), 1);
    PortLog& log = backend.ports[4];
    EXPECT_EQ(log.calls, (std::vector<std::string>{"SetupComm", "GetCommState", "SetCommState"}));
    EXPECT_EQ(log.bauds, std::vector<uint32_t>{115200});
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(log.purges,
              (std::vector<DWORD>{PURGE_RXCLEAR, PURGE_TXCLEAR, PURGE_RXABORT, PURGE_TXABORT}));
    EXPECT_EQ(log.bauds.size(), 2u) << "the line settings are set once more at close";
    EXPECT_FALSE(log.held) << "the port is released";

    const size_t calls = log.calls.size();
    EXPECT_EQ(port.Close(), 1) << "closing a closed object";
    EXPECT_EQ(log.purges.size(), 4u) << "makes no platform call";
    EXPECT_EQ(log.calls.size(), calls);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Rs232cOnBackend, MovingTheConnectionLeavesTheSourceClosedAndTheHandlesUntouched) {
    PortLog& log = backend.ports[4];
    CRs232c worker;
    {
        CRs232c dialog;
        ASSERT_EQ(dialog.Open(4), 1);
        worker = std::move(dialog);
        EXPECT_FALSE(dialog.IsOpen());
        EXPECT_EQ(dialog.Close(), 1);
    } // the dialog's object is destroyed holding nothing
    EXPECT_TRUE(log.held) << "the connection lives on in the worker's object";
    EXPECT_TRUE(log.purges.empty());
    EXPECT_TRUE(worker.IsOpen());
    EXPECT_EQ(worker.GetPort(), 4);
    log.pending = ".";
    BYTE b = 0;
    EXPECT_EQ(worker.Read(&b, 1), 1u);
    CRs232c taken(std::move(worker));
    EXPECT_FALSE(worker.IsOpen());
    EXPECT_TRUE(taken.IsOpen());
    EXPECT_NE(taken.Write(reinterpret_cast<const BYTE*>("AT"), 2), 0);
    EXPECT_EQ(log.written, "AT");
}

TEST_F(Rs232cOnBackend, DestroyingAnOpenObjectClosesItsHandleWithoutPurging) {
    PortLog& log = backend.ports[6];
    {
        CRs232c port;
        ASSERT_EQ(port.Open(6), 1);
    }
    EXPECT_FALSE(log.held);
    EXPECT_TRUE(log.purges.empty());
    EXPECT_EQ(log.bauds.size(), 1u) << "no change of line settings";
    CRs232c again;
    EXPECT_EQ(again.Open(6), 1);
}

TEST_F(Rs232cOnBackend, DriverRefusalsAreReportedAsTheModuleLinkSays) {
    const std::wstring failure = SystemText(ERROR_GEN_FAILURE);
    struct Case {
        const char* refused;
        const char* description;
        BOOL opens;
        std::vector<MessageBoxRecord> boxes; // owner, text, caption, type
    } cases[] = {
        {"SetupComm",
         "queue sizes refused",
         1,
         {{BoxOwner::None, nullptr, failure, L"Open:SetupComm", MB_ICONHAND, false}}},
        {"GetCommState",
         "line settings cannot be read",
         0,
         {{BoxOwner::Application, nullptr, L"GetCommStateに失敗しました", L"", MB_OK, false}}},
        {"SetCommState",
         "line settings refused",
         0,
         {{BoxOwner::None, nullptr, L"SetCommState Error", L"error message", MB_ICONHAND, false},
          {BoxOwner::None, nullptr, failure, L"Open:SetCommState", MB_ICONHAND, false}}},
    };
    int com = 1;
    for (const Case& c : cases) {
        boxes.boxes.clear();
        PortLog& log = backend.ports[com];
        log.refuse = c.refused;
        CRs232c port;
        port.SetReport(&boxes.report);
        EXPECT_EQ(port.Open(com), c.opens) << c.description;
        EXPECT_EQ(port.IsOpen(), c.opens != 0) << c.description;
        EXPECT_EQ(log.held, c.opens != 0) << c.description << ": handle closed on failure";
        ASSERT_EQ(boxes.boxes.size(), c.boxes.size()) << c.description;
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            const MessageBoxRecord& got = boxes.boxes[i];
            const MessageBoxRecord& want = c.boxes[i];
            EXPECT_EQ(got.owner, want.owner) << c.description << " box " << i;
            EXPECT_EQ(got.text, want.text) << c.description << " box " << i;
            if (want.owner != BoxOwner::Application) {
                EXPECT_EQ(got.caption, want.caption) << c.description << " box " << i;
            }
            EXPECT_EQ(got.type, want.type) << c.description << " box " << i;
        }
        ++com;
    }
    EXPECT_FALSE(failure.empty());
}

TEST_F(Rs232cOnBackend, AFailedOpenLeavesNoPortHeldAndTheNextOpenWorks) {
    CRs232c port;
    port.SetReport(&boxes.report);
    EXPECT_EQ(port.Open(9), 0) << "no device";
    EXPECT_TRUE(boxes.boxes.empty());
    backend.ports[2].refuse = "GetCommState";
    EXPECT_EQ(port.Open(2), 0);
    backend.ports[2].refuse.clear();
    EXPECT_EQ(port.Open(2), 1);
    EXPECT_EQ(backend.ports[2].opens, 2);
}

} // namespace
