// The serial back end of in-process tests: COMn ports wired to stand-in module engines.
//
// Each engine sits behind one port number. A port opens only while its engine says the
// module is present, and only once at a time (as the host refuses a second open); a port
// opened before the module's latest reset stays dead, as the handle of an unplugged
// device does, even after the module is back. Time comes from the clock given (by default
// the test seams' clock, vmod_testing::NowMs), in milliseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/testing.h"
#include "tools/sim/engine.h"

namespace vmod_sim {

class SimBackend : public vmod_testing::SerialBackend {
  public:
    using ClockMs = std::function<uint64_t()>;

    // Time from vmod_testing::NowMs().
    SimBackend();
    explicit SimBackend(ClockMs nowMs);
    ~SimBackend() override;

    // Puts a module with these settings behind COMn, replacing any there; the backend owns it.
    Engine& Attach(int comNumber, Settings settings = {});
    // The engine behind COMn, or nullptr. While the tool runs, look at it only under Lock().
    Engine* EngineAt(int comNumber);
    // Held by every port call; hold it to look at an engine from another thread (the
    // backend's own calls may be made while holding it).
    std::unique_lock<std::recursive_mutex> Lock() {
        return std::unique_lock<std::recursive_mutex>(m_mutex);
    }

    std::unique_ptr<vmod_testing::SerialPort> Open(int comNumber) override;

    struct OpenAttempt {
        uint64_t timeMs;
        int comNumber;
        bool opened;
    };
    // Every Open in order, with or without an engine behind the number.
    std::vector<OpenAttempt> OpenAttempts();

    struct LineSettings {
        uint32_t baud = 0;
        int dataBits = 0;
        int parity = -1;
        int stopBits = -1;
    };
    // The line settings last configured on COMn's port (zeros when never).
    LineSettings LastSettings(int comNumber);
    // PurgeComm flags received on COMn's ports, in order.
    std::vector<DWORD> Purges(int comNumber);

  private:
    class Port;
    friend class Port;

    struct Slot {
        std::unique_ptr<Engine> engine;
        uint64_t attachment = 0; // tells a replaced module's ports from the new one's
        bool open = false;       // a live port holds it
        uint32_t openGeneration = 0;
        LineSettings settings;
        std::vector<DWORD> purges;
    };

    uint64_t NowUs() { return m_nowMs() * 1000; }

    ClockMs m_nowMs;
    std::recursive_mutex m_mutex;
    std::map<int, Slot> m_slots;
    std::vector<OpenAttempt> m_attempts;
    uint64_t m_attachments = 0;
};

} // namespace vmod_sim
