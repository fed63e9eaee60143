#include <gtest/gtest.h>

#include <string>

#include "tests/sim/sim_test_util.h"
#include "tools/sim/backend.h"

namespace vmod_sim {
namespace {

const std::string kModelReply = "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n";

size_t WriteText(vmod_testing::SerialPort& port, const std::string& text) {
    return port.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string ReadAll(vmod_testing::SerialPort& port) {
    uint8_t buffer[256];
    std::string out;
    size_t n = 0;
    while ((n = port.Read(buffer, sizeof buffer)) > 0) {
        out.append(reinterpret_cast<const char*>(buffer), n);
    }
    return out;
}

class SimBackendTest : public ::testing::Test {
  protected:
    uint64_t m_nowMs = 1000;
    SimBackend m_backend{[this] { return m_nowMs; }};
};

TEST_F(SimBackendTest, PortsExistOnlyWhereAModuleIs) {
    m_backend.Attach(3);
    EXPECT_EQ(m_backend.Open(1), nullptr);
    EXPECT_EQ(m_backend.Open(2), nullptr);
    auto port = m_backend.Open(3);
    ASSERT_NE(port, nullptr);
    EXPECT_FALSE(port->Gone());
    const auto attempts = m_backend.OpenAttempts();
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_EQ(attempts[0].comNumber, 1);
    EXPECT_FALSE(attempts[0].opened);
    EXPECT_EQ(attempts[2].comNumber, 3);
    EXPECT_TRUE(attempts[2].opened);
    EXPECT_EQ(attempts[2].timeMs, 1000u);
}

TEST_F(SimBackendTest, RepliesArriveOnTheClock) {
    Settings s;
    s.latencyUs = 5000;
    m_backend.Attach(7, s);
    auto port = m_backend.Open(7);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(WriteText(*port, "ATI4\r"), 5u);
    m_nowMs += 4;
    EXPECT_EQ(ReadAll(*port), "");
    m_nowMs += 1;
    EXPECT_EQ(ReadAll(*port), kModelReply);
    auto lock = m_backend.Lock();
    ASSERT_EQ(m_backend.EngineAt(7)->Commands().size(), 1u);
    EXPECT_EQ(m_backend.EngineAt(7)->Commands()[0].timeUs, 1'000'000u);
}

TEST_F(SimBackendTest, OneOpenAtATime) {
    m_backend.Attach(4);
    auto first = m_backend.Open(4);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(m_backend.Open(4), nullptr) << "a second open is refused";
    first.reset();
    auto again = m_backend.Open(4);
    ASSERT_NE(again, nullptr) << "after close it opens again";
    WriteText(*again, "ATI4\r");
    EXPECT_EQ(ReadAll(*again), kModelReply);
}

TEST_F(SimBackendTest, ResetTakesThePortAwayForTheSetTime) {
    Settings s;
    s.resetGoneMs = 3000;
    m_backend.Attach(5, s);
    auto port = m_backend.Open(5);
    ASSERT_NE(port, nullptr);
    WriteText(*port, test::kResetCommand);
    EXPECT_TRUE(port->Gone());
    EXPECT_EQ(WriteText(*port, "ATI4\r"), 0u);
    m_nowMs += 2999;
    EXPECT_EQ(m_backend.Open(5), nullptr) << "still away";
    m_nowMs += 1;
    auto fresh = m_backend.Open(5);
    ASSERT_NE(fresh, nullptr) << "back after 3000 ms, though the old handle is still held";
    EXPECT_TRUE(port->Gone()) << "the old handle stays dead";
    EXPECT_EQ(WriteText(*port, "ATI4\r"), 0u);
    WriteText(*fresh, "ATI4\r");
    EXPECT_EQ(ReadAll(*fresh), kModelReply);
    port.reset();
    EXPECT_EQ(m_backend.Open(5), nullptr) << "closing the dead handle frees nothing";
}

TEST_F(SimBackendTest, PurgeAndLineSettings) {
    m_backend.Attach(2);
    auto port = m_backend.Open(2);
    ASSERT_NE(port, nullptr);
    port->Configure(115200, 8, 0, 0);
    const SimBackend::LineSettings line = m_backend.LastSettings(2);
    EXPECT_EQ(line.baud, 115200u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.stopBits, 0);
    WriteText(*port, "ATI4\r");
    port->Purge(0x0004); // the output side: what has arrived stays
    EXPECT_EQ(ReadAll(*port), kModelReply);
    WriteText(*port, "ATI4\r");
    port->Purge(0x0008); // the input side: what has arrived is dropped
    EXPECT_EQ(ReadAll(*port), "");
    EXPECT_EQ(m_backend.Purges(2), (std::vector<DWORD>{4, 8}));
}

TEST_F(SimBackendTest, AttachReplacesTheModule) {
    m_backend.Attach(6);
    auto port = m_backend.Open(6);
    ASSERT_NE(port, nullptr);
    Settings s;
    s.model = "OTHER";
    m_backend.Attach(6, s);
    EXPECT_TRUE(port->Gone()) << "the old module's port is dead";
    auto fresh = m_backend.Open(6);
    ASSERT_NE(fresh, nullptr);
    WriteText(*fresh, "ATI4\r");
    EXPECT_EQ(ReadAll(*fresh), "ATI4\r\r\nOTHER\r\n\r\nOK\r\n");
}

} // namespace
} // namespace vmod_sim
