#include "tools/sim/program.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <thread>

#include "platform/pty.h"

namespace vmod_sim {

namespace {

namespace fs = std::filesystem;

// Longest the loop sleeps, so that a stop request is seen promptly.
constexpr uint64_t kMaxWaitUs = 50'000;
// With --exit-after-update: how long the final reply may wait to be read.
constexpr uint64_t kLingerUs = 10'000'000;
// Bytes written to the master reach the slave's queue a moment later; until this long after
// the last write an empty queue does not yet mean the tool has read them.
constexpr uint64_t kSettleUs = 100'000;

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

// The pseudo-terminal served at ROOT/dev/COMn, and its link.
class PortLink {
  public:
    explicit PortLink(fs::path link) : m_link(std::move(link)) {}
    ~PortLink() { Withdraw(); }

    bool Serving() const { return m_pty.master >= 0; }
    const PtyPair& Pty() const { return m_pty; }
    const std::string& SlavePath() const { return m_slave; }

    // A new pseudo-terminal, linked in place of whatever link was there.
    bool Serve(std::string* error) {
        if (!PtyOpen(&m_pty, &m_slave)) {
            *error = "cannot create a pseudo-terminal";
            return false;
        }
        std::error_code ec;
        fs::path temporary = m_link;
        temporary += ".new";
        fs::remove(temporary, ec);
        fs::create_symlink(m_slave, temporary, ec);
        if (!ec) {
            fs::rename(temporary, m_link, ec);
        }
        if (ec) {
            *error = "cannot link " + m_link.string() + ": " + ec.message();
            PtyClose(&m_pty);
            return false;
        }
        return true;
    }

    // The link removed, then the pseudo-terminal closed: the device vanishes.
    void Withdraw() {
        if (!Serving()) {
            return;
        }
        std::error_code ec;
        fs::remove(m_link, ec);
        PtyClose(&m_pty);
    }

  private:
    fs::path m_link;
    PtyPair m_pty;
    std::string m_slave;
};

} // namespace

int RunProgram(const ProgramOptions& o, const std::atomic<bool>& stop, std::ostream& out,
               std::ostream& err) {
    std::ofstream logFile;
    std::ostream* log = &err;
    if (!o.logPath.empty()) {
        logFile.open(o.logPath, std::ios::trunc);
        if (!logFile) {
            err << "kv615mq-sim: cannot write the log " << o.logPath << "\n";
            return kExitSetup;
        }
        log = &logFile;
    }
    SparseImage expectMain;
    SparseImage expectBoot;
    std::string error;
    if ((!o.expect.empty() && !LoadSrecFile(o.expect, &expectMain, &error)) ||
        (!o.expectBoot.empty() && !LoadSrecFile(o.expectBoot, &expectBoot, &error))) {
        err << "kv615mq-sim: " << error << "\n";
        return kExitSetup;
    }

    const fs::path dev = fs::path(o.root) / "dev";
    const fs::path linkPath = dev / ("COM" + std::to_string(o.port));
    std::error_code ec;
    fs::create_directories(dev, ec);
    const fs::file_status existing = fs::symlink_status(linkPath, ec);
    if (fs::exists(existing) && !fs::is_symlink(existing)) {
        err << "kv615mq-sim: " << linkPath.string() << " exists and is not a link\n";
        return kExitSetup;
    }

    const auto start = std::chrono::steady_clock::now();
    auto nowUs = [&] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count());
    };
    auto writeLog = [&](const LogEntry& entry) {
        *log << FormatLogEntry(entry) << '\n';
        log->flush();
    };

    Engine engine(o.settings);
    engine.SetKeepLog(false);
    engine.SetLogSink(writeLog);

    PortLink link(linkPath);
    if (!link.Serve(&error)) {
        err << "kv615mq-sim: " << error << "\n";
        return kExitSetup;
    }
    uint32_t generation = engine.Generation();
    writeLog({nowUs(), LogKind::Port,
              "COM" + std::to_string(o.port) + " served: " + linkPath.string() + " -> " +
                  link.SlavePath()});

    auto writeImages = [&](Pass pass) {
        const SparseImage& image = pass == Pass::Boot ? engine.BootImage() : engine.MainImage();
        const std::string& binary = pass == Pass::Boot ? o.bootImageOut : o.imageOut;
        const std::string& srec = pass == Pass::Boot ? o.bootSrecOut : o.srecOut;
        const char* name = pass == Pass::Boot ? "kv615mq-sim boot" : "kv615mq-sim main";
        if (!binary.empty()) {
            const std::vector<uint8_t> bytes = image.ToBinary();
            if (!WriteFile(binary, std::string(bytes.begin(), bytes.end()))) {
                err << "kv615mq-sim: cannot write " << binary << "\n";
            }
        }
        if (!srec.empty() && !WriteFile(srec, ImageToSrec(image, name))) {
            err << "kv615mq-sim: cannot write " << srec << "\n";
        }
    };
    auto say = [&](const std::string& line) {
        out << "kv615mq-sim: " << line << "\n";
        out.flush();
        writeLog({nowUs(), LogKind::Note, line});
    };
    // Prints the verdicts asked for; true when every one holds.
    auto judge = [&] {
        bool ok = true;
        if (!o.expect.empty()) {
            const Verdict v = CompareImages(engine.MainImage(), expectMain, o.expect);
            say("main image: " + v.text);
            ok = ok && v.equal;
            if (engine.ImageFaults(Pass::Main)) {
                say("main image: " + std::to_string(engine.ImageFaults(Pass::Main)) +
                    " faults in its download (see the log)");
                ok = false;
            }
        }
        if (!o.expectBoot.empty()) {
            if (engine.Completions(Pass::Boot) == 0) {
                say("boot image: no boot image was programmed");
                ok = false;
            } else {
                const Verdict v = CompareImages(engine.BootImage(), expectBoot, o.expectBoot);
                say("boot image: " + v.text);
                ok = ok && v.equal;
                if (engine.ImageFaults(Pass::Boot)) {
                    say("boot image: " + std::to_string(engine.ImageFaults(Pass::Boot)) +
                        " faults in its download (see the log)");
                    ok = false;
                }
            }
        }
        return ok;
    };

    int status = kExitOk;
    bool judged = false;
    uint32_t bootSeen = 0;
    uint32_t mainSeen = 0;
    bool lingering = false;
    uint64_t lingerUntil = 0;
    uint64_t lastWriteUs = 0;
    std::string pending; // reply bytes due but not yet taken by the pseudo-terminal
    uint8_t buffer[4096];
    while (!stop.load()) {
        uint64_t now = nowUs();
        engine.Advance(now);
        if (link.Serving() && (engine.Generation() != generation || !engine.Present(now))) {
            link.Withdraw();
            pending.clear();
            writeLog({now, LogKind::Port, "COM" + std::to_string(o.port) + " withdrawn"});
        }
        if (!link.Serving() && engine.Present(now)) {
            if (link.Serve(&error)) {
                generation = engine.Generation();
                writeLog({now, LogKind::Port,
                          "COM" + std::to_string(o.port) + " served again: " + linkPath.string() +
                              " -> " + link.SlavePath()});
            } else {
                err << "kv615mq-sim: " << error << "\n";
            }
        }
        if (link.Serving()) {
            long n = 0;
            while ((n = PtyRead(link.Pty(), buffer, sizeof buffer)) > 0) {
                engine.Receive(buffer, static_cast<size_t>(n), nowUs());
            }
            size_t taken = 0;
            while ((taken = engine.TakeReplies(buffer, sizeof buffer, nowUs())) > 0) {
                pending.append(reinterpret_cast<const char*>(buffer), taken);
            }
            if (!pending.empty()) {
                long written = PtyWrite(
                    link.Pty(), reinterpret_cast<const uint8_t*>(pending.data()), pending.size());
                if (written > 0) {
                    pending.erase(0, static_cast<size_t>(written));
                    lastWriteUs = nowUs();
                }
            }
        }
        if (engine.Completions(Pass::Boot) != bootSeen) {
            bootSeen = engine.Completions(Pass::Boot);
            writeImages(Pass::Boot);
        }
        if (engine.Completions(Pass::Main) != mainSeen) {
            mainSeen = engine.Completions(Pass::Main);
            writeImages(Pass::Main);
            if (!o.expect.empty() || !o.expectBoot.empty()) {
                status = judge() ? kExitOk : kExitMismatch;
                judged = true;
            }
            if (o.exitAfterUpdate) {
                lingering = true;
                lingerUntil = now + kLingerUs;
            }
        }
        now = nowUs();
        if (lingering) {
            const bool drained = pending.empty() && engine.PendingReplyBytes() == 0 &&
                                 now - lastWriteUs >= kSettleUs &&
                                 (!link.Serving() || PtyUnread(link.Pty()) <= 0);
            if (drained || now >= lingerUntil) {
                break;
            }
        }
        uint64_t wait = kMaxWaitUs;
        const uint64_t next = engine.NextEventUs();
        if (next != UINT64_MAX) {
            wait = std::min(wait, next > now ? next - now : 0);
        }
        if (!pending.empty() || lingering) {
            wait = std::min<uint64_t>(wait, 1000);
        }
        if (!link.Serving() || PtyWaitReadable(link.Pty(), wait) < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(std::max<uint64_t>(wait, 1000)));
        }
    }

    writeImages(Pass::Boot);
    writeImages(Pass::Main);
    if (!judged && (!o.expect.empty() || !o.expectBoot.empty())) {
        say("main image: no main image was completed");
        status = kExitMismatch;
    }
    link.Withdraw();
    writeLog({nowUs(), LogKind::Port, "COM" + std::to_string(o.port) + " closed"});
    return status;
}

} // namespace vmod_sim
