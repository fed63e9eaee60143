// The test seams' clock. The program's own waits are the system's Sleep and GetTickCount on
// Windows, which no test clock reaches; the clock serves the code that asks it by name.
#include <atomic>

#include "platform/testing.h"

namespace {

class VirtualClock : public vmod_testing::Clock {
  public:
    explicit VirtualClock(uint64_t startMs) : m_now(startMs) {}
    uint64_t NowMs() override { return m_now.load(); }
    void SleepMs(uint64_t ms) override { m_now.fetch_add(ms); }

  private:
    std::atomic<uint64_t> m_now;
};

std::atomic<vmod_testing::Clock*> g_clock{nullptr};

} // namespace

namespace vmod_testing {

std::unique_ptr<Clock> MakeVirtualClock(uint64_t startMs) {
    return std::make_unique<VirtualClock>(startMs);
}

void SetClock(Clock* clock) {
    g_clock.store(clock);
}

uint64_t NowMs() {
    Clock* clock = g_clock.load();
    return clock ? clock->NowMs() : GetTickCount64();
}

void SleepMs(uint64_t ms) {
    Clock* clock = g_clock.load();
    if (clock) {
        clock->SleepMs(ms);
        return;
    }
    while (ms > 0) {
        const DWORD step = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
        Sleep(step);
        ms -= step;
    }
}

} // namespace vmod_testing
