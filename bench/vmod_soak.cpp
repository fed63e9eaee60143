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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/firmware.h"
#include "download/update_engine.h"
#include "module/identify.h"
#include "bench/soak.h"
#include "package/firmware_package.h"
#include "platform/testing.h"
#include "tools/sim/backend.h"
#include "tools/sim/program.h"
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
    std::string fault, note, ending, detail;
};

Result RunOne(const Material& material, uint64_t seed, int run) {
    std::mt19937 rng(static_cast<uint32_t>(seed * 1000003u + static_cast<uint64_t>(run)));
    const soak::Plan plan =
        soak::Draw(rng, LinesOf(material.mainText), LinesOf(material.bootText), true, false);
    vmod_sim::ProgramOptions options;
    std::vector<std::string> args = {"--root", "/", "--port", std::to_string(kPort)};
    args.insert(args.end(), plan.moduleArgs.begin(), plan.moduleArgs.end());
    std::string error;
    if (vmod_sim::ParseProgramOptions(args, &options, &error) != vmod_sim::ParseOutcome::Run)
        return {plan.fault, plan.note, "BAD-soak-options", error};

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
    backend.Attach(kPort, options.settings);
    vmod_testing::SetSerialBackend(&backend);

    soak::Facts facts;
    Result result{plan.fault, plan.note, "", ""};
    CRs232c port;
    IdentifyEvents quiet;
    ModuleIdentity identity;
    facts.identified = IdentifyModule(port, kPort, kPort, L"1.05", quiet, &identity);
    if (facts.identified) {
        Watch watch(vmod_testing::NowMs(), plan.intruderAtPercent);
        RunDownload(std::move(port), {kPort, identity.bootVersion}, watch);
        auto lock = backend.Lock();
        const vmod_sim::Engine& module = *backend.EngineAt(kPort);
        facts.hung = watch.hung;
        facts.portShared = watch.intruderOpened;
        facts.completed = watch.outcome == DownloadOutcome::Completed;
        facts.told = watch.told;
        facts.mainTaken = module.Completions(Pass::Main) > 0;
        facts.exact =
            facts.mainTaken &&
            vmod_sim::CompareImages(module.MainImage(), material.mainImage, "main").equal &&
            (!plan.bootDue ||
             vmod_sim::CompareImages(module.BootImage(), material.bootImage, "boot").equal);
        facts.linesSent = !module.Lines().empty();
        result.detail = watch.detail;
    }
    // Whatever the run did, the port is free for the next opener while the module is there.
    bool present = false;
    {
        auto lock = backend.Lock();
        present = backend.EngineAt(kPort)->Present(vmod_testing::NowMs() * 1000);
    }
    CRs232c next;
    facts.portHeld = present && !next.Open(kPort);
    result.ending = soak::Judge(plan, facts);
    vmod_testing::SetSerialBackend(nullptr);
    vmod_testing::SetClock(nullptr);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    soak::Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--runs" && value)
            o.runs = std::atoi(argv[++i]);
        else if (a == "--seed" && value)
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--run" && value)
            o.only = std::atoi(argv[++i]);
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--real")
            o.real = true;
        else if (a == "--modules" && value)
            o.modules = std::atoi(argv[++i]);
        else if (a == "--parallel" && value)
            o.parallel = std::atoi(argv[++i]);
        else if (a == "--work" && value)
            o.work = argv[++i];
        else {
            std::fprintf(stderr, "usage: vmod-soak [--runs N] [--seed S] [--run K] [--verbose]\n"
                                 "       vmod-soak --real [--modules M] [--parallel P] "
                                 "[--work DIR] [the same]\n");
            return 2;
        }
    }
    if (o.real)
        return soak::RealSoak(o);
    vmod_testing::SetSleepInhibitor([](LPCWSTR) { return TRUE; }, [] {});
    const Material material = MakeMaterial();
    soak::Table table;
    int bad = 0;
    const auto started = std::chrono::steady_clock::now();
    std::printf("vmod-soak: seed %llu, %d runs in process\n",
                static_cast<unsigned long long>(o.seed), o.runs);
    for (int run = 0; run < o.runs; ++run) {
        if (o.only >= 0 && run != o.only)
            continue;
        const Result r = RunOne(material, o.seed, run);
        table.Add(r.fault, r.ending);
        bad += soak::IsBad(r.ending);
        if (soak::IsBad(r.ending) || o.verbose)
            soak::PrintRun(o.seed, run, r.fault + (r.note.empty() ? "" : " " + r.note), r.ending,
                           r.detail);
    }
    table.Print();
    std::printf("bad runs: %d; wall time %.1f s\n", bad,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return bad == 0 ? 0 : 1;
}
