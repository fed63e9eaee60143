#include "tools/sim/backend.h"

namespace vmod_sim {

// PurgeComm's flag for discarding what has arrived but not been read.
constexpr DWORD kPurgeRxClear = 0x0008;

class SimBackend::Port : public vmod_testing::SerialPort {
  public:
    Port(SimBackend* backend, int comNumber, const Slot& slot)
        : m_backend(backend), m_com(comNumber), m_engine(slot.engine.get()),
          m_attachment(slot.attachment), m_generation(slot.openGeneration) {}

    ~Port() override {
        std::lock_guard<std::recursive_mutex> lock(m_backend->m_mutex);
        Slot* slot = Live();
        if (slot) {
            slot->open = false;
        }
    }

    size_t Write(const uint8_t* data, size_t count) override {
        std::lock_guard<std::recursive_mutex> lock(m_backend->m_mutex);
        const uint64_t now = m_backend->NowUs();
        if (!Alive(now)) {
            return 0;
        }
        m_engine->Receive(data, count, now);
        return count;
    }

    size_t Read(uint8_t* out, size_t max) override {
        std::lock_guard<std::recursive_mutex> lock(m_backend->m_mutex);
        const uint64_t now = m_backend->NowUs();
        if (!Alive(now)) {
            return 0;
        }
        return m_engine->TakeReplies(out, max, now);
    }

    bool Gone() override {
        std::lock_guard<std::recursive_mutex> lock(m_backend->m_mutex);
        return !Alive(m_backend->NowUs());
    }

    void Configure(uint32_t baud, int dataBits, int parity, int stopBits) override {
        std::lock_guard<std::recursive_mutex> lock(m_backend->m_mutex);
        auto it = m_backend->m_slots.find(m_com);
        if (it != m_backend->m_slots.end()) {
            it->second.settings = {baud, dataBits, parity, stopBits};
        }
    }

    void Purge(DWORD flags) override {
        std::lock_guard<std::recursive_mutex> lock(m_backend->m_mutex);
        auto it = m_backend->m_slots.find(m_com);
        if (it == m_backend->m_slots.end()) {
            return;
        }
        it->second.purges.push_back(flags);
        const uint64_t now = m_backend->NowUs();
        if ((flags & kPurgeRxClear) && Alive(now)) {
            m_engine->DiscardDelivered(now);
        }
    }

  private:
    // The slot while this port is still the one holding it.
    Slot* Live() {
        auto it = m_backend->m_slots.find(m_com);
        if (it == m_backend->m_slots.end() || it->second.attachment != m_attachment ||
            it->second.openGeneration != m_generation) {
            return nullptr;
        }
        return &it->second;
    }

    bool Alive(uint64_t nowUs) {
        return Live() && m_engine->Present(nowUs) && m_engine->Generation() == m_generation;
    }

    SimBackend* m_backend;
    int m_com;
    Engine* m_engine; // valid while the slot keeps m_attachment
    uint64_t m_attachment;
    uint32_t m_generation;
};

SimBackend::SimBackend(ClockMs nowMs) : m_nowMs(std::move(nowMs)) {}

SimBackend::~SimBackend() = default;

Engine& SimBackend::Attach(int comNumber, Settings settings) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Slot& slot = m_slots[comNumber];
    slot = Slot{};
    slot.engine = std::make_unique<Engine>(std::move(settings));
    slot.attachment = ++m_attachments;
    return *slot.engine;
}

Engine* SimBackend::EngineAt(int comNumber) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_slots.find(comNumber);
    return it == m_slots.end() ? nullptr : it->second.engine.get();
}

std::unique_ptr<vmod_testing::SerialPort> SimBackend::Open(int comNumber) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const uint64_t now = NowUs();
    auto it = m_slots.find(comNumber);
    bool opened = false;
    std::unique_ptr<vmod_testing::SerialPort> port;
    if (it != m_slots.end() && it->second.engine) {
        Slot& slot = it->second;
        Engine& engine = *slot.engine;
        const bool present = engine.Present(now);
        const bool held = slot.open && slot.openGeneration == engine.Generation();
        if (present && !held) {
            slot.open = true;
            slot.openGeneration = engine.Generation();
            port = std::make_unique<Port>(this, comNumber, slot);
            opened = true;
        }
    }
    m_attempts.push_back({now / 1000, comNumber, opened});
    return port;
}

std::vector<SimBackend::OpenAttempt> SimBackend::OpenAttempts() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_attempts;
}

SimBackend::LineSettings SimBackend::LastSettings(int comNumber) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_slots.find(comNumber);
    return it == m_slots.end() ? LineSettings{} : it->second.settings;
}

std::vector<DWORD> SimBackend::Purges(int comNumber) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_slots.find(comNumber);
    return it == m_slots.end() ? std::vector<DWORD>{} : it->second.purges;
}

} // namespace vmod_sim
