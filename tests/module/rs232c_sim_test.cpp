// CRs232c against kv615mq-sim's serving loop on a real pseudo-terminal, in real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <time.h>

#include "module/module_protocol.h"
#include "module/rs232c.h"
#include "platform/testing_ui.h"
#include "tools/sim/program.h"

namespace {

namespace fs = std::filesystem;

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

class SimOnRoot {
  public:
    SimOnRoot(int port, uint32_t resetGoneMs) {
        char tmpl[] = "/tmp/vmod-rs232c-sim-XXXXXX";
        m_root = mkdtemp(tmpl);
        setenv("VMOD_ROOT", m_root.c_str(), 1);
        m_options.root = m_root;
        m_options.port = port;
        m_options.logPath = m_root + "/sim.log";
        m_options.settings.resetGoneMs = resetGoneMs;
        m_thread = std::thread([this] { vmod_sim::RunProgram(m_options, m_stop, m_out, m_err); });
        const fs::path link = fs::path(m_root) / "dev" / ("COM" + std::to_string(port));
        for (int i = 0; i < 500 && !Linked(link); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~SimOnRoot() {
        m_stop = true;
        m_thread.join();
        unsetenv("VMOD_ROOT");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    static bool Linked(const fs::path& link) {
        std::error_code ec;
        return fs::is_symlink(fs::symlink_status(link, ec));
    }

  private:
    std::string m_root;
    vmod_sim::ProgramOptions m_options;
    std::atomic<bool> m_stop{false};
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::thread m_thread;
};

std::string Ask(CRs232c& port, const char* command, DWORD length, DWORD waitMs, DWORD max) {
    port.Write(reinterpret_cast<const BYTE*>(command), length);
    Sleep(waitMs);
    std::string reply(max, '\0');
    reply.resize(port.Read(reinterpret_cast<BYTE*>(reply.data()), max));
    return reply;
}

TEST(Rs232cWithStandIn, IdentifiesTheModuleAndSurvivesItsReset) {
    int boxes = 0;
    vmod_testing::SetMessageBoxAnswerer([&](const vmod_testing::MessageBoxRecord&) {
        ++boxes;
        return IDOK;
    });
    SimOnRoot sim(3, 1500);
    CRs232c port;
    EXPECT_EQ(port.Open(2), 0) << "nothing on COM2";
    ASSERT_EQ(port.Open(3), 1);
    const std::string model =
        Ask(port, kCmdModelQuery, kCmdModelQueryLength, kModelQueryWaitMs, kModelQueryReadSize);
    EXPECT_EQ(model.rfind(kEchoPrefix, 0), 0u) << model;
    EXPECT_NE(model.find(kModelName), std::string::npos) << model;

    // The reset takes the port away: reads then fail after their timeout, without spinning.
    port.Write(reinterpret_cast<const BYTE*>("!!rESET\r\n"), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    BYTE b = 0;
    const uint64_t t0 = RealMs();
    const uint64_t cpu0 = ThreadCpuMs();
    EXPECT_EQ(port.Read(&b, 1), 0u);
    EXPECT_GE(RealMs() - t0, 900u);
    EXPECT_LT(ThreadCpuMs() - cpu0, 300u);
    EXPECT_EQ(port.Close(), 1);

    // Re-open as the download worker does: retries until the port is back.
    int attempts = 0;
    while (!port.Open(3) && attempts < 20) {
        ++attempts;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_TRUE(port.IsOpen());
    EXPECT_GE(attempts, 1) << "the port was gone for a while";
    const std::string again =
        Ask(port, kCmdModelQuery, kCmdModelQueryLength, kModelQueryWaitMs, kModelQueryReadSize);
    EXPECT_NE(again.find(kModelName), std::string::npos) << again;
    port.Close();
    EXPECT_EQ(boxes, 0);
    vmod_testing::SetMessageBoxAnswerer(nullptr);
}

} // namespace
