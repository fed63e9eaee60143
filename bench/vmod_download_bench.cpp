// vmod-download-bench: the download's own cost in one real update. A generated firmware
// (main image and boot block) is packed, the stand-in module serves it on a pseudo-terminal
// at 115200 baud 8N1 wire time and the real dialog updates it under Xvfb (scripts/sim-update
// --pace). The same update is then made by a bare client of the protocol (no dialog, the
// lines decoded beforehand) against a fresh module: what the pseudo-terminal and the module
// cost, which no tool can avoid. From the module's logs and the tool's CPU time it prints:
//
//   ratio download_vs_reference      the reference's time ÷ the tool's (goal >= 0.99)
//   ratio download_vs_wire_minimum   wire time, waits and read timeouts ÷ the tool's time
//   ratio reference_vs_wire_minimum  the same ÷ the reference's time: the floor of this host
//   ratio ack_to_line_p99_vs_1ms     1 ms ÷ the 99th percentile of the time from a "." to
//                                    the next line's first byte (goal >= 1)
//   ratio cpu_share_vs_2pct          2 % ÷ the tool's CPU time as a share of the update's
//                                    wall time (goal >= 1)
//
//   vmod-download-bench [--main-kib N] [--boot-kib N] [--keep DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/download_timing.h"
#include "bench/firmware.h"
#include "download/download_protocol.h"
#include "module/rs232c.h"
#include "platform/winbase.h"

namespace fs = std::filesystem;

namespace {

using bench::Quoted;
using bench::ReadAll;
using bench::WaitFor;
using bench::WriteAll;

constexpr double kBaud = 115200;
constexpr double kAckGoalMs = 1.0;
constexpr double kCpuShareGoal = 0.02;
constexpr double kCpuTickS = 0.01; // the resolution of the CPU times the kernel reports
// The main image starts below 64 KiB and runs past it, so its records' prefix changes once
// in the middle (a 1600 ms pause) as well as after the header and before the end.
constexpr uint32_t kMainAddress = 0x8000;
constexpr uint32_t kBootAddress = 0x0;
// The stand-in module's verdict on an image it programmed as expected.
const char kImageEquals[] = "programmed image equals";

// The texts of an S-record file's lines, as the payload gives them to the download.
std::vector<std::string> RecordLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

// The reference: the download's protocol and nothing else, on the same serial-port object the
// tool uses. The lines are at hand as text, so there is no payload to decode, no dialog to
// update and no thread to hand over to; every wait and read size is the download's own.
class ReferenceDownload {
  public:
    explicit ReferenceDownload(int port) : m_nPort(port) {}

    bool Run(const std::vector<std::string>& boot, const std::vector<std::string>& main) {
        if (!m_port.Open(m_nPort))
            return false;
        if (!boot.empty()) {
            Pass(boot, kCmdDownloadBoot, kCmdDownloadBootLength, kDownloadBootWaitMs,
                 kDownloadBootReadSize, kBootEndWaitMs, kBootEndReadSize);
            m_port.Write(reinterpret_cast<const BYTE*>(kCmdReset), kCmdResetLength);
            Sleep(kResetWaitMs);
            m_port.Close();
            bool open = false;
            for (int attempt = 1; attempt <= kReopenAttempts && !open; ++attempt) {
                if (attempt > 1)
                    Sleep(kReopenRetryWaitMs);
                open = m_port.Open(m_nPort);
            }
            if (!open)
                return false;
        }
        Pass(main, kCmdDownloadMain, kCmdDownloadMainLength, kDownloadMainWaitMs,
             kDownloadMainReadSize, kMainEndWaitMs, kMainEndReadSize);
        m_port.Close();
        return true;
    }

  private:
    void Pass(const std::vector<std::string>& lines, const char* command, DWORD length, DWORD wait,
              DWORD readSize, DWORD endWait, DWORD endReadSize) {
        m_port.Write(reinterpret_cast<const BYTE*>(command), length);
        Sleep(wait);
        m_port.Read(m_reply, readSize);

        BYTE block[kFirstBlockLength] = {};
        std::memcpy(block, lines[0].data(), std::min<size_t>(lines[0].size(), kFirstBlockCrOffset));
        block[kFirstBlockCrOffset] = kCr;
        block[kFirstBlockLfOffset] = kLf;
        std::string previous = SendPrefix(lines[0], true);
        bool changed = false;
        m_port.Write(block, kFirstBlockLength);
        Sleep(kFirstBlockWaitMs);
        for (size_t next = 1;; ++next) {
            BYTE ack = 0;
            while (m_port.Read(&ack, kAckReadSize) != 1 || ack != kAck) {
            }
            if (next == lines.size())
                break;
            const std::string line = lines[next] + "\r\n";
            const std::string prefix = SendPrefix(lines[next], false);
            if (changed)
                Sleep(kPrefixChangeWaitMs);
            changed = prefix != previous;
            previous = prefix;
            if (line.compare(0, kTerminationPrefixLength, kTerminationPrefix) == 0)
                Sleep(kTerminationWaitMs);
            m_port.Write(reinterpret_cast<const BYTE*>(line.data()),
                         static_cast<DWORD>(line.size()));
        }
        m_port.Write(kEndMarker, kEndMarkerLength);
        Sleep(endWait);
        m_port.Read(m_reply, endReadSize);
    }

    int m_nPort;
    CRs232c m_port;
    BYTE m_reply[kReplyAreaSize] = {};
};

// The reference run: the paced stand-in module under a device root of its own, driven by
// ReferenceDownload. The module's log, judged as the tool's is.
DownloadTiming RunReference(const fs::path& work, const fs::path& mainSrec,
                            const std::string& mainText, const fs::path& bootSrec,
                            const std::string& bootText) {
    DownloadTiming failed;
    const fs::path root = work / "root", log = work / "module.log", verdict = work / "verdict.txt";
    fs::create_directories(root);
    const std::string command =
        Quoted(VMOD_BUILD_DIR "/tools/sim/kv615mq-sim") + " --root " + Quoted(root) +
        " --port 3 --pace --firmware 1.03 --boot 1.01 --expect " + Quoted(mainSrec) +
        " --expect-boot " + Quoted(bootSrec) + " --exit-after-update --log " + Quoted(log) + " >" +
        Quoted(verdict) + " 2>" + Quoted(work / "sim.log") + " &";
    if (std::system(command.c_str()) != 0 ||
        !WaitFor([&] { return fs::exists(root / "dev" / "COM3"); }, 10)) {
        failed.error = "the stand-in module did not come up for the reference run";
        return failed;
    }
    ::setenv("VMOD_ROOT", root.c_str(), 1);
    ReferenceDownload reference(3);
    const bool sent = reference.Run(RecordLines(bootText), RecordLines(mainText));
    const bool judged = WaitFor(
        [&] {
            const std::string v = ReadAll(verdict);
            return v.find("main image:") != std::string::npos &&
                   v.find("boot image:") != std::string::npos;
        },
        10);
    const std::string v = ReadAll(verdict);
    size_t equal = 0;
    for (size_t at = v.find(kImageEquals); at != std::string::npos;
         at = v.find(kImageEquals, at + 1))
        ++equal;
    if (!sent || !judged || equal != 2 || v.find("faults in") != std::string::npos) {
        failed.error = "the reference run did not program the module: " + v;
        return failed;
    }
    return JudgeDownloadLog(ReadAll(log), kBaud);
}

int Usage() {
    std::fprintf(stderr, "usage: vmod-download-bench [--main-kib N] [--boot-kib N] [--keep DIR]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    size_t mainKib = 48, bootKib = 8;
    fs::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const char* value = argv[++i];
        if (arg == "--main-kib")
            mainKib = std::strtoul(value, nullptr, 10);
        else if (arg == "--boot-kib")
            bootKib = std::strtoul(value, nullptr, 10);
        else if (arg == "--keep")
            keep = value;
        else
            return Usage();
    }
    if (mainKib == 0 || bootKib == 0 || mainKib > 4096 || bootKib > 4096)
        return Usage();

    std::random_device seed;
    const fs::path work =
        keep.empty() ? fs::temp_directory_path() / ("vmod-download-bench-" + std::to_string(seed()))
                     : keep;
    std::error_code ec;
    fs::remove_all(work / "run", ec);
    fs::create_directories(work, ec);
    if (ec) {
        std::fprintf(stderr, "vmod-download-bench: %s: %s\n", work.c_str(), ec.message().c_str());
        return 1;
    }
    const fs::path main = work / "main.srec", boot = work / "boot.srec";
    const std::string mainText = make_srecord_text(make_firmware(mainKib * 1024, 1), kMainAddress);
    const std::string bootText = make_srecord_text(make_firmware(bootKib * 1024, 2), kBootAddress);
    if (!WriteAll(main, mainText) || !WriteAll(boot, bootText)) {
        std::fprintf(stderr, "vmod-download-bench: cannot write the firmware into %s\n",
                     work.c_str());
        return 1;
    }

    std::printf("update: %zu KiB main image and %zu KiB boot block, the module paced at %.0f "
                "baud 8N1\n",
                mainKib, bootKib, kBaud);
    std::fflush(stdout);
    const fs::path output = work / "sim-update.txt", cpu = work / "cpu.txt";
    const std::string command = std::string("sh ") + Quoted(VMOD_SOURCE_DIR "/scripts/sim-update") +
                                " --bin " + Quoted(VMOD_BUILD_DIR) + " --work " +
                                Quoted(work / "run") + " --main " + Quoted(main) + " --boot " +
                                Quoted(boot) + " --pace --cpu-out " + Quoted(cpu) + " >" +
                                Quoted(output) + " 2>&1";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "vmod-download-bench: the update failed:\n%s",
                     ReadAll(output).c_str());
        return 1;
    }

    const DownloadTiming t = JudgeDownloadLog(ReadAll(work / "run" / "module.log"), kBaud);
    if (!t.ok) {
        std::fprintf(stderr, "vmod-download-bench: %s (log: %s)\n", t.error.c_str(),
                     (work / "run" / "module.log").c_str());
        return 1;
    }
    double cpuS = 0, wallS = 0;
    if (std::sscanf(ReadAll(cpu).c_str(), "%lf %lf", &cpuS, &wallS) != 2 || wallS <= 0) {
        std::fprintf(stderr, "vmod-download-bench: no CPU figure in %s\n", cpu.c_str());
        return 1;
    }

    std::printf("reference: the same update by a bare client of the protocol\n");
    std::fflush(stdout);
    const DownloadTiming ref = RunReference(work / "reference", main, mainText, boot, bootText);
    if (!ref.ok) {
        std::fprintf(stderr, "vmod-download-bench: reference run: %s\n", ref.error.c_str());
        return 1;
    }

    const double median = Percentile(t.ackToLineMs, 0.5);
    const double p99 = Percentile(t.ackToLineMs, 0.99);
    // Below one clock tick the tool's CPU time reads 0: count it as one tick, an upper bound.
    const double share = std::max(cpuS, kCpuTickS) / wallS;
    std::printf("%-44s %9zu lines%s\n", "lines the module received", t.lines,
                t.bootPass ? " (boot block and main image)" : "");
    std::printf("%-44s %9.3f s\n", "update by the tool", t.measuredMs / 1000);
    std::printf("%-44s %9.3f s\n", "update by the reference", ref.measuredMs / 1000);
    std::printf("%-44s %9.3f s\n", "wire time, waits and read timeouts", t.minimumMs / 1000);
    std::printf("%-44s %9.1f ms (reference %.1f ms)\n", "beyond that outside the line loop",
                t.setupExtraMs, ref.setupExtraMs);
    std::printf("%-44s %9.3f ms median, %.3f ms p99, %.3f ms max\n",
                "tool: \".\" to the next line's first byte", median, p99,
                Percentile(t.ackToLineMs, 1.0));
    std::printf("%-44s %9.3f ms median, %.3f ms p99, %.3f ms max\n", "reference: the same",
                Percentile(ref.ackToLineMs, 0.5), Percentile(ref.ackToLineMs, 0.99),
                Percentile(ref.ackToLineMs, 1.0));
    std::printf("%-44s %9.3f s of %.3f s wall (%.2f %%)\n", "tool CPU time during the update", cpuS,
                wallS, share * 100);
    std::printf("ratio download_vs_reference %.3f\n", ref.measuredMs / t.measuredMs);
    std::printf("ratio download_vs_wire_minimum %.3f\n", t.minimumMs / t.measuredMs);
    std::printf("ratio reference_vs_wire_minimum %.3f\n", t.minimumMs / ref.measuredMs);
    std::printf("ratio ack_to_line_p99_vs_1ms %.3f\n", p99 > 0 ? kAckGoalMs / p99 : 0.0);
    std::printf("ratio cpu_share_vs_2pct %.3f\n", kCpuShareGoal / share);
    if (keep.empty())
        fs::remove_all(work, ec);
    else
        std::printf("the run's files: %s\n", work.c_str());
    return 0;
}
