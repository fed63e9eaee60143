// vmod-soak: many updates of the stand-in module, each under a fault drawn at random, through
// the engine the dialog and vmod-update share (identification and download), in process on the
// virtual clock. Each run is replayable from the seed and its number. It counts how each run
// ended:
//
//   updated        the tool said complete and the module holds exactly the firmware
//   told           the tool ended with a failure and its message; the module was not told the
//                  main image was complete (or the module's "DOWN" to it was lost)
//   BAD-...        anything else: reported as updated with another image, a hang past the
//                  bound, the port left held, a damaged package that reached the module, a
//                  failure reported for a module that took the whole image, a failure under
//                  a fault the protocol's own waits cover (or under none)
//
//   vmod-soak [--runs N] [--seed S] [--run K] [--verbose]
//
// Exit status 0 when no run is BAD.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/firmware.h"
#include "download/update_engine.h"
#include "module/identify.h"
#include "package/firmware_package.h"
#include "platform/testing.h"
#include "tools/sim/backend.h"
#include "tools/sim/srec.h"

namespace {

using vmod_sim::Pass;

// The longest a run may take on the virtual clock: the slowest ending the protocol allows
// (seven re-open attempts, the 30 s limit, the end waits) is well inside it.
constexpr uint64_t kHangBoundMs = 10 * 60 * 1000;
constexpr int kPort = 3;
constexpr uint32_t kMainAddress = 0x8000;
constexpr uint32_t kBootAddress = 0x0;

struct Material {
    std::vector<unsigned char> mainFirmware, bootFirmware;
    std::string mainText, bootText;
    std::vector<unsigned char> mainPayload, bootPayload;
    vmod_sim::SparseImage mainImage, bootImage;
};

int LinesOf(const std::string& text) {
    int n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++n;
    return n;
}

Material MakeMaterial() {
    Material m;
    m.mainFirmware = make_firmware(4096, 11);
    m.bootFirmware = make_firmware(1024, 12);
    m.mainText = make_srecord_text(m.mainFirmware, kMainAddress);
    m.bootText = make_srecord_text(m.bootFirmware, kBootAddress);
    m.mainPayload = gzip_member(m.mainText, 9);
    seal_payload(m.mainPayload);
    m.bootPayload = gzip_member(m.bootText, 9);
    seal_payload(m.bootPayload);
    m.mainImage.Write(kMainAddress, m.mainFirmware.data(), m.mainFirmware.size());
    m.bootImage.Write(kBootAddress, m.bootFirmware.data(), m.bootFirmware.size());
    return m;
}

void LoadIntoPackage(const Material& m, const std::vector<unsigned char>& main,
                     const std::vector<unsigned char>& boot) {
    FirmwarePackage& p = g_firmwarePackage;
    p.mainImage = std::make_unique<uint8_t[]>(main.size());
    std::memcpy(p.mainImage.get(), main.data(), main.size());
    p.mainImageSize = static_cast<uint32_t>(main.size());
    p.bootImage = std::make_unique<uint8_t[]>(boot.size());
    std::memcpy(p.bootImage.get(), boot.data(), boot.size());
    p.bootImageSize = static_cast<uint32_t>(boot.size());
    // Every line of the text is sent: the header counts one more.
    p.mainLineCount = LinesOf(m.mainText) + 1;
    p.bootLineCount = LinesOf(m.bootText) + 1;
    p.mainVersionText = L"1.05";
    p.bootVersionText = L"1.02";
}

// One run's plan: the module, the fault and what the soak does during the update.
struct Plan {
    std::string fault;
    vmod_sim::Settings module;
    bool damaged = false;       // one payload byte changed
    int intruderAtPercent = -1; // another opener tries the port when the update reaches this
    std::string note;           // the fault's particulars, for the report of a run
};

using FaultMaker = std::function<void(std::mt19937&, Plan&, int mainLines, int bootLines)>;

// A line of a pass chosen at random: "boot:N" or "main:N" as a LineSet.
vmod_sim::LineSet RandomLine(std::mt19937& rng, const Plan& plan, int mainLines, int bootLines) {
    vmod_sim::LineSet set;
    const bool bootPass = plan.module.bootVersion == std::string("1.01");
    const bool boot = bootPass && std::uniform_int_distribution<int>(0, 3)(rng) == 0;
    set.boot = boot;
    set.main = !boot;
    set.lines.insert(static_cast<uint32_t>(
        std::uniform_int_distribution<int>(1, boot ? bootLines : mainLines)(rng)));
    return set;
}

const std::vector<std::pair<std::string, FaultMaker>>& Faults() {
    static const std::vector<std::pair<std::string, FaultMaker>> faults = {
        {"none", [](auto&, auto&, int, int) {}},
        {"lost ack",
         [](auto& r, auto& p, int m, int b) { p.module.faults.lostAck = RandomLine(r, p, m, b); }},
        {"late ack",
         [](auto& r, auto& p, int m, int b) {
             p.module.faults.lateAck = RandomLine(r, p, m, b);
             p.module.faults.lateAckMs = std::uniform_int_distribution<uint32_t>(1000, 45000)(r);
         }},
        {"garbage before ack",
         [](auto& r, auto& p, int m, int b) {
             p.module.faults.wrongAck = RandomLine(r, p, m, b);
             p.module.faults.wrongByte = static_cast<uint8_t>(r());
         }},
        {"garbage instead of ack",
         [](auto& r, auto& p, int m, int b) {
             p.module.faults.garbledAck = RandomLine(r, p, m, b);
         }},
        {"truncated reply",
         [](auto& r, auto& p, int, int) {
             // Any reply of the update; its rest is lost or comes up to 3 s later.
             static const vmod_sim::Reply replies[] = {
                 vmod_sim::Reply::Model,      vmod_sim::Reply::Firmware,
                 vmod_sim::Reply::Version,    vmod_sim::Reply::BootUpdate,
                 vmod_sim::Reply::MainUpdate, vmod_sim::Reply::BootDown,
                 vmod_sim::Reply::MainDown};
             vmod_sim::ReplyCut& cut = p.module.faults.cut;
             cut.reply = replies[std::uniform_int_distribution<size_t>(0, 6)(r)];
             const bool down = cut.reply == vmod_sim::Reply::BootDown ||
                               cut.reply == vmod_sim::Reply::MainDown;
             cut.keep = std::uniform_int_distribution<uint32_t>(0, down ? 5 : 40)(r);
             if (r() & 1)
                 cut.restAfterMs = std::uniform_int_distribution<uint32_t>(0, 3000)(r);
             static const char* names[] = {"",          "model",     "firmware", "version",
                                           "boot-update", "main-update", "boot-down",
                                           "main-down"};
             p.note = std::string(names[static_cast<int>(cut.reply)]) + ":" +
                      std::to_string(cut.keep) +
                      (cut.restAfterMs ? "+" + std::to_string(*cut.restAfterMs) : "");
         }},
        {"module falls silent", [](auto& r, auto& p, int m,
                                   int b) { p.module.faults.silentFrom = RandomLine(r, p, m, b); }},
        {"adapter pulled, back",
         [](auto& r, auto& p, int m, int b) {
             p.module.faults.pulledAt = RandomLine(r, p, m, b);
             p.module.faults.pulledForMs = std::uniform_int_distribution<uint32_t>(100, 20000)(r);
         }},
        {"adapter pulled for good",
         [](auto& r, auto& p, int m, int b) { p.module.faults.pulledAt = RandomLine(r, p, m, b); }},
        {"no return after reset", [](auto&, auto& p, int, int) { p.module.resetGoneMs.reset(); }},
        {"late return after reset",
         [](auto& r, auto& p, int, int) {
             p.module.resetGoneMs = std::uniform_int_distribution<uint32_t>(5000, 45000)(r);
         }},
        {"replies just inside the read timeout",
         [](auto&, auto& p, int, int) { p.module.latencyUs = 950000; }},
        {"replies just outside the read timeout",
         [](auto&, auto& p, int, int) { p.module.latencyUs = 1050000; }},
        {"download command not confirmed",
         [](auto& r, auto& p, int, int) {
             (r() & 1 ? p.module.faults.noUpdateBoot : p.module.faults.noUpdateMain) = true;
         }},
        {"end marker answered BUSY",
         [](auto& r, auto& p, int, int) {
             p.module.faults.noDown = std::uniform_int_distribution<int>(1, 3)(r);
             p.module.faults.noDownAckDelayMs =
                 std::uniform_int_distribution<uint32_t>(1000, 40000)(r);
         }},
        {"damaged package", [](auto&, auto& p, int, int) { p.damaged = true; }},
        {"another program opens the port",
         [](auto& r, auto& p, int, int) {
             p.intruderAtPercent = std::uniform_int_distribution<int>(1, 99)(r);
         }},
    };
    return faults;
}

// Faults after which the update must still complete: the protocol's own waits cover them.
bool Harmless(const std::string& fault) {
    return fault == "none" || fault == "garbage before ack" ||
           fault == "another program opens the port" ||
           fault == "replies just inside the read timeout";
}

// The engine's events as the soak watches them.
class Watch : public DownloadEvents {
  public:
    Watch(uint64_t startMs, int intruderAtPercent)
        : m_startMs(startMs), m_intruderAt(intruderAtPercent) {}
    bool StopRequested() override {
        hung = hung || vmod_testing::NowMs() - m_startMs > kHangBoundMs;
        return hung;
    }
    void OnProgress(int32_t numerator, int32_t total) override {
        if (m_intruderAt >= 0 && numerator / total >= m_intruderAt) {
            m_intruderAt = -1;
            CRs232c other;
            intruderOpened = other.Open(kPort) != 0;
        }
    }
    void OnFailed(DownloadOutcome outcome, const EngineMessage& message,
                  const std::string& detail) override {
        this->outcome = outcome;
        told = message.text != nullptr && message.text[0] != 0;
        this->detail = detail;
    }
    void OnCompleted(const EngineMessage&) override { outcome = DownloadOutcome::Completed; }

    DownloadOutcome outcome = DownloadOutcome::Stopped;
    bool told = false;
    bool hung = false;
    bool intruderOpened = false;
    std::string detail;

  private:
    uint64_t m_startMs;
    int m_intruderAt;
};

struct Result {
    std::string fault;
    std::string ending;
    std::string detail;
    std::string note;
};

Result RunOne(const Material& material, uint64_t seed, int run) {
    std::mt19937 rng(static_cast<uint32_t>(seed * 1000003u + static_cast<uint64_t>(run)));
    Plan plan;
    plan.module.firmwareVersion = "1.03";
    plan.module.bootVersion = rng() & 1 ? "1.01" : "1.05";
    const auto& faults = Faults();
    const auto& fault = faults[std::uniform_int_distribution<size_t>(0, faults.size() - 1)(rng)];
    plan.fault = fault.first;
    fault.second(rng, plan, LinesOf(material.mainText), LinesOf(material.bootText));

    std::vector<unsigned char> main = material.mainPayload, boot = material.bootPayload;
    if (plan.damaged) {
        std::vector<unsigned char>& payload = rng() & 1 ? main : boot;
        const size_t at = std::uniform_int_distribution<size_t>(0, payload.size() - 1)(rng);
        payload[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
    }
    LoadIntoPackage(material, main, boot);

    auto clock = vmod_testing::MakeVirtualClock(0);
    vmod_testing::SetClock(clock.get());
    vmod_sim::SimBackend backend;
    backend.Attach(kPort, plan.module);
    vmod_testing::SetSerialBackend(&backend);

    Result result{plan.fault, "", "", plan.note};
    CRs232c port;
    IdentifyEvents quiet;
    ModuleIdentity identity;
    const bool bootDue = plan.module.bootVersion == std::string("1.01");
    if (!IdentifyModule(port, kPort, kPort, L"1.05", quiet, &identity)) {
        result.ending =
            plan.module.latencyUs > 1000000 || plan.fault == "truncated reply"
                ? "told (not identified)"
                : "BAD-not-identified";
    } else {
        Watch watch(vmod_testing::NowMs(), plan.intruderAtPercent);
        RunDownload(std::move(port), {kPort, identity.bootVersion}, watch);
        auto lock = backend.Lock();
        const vmod_sim::Engine& module = *backend.EngineAt(kPort);
        const bool mainDone = module.Completions(Pass::Main) > 0;
        const bool exact =
            mainDone &&
            vmod_sim::CompareImages(module.MainImage(), material.mainImage, "main").equal &&
            (!bootDue ||
             vmod_sim::CompareImages(module.BootImage(), material.bootImage, "boot").equal);
        result.detail = watch.detail;
        if (watch.hung)
            result.ending = "BAD-hang";
        else if (watch.intruderOpened)
            result.ending = "BAD-port-shared";
        else if (watch.outcome == DownloadOutcome::Completed)
            // A damaged byte the check let through must not have changed what the module took
            // (the gzip trailer and the padding carry no text).
            result.ending = exact ? "updated" : "BAD-updated-with-another-image";
        else if (plan.damaged && !module.Lines().empty() && !module.ImageFaults(Pass::Main) &&
                 !watch.detail.empty() && watch.detail.find("refused") == std::string::npos)
            result.ending = "BAD-damaged-package-sent";
        else if (mainDone)
            // Only a lost "DOWN" leaves the tool unable to know that the module took the image:
            // a failure told then is the safe side.
            result.ending = plan.module.faults.cut.reply == vmod_sim::Reply::MainDown && watch.told
                                ? "told (module took the image)"
                                : "BAD-failure-after-complete";
        else if (Harmless(plan.fault))
            result.ending = "BAD-failed-without-cause";
        else
            result.ending = watch.told ? "told" : "BAD-not-told";
    }
    // Whatever the run did, the port is free for the next opener while the module is there.
    {
        bool present = false;
        {
            auto lock = backend.Lock();
            present = backend.EngineAt(kPort)->Present(vmod_testing::NowMs() * 1000);
        }
        CRs232c next;
        if (present && !next.Open(kPort) && result.ending.rfind("BAD", 0) != 0)
            result.ending = "BAD-port-left-held";
    }
    vmod_testing::SetSerialBackend(nullptr);
    vmod_testing::SetClock(nullptr);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    int runs = 1000;
    uint64_t seed = 1;
    int only = -1;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--run" && i + 1 < argc)
            only = std::atoi(argv[++i]);
        else if (a == "--verbose")
            verbose = true;
        else {
            std::fprintf(stderr, "usage: vmod-soak [--runs N] [--seed S] [--run K] [--verbose]\n");
            return 2;
        }
    }
    vmod_testing::SetSleepInhibitor([](LPCWSTR) { return TRUE; }, [] {});
    const Material material = MakeMaterial();
    std::map<std::string, std::map<std::string, int>> table; // fault -> ending -> count
    int bad = 0;
    std::printf("vmod-soak: seed %llu, %d runs\n", static_cast<unsigned long long>(seed), runs);
    for (int run = 0; run < runs; ++run) {
        if (only >= 0 && run != only)
            continue;
        const Result r = RunOne(material, seed, run);
        ++table[r.fault][r.ending];
        const bool isBad = r.ending.rfind("BAD", 0) == 0;
        bad += isBad;
        if (isBad || verbose)
            std::printf("run %d (--seed %llu --run %d): %s%s%s: %s%s%s\n", run,
                        static_cast<unsigned long long>(seed), run, r.fault.c_str(),
                        r.note.empty() ? "" : " ", r.note.c_str(), r.ending.c_str(),
                        r.detail.empty() ? "" : ": ", r.detail.c_str());
    }
    std::printf("%-40s %s\n", "fault", "endings");
    for (const auto& [fault, endings] : table) {
        std::string line;
        for (const auto& [ending, count] : endings)
            line += ending + " " + std::to_string(count) + "  ";
        std::printf("%-40s %s\n", fault.c_str(), line.c_str());
    }
    std::printf("bad runs: %d\n", bad);
    return bad == 0 ? 0 : 1;
}
