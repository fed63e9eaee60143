#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/serial_ports.h"
#include "platform/testing.h"
#include "platform/winbase.h"
#include "serial_test_util.h"

namespace {

using serial_test::ScopedDeviceRoot;
namespace fs = std::filesystem;

void WriteFileText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

// ---- code page 932 ----------------------------------------------------------------------------

TEST(MultiByteToWideChar, ConvertsTheDevicesCodePage) {
    struct Case {
        std::string bytes;
        const char* description;
        std::wstring expected;
    } cases[] = {
        {"KV615MQ 1.05\r\n", "ASCII unchanged", L"KV615MQ 1.05\r\n"},
        {"C:\\~", "backslash and tilde stay ASCII", L"C:\\~"},
        {"\x82\xa0\x82\xa2", "hiragana", L"\x3042\x3044"},
        {"\x92\x8d\x88\xd3", "kanji (caution)", L"\x6ce8\x610f"},
        {"\x83\x5c", "a trail byte 0x5C belongs to its character", L"\x30bd"},
        {"\xb1\xdd", "half-width katakana", L"\xff71\xff9d"},
        {"A\x82", "a lead byte cut off by the end", L"A\x30fb"},
        {"\x87\x40", "NEC special character", L"\x2460"},
    };
    for (const Case& c : cases) {
        wchar_t out[32] = {};
        const int n = MultiByteToWideChar(CP_ACP, 0, c.bytes.data(),
                                          static_cast<int>(c.bytes.size()), out, 32);
        EXPECT_EQ(std::wstring(out, n > 0 ? n : 0), c.expected) << c.description;
    }
}

TEST(MultiByteToWideChar, CountsTerminatorsAndRefusesSmallBuffers) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x82\xa0z", -1, nullptr, 0), 3)
        << "size query with the NUL";
    wchar_t out[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab", -1, out, 8), 3);
    EXPECT_EQ(out[2], L'\0');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcdef", 6, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(out, 4), L"abcd") << "what fits is there";
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab", 0, out, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- error texts ------------------------------------------------------------------------------

TEST(FormatMessageW, GivesTheSystemsTextForAnErrorCode) {
    const DWORD codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION,
                           ERROR_DEVICE_NOT_CONNECTED, 9999};
    for (DWORD code : codes) {
        LPWSTR text = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                       reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_GT(n, 0u) << code;
        EXPECT_EQ(std::wcslen(text), n) << code;
        EXPECT_EQ(LocalFree(text), nullptr);
    }
    wchar_t small[2];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, small, 2,
                             nullptr),
              0u);
}

TEST(FormatMessageW, DistinguishesTheCommonFailures) {
    auto text = [](DWORD code) {
        wchar_t buf[256];
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buf, 256, nullptr);
        return std::wstring(buf);
    };
    EXPECT_NE(text(ERROR_FILE_NOT_FOUND), text(ERROR_ACCESS_DENIED));
    EXPECT_NE(text(ERROR_SHARING_VIOLATION), text(ERROR_INVALID_PARAMETER));
}

// ---- the single-instance mutex ----------------------------------------------------------------

// Runs CreateMutexW in a child process; its exit code says what the child saw: 0 it holds the
// mutex, 1 the mutex existed, 2 failure. With hold set the child keeps it until killed, after
// writing its answer to the pipe.
pid_t ChildCreatesMutex(const wchar_t* name, bool hold, int* answerFd) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        HANDLE h = CreateMutexW(nullptr, FALSE, name);
        const char answer = h == nullptr ? '2' : GetLastError() == ERROR_ALREADY_EXISTS ? '1' : '0';
        ssize_t w = write(fds[1], &answer, 1);
        (void)w;
        if (hold) {
            pause();
        }
        _exit(answer - '0');
    }
    close(fds[1]);
    *answerFd = fds[0];
    return pid;
}

char Answer(int fd) {
    char c = 0;
    ssize_t r = read(fd, &c, 1);
    (void)r;
    close(fd);
    return c;
}

TEST(CreateMutexW, ASecondCopyFindsTheMutexUntilTheHolderDies) {
    ScopedDeviceRoot root;
    const wchar_t* name = L"ZARudizeru";
    int fd = -1;
    const pid_t holder = ChildCreatesMutex(name, true, &fd);
    ASSERT_GT(holder, 0);
    ASSERT_EQ(Answer(fd), '0') << "the first copy holds the mutex";

    HANDLE mine = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(mine);

    kill(holder, SIGKILL); // however the holder ends, the system releases the mutex
    int status = 0;
    waitpid(holder, &status, 0);
    mine = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), 0u);

    const pid_t second = ChildCreatesMutex(name, false, &fd);
    EXPECT_EQ(Answer(fd), '1') << "now this process holds it";
    waitpid(second, &status, 0);
    CloseHandle(mine);
}

TEST(CreateMutexW, IsScopedToTheDeviceRootAndTheName) {
    HANDLE first = nullptr;
    {
        ScopedDeviceRoot a;
        first = CreateMutexW(nullptr, FALSE, L"ZARudizeru");
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(GetLastError(), 0u);
        HANDLE other = CreateMutexW(nullptr, FALSE, L"another");
        EXPECT_EQ(GetLastError(), 0u) << "another name";
        CloseHandle(other);
        HANDLE again = CreateMutexW(nullptr, FALSE, L"ZARudizeru");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "same process too";
        CloseHandle(again);
        ScopedDeviceRoot b;
        HANDLE elsewhere = CreateMutexW(nullptr, FALSE, L"ZARudizeru");
        EXPECT_EQ(GetLastError(), 0u) << "another device root";
        CloseHandle(elsewhere);
    }
    CloseHandle(first);
}

// ---- power ------------------------------------------------------------------------------------

TEST(GetSystemPowerStatusEx2, ReadsThePowerSupplyFolderOfTheDeviceRoot) {
    struct Supply {
        std::string name;
        std::map<std::string, std::string> files;
    };
    struct Case {
        const char* description;
        std::vector<Supply> supplies;
        BYTE acLine;
        BYTE flag;
        BYTE percent;
    } cases[] = {
        {"no entries at all",
         {},
         AC_LINE_ONLINE,
         BATTERY_FLAG_NO_BATTERY,
         BATTERY_PERCENTAGE_UNKNOWN},
        {"mains only",
         {{"AC", {{"type", "Mains"}, {"online", "0"}}}},
         AC_LINE_ONLINE,
         BATTERY_FLAG_NO_BATTERY,
         BATTERY_PERCENTAGE_UNKNOWN},
        {"on battery",
         {{"AC", {{"type", "Mains"}, {"online", "0"}}},
          {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "80"}}}},
         AC_LINE_OFFLINE,
         BATTERY_FLAG_HIGH,
         80},
        {"charging on mains",
         {{"AC", {{"type", "Mains"}, {"online", "1"}}},
          {"BAT0", {{"type", "Battery"}, {"status", "Charging"}, {"capacity", "20"}}}},
         AC_LINE_ONLINE,
         BATTERY_FLAG_LOW | BATTERY_FLAG_CHARGING,
         20},
        {"USB supply online",
         {{"usb", {{"type", "USB"}, {"online", "1"}}},
          {"BAT0", {{"type", "Battery"}, {"status", "Full"}, {"capacity", "100"}}}},
         AC_LINE_ONLINE,
         BATTERY_FLAG_HIGH,
         100},
        {"battery without a mains entry, discharging",
         {{"BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "3"}}}},
         AC_LINE_OFFLINE,
         BATTERY_FLAG_CRITICAL,
         3},
        {"a battery slot with nothing in it",
         {{"BAT1", {{"type", "Battery"}, {"present", "0"}}}},
         AC_LINE_ONLINE,
         BATTERY_FLAG_NO_BATTERY,
         BATTERY_PERCENTAGE_UNKNOWN},
    };
    for (const Case& c : cases) {
        ScopedDeviceRoot root;
        for (const Supply& s : c.supplies) {
            for (const auto& [file, text] : s.files) {
                WriteFileText(root.dir() + "/sys/class/power_supply/" + s.name + "/" + file,
                              text + "\n");
            }
        }
        SYSTEM_POWER_STATUS_EX2 st{};
        EXPECT_EQ(GetSystemPowerStatusEx2(&st, sizeof st, TRUE), sizeof st) << c.description;
        EXPECT_EQ(st.ACLineStatus, c.acLine) << c.description;
        EXPECT_EQ(st.BatteryFlag, c.flag) << c.description;
        EXPECT_EQ(st.BatteryLifePercent, c.percent) << c.description;
    }
}

TEST(GetSystemPowerStatusEx2, ATestAnswerTakesTheHostsPlace) {
    vmod_testing::SetPowerStatus([](SYSTEM_POWER_STATUS_EX2* s) {
        s->ACLineStatus = AC_LINE_OFFLINE;
        s->BatteryLifePercent = 42;
        return TRUE;
    });
    SYSTEM_POWER_STATUS_EX2 st{};
    st.ACLineStatus = 7;
    EXPECT_EQ(GetSystemPowerStatusEx2(&st, 56, TRUE), 56u);
    EXPECT_EQ(st.ACLineStatus, AC_LINE_OFFLINE);
    EXPECT_EQ(st.BatteryLifePercent, 42);
    vmod_testing::SetPowerStatus([](SYSTEM_POWER_STATUS_EX2*) { return FALSE; });
    EXPECT_EQ(GetSystemPowerStatusEx2(&st, 56, TRUE), 0u);
    vmod_testing::SetPowerStatus(nullptr);
}

// ---- reboot -----------------------------------------------------------------------------------

TEST(ExitWindowsEx, UnderADeviceRootTheRebootIsRecorded) {
    ScopedDeviceRoot root;
    const std::string marker = root.dir() + "/reboot-requested";
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_FALSE(ExitWindowsEx(0x1, 0)) << "only the reboot is offered";
}

TEST(ExitWindowsEx, ATestHandlerTakesTheRebootsPlace) {
    ScopedDeviceRoot root;
    int calls = 0;
    vmod_testing::SetRebootHandler([&] { ++calls; });
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    vmod_testing::SetRebootHandler(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fs::exists(root.dir() + "/reboot-requested"));
}

// ---- the host's COM numbering -----------------------------------------------------------------

TEST(AssignComPorts, LinksFirstThenUsbAdaptersModemsAndPresentUarts) {
    struct Case {
        const char* description;
        std::vector<std::string> devices;             // files in the device folder
        std::map<std::string, std::string> links;     // link -> target name
        std::map<std::string, std::string> uartTypes; // sysfs type of ttyS*
        std::map<int, std::string> expected;          // COMn -> entry name
    } cases[] = {
        {"nothing", {}, {}, {}, {}},
        {"USB adapters in number order, not name order",
         {"ttyUSB10", "ttyUSB2", "ttyUSB0"},
         {},
         {},
         {{1, "ttyUSB0"}, {2, "ttyUSB2"}, {3, "ttyUSB10"}}},
        {"adapters before modems before UARTs",
         {"ttyS0", "ttyACM0", "ttyUSB0"},
         {},
         {{"ttyS0", "4"}},
         {{1, "ttyUSB0"}, {2, "ttyACM0"}, {3, "ttyS0"}}},
        {"UARTs with no hardware are skipped",
         {"ttyS0", "ttyS1", "ttyS2"},
         {},
         {{"ttyS0", "0"}, {"ttyS1", "4"}, {"ttyS2", "0"}},
         {{1, "ttyS1"}}},
        {"a link keeps its number; others take the lowest free",
         {"ttyUSB0", "ttyUSB1"},
         {{"COM1", "ttyUSB1"}},
         {},
         {{1, "COM1"}, {2, "ttyUSB0"}}},
        {"a link high up leaves the low numbers to the probes",
         {"ttyACM0"},
         {{"COM3", "ttyACM9"}},
         {},
         {{1, "ttyACM0"}, {3, "COM3"}}},
        {"names that only look like devices are ignored",
         {"ttyUSB", "ttyUSB01", "ttyUSBx", "ttyS0a"},
         {{"COM0", "x"}, {"COM256", "y"}},
         {},
         {}},
    };
    for (const Case& c : cases) {
        char tmpl[] = "/tmp/vmod-comdev-XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        const std::string dev = dir + "/dev";
        const std::string sys = dir + "/sys";
        fs::create_directories(dev);
        for (const std::string& d : c.devices) {
            WriteFileText(dev + "/" + d, "");
        }
        for (const auto& [link, target] : c.links) {
            fs::create_symlink(dev + "/" + target, dev + "/" + link);
        }
        for (const auto& [name, type] : c.uartTypes) {
            WriteFileText(sys + "/" + name + "/type", type + "\n");
        }
        std::map<int, std::string> got;
        for (const auto& [n, path] : vmod_posix::AssignComPorts(dev, sys)) {
            got[n] = fs::path(path).filename().string();
        }
        EXPECT_EQ(got, c.expected) << c.description;
        fs::remove_all(dir);
    }
}

} // namespace
