#include "tests/download/download_harness.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "app/versionup_app.h"
#include "payload/des.h"

namespace dltest {

namespace {

// The test program's one application object, as the shipped program has its own.
CVersionUpApp theApp;

const char kHexDigits[] = "0123456789ABCDEF";

void WriteBytes(const std::filesystem::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string HeaderFile(int32_t lines, const std::string& version) {
    std::string count = std::to_string(lines);
    count.resize(8, '\0');
    std::string field = PackedVersionField(version);
    field.resize(12, '\0');
    return count + field;
}

int32_t CountOrDefault(int32_t count, const std::string& text) {
    return count == INT32_MIN ? static_cast<int32_t>(Lines(text).size()) + 1 : count;
}

bool OnThread(std::thread::id id) {
    return std::this_thread::get_id() == id;
}

} // namespace

std::string Record(char type, uint32_t address, int addressBytes,
                   const std::vector<uint8_t>& data) {
    std::string line = {'S', type};
    unsigned sum = 0;
    auto put = [&](unsigned byte) {
        line += kHexDigits[(byte >> 4) & 15];
        line += kHexDigits[byte & 15];
        sum += byte;
    };
    put(static_cast<unsigned>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i)
        put((address >> (8 * i)) & 0xFF);
    for (uint8_t b : data)
        put(b);
    put(~sum & 0xFF);
    return line + "\r\n";
}

std::string FirmwareText(int dataRecords, uint32_t address, int perRecord) {
    std::string text = Record('0', 0, 2, {'H', 'D', 'R'});
    for (int i = 0; i < dataRecords; ++i) {
        std::vector<uint8_t> data(static_cast<size_t>(perRecord));
        for (int j = 0; j < perRecord; ++j)
            data[static_cast<size_t>(j)] = static_cast<uint8_t>(i * 7 + j);
        text += Record('3', address + static_cast<uint32_t>(i * perRecord), 4, data);
    }
    return text + Record('7', address, 4, {});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<uint8_t> SealPayload(const std::string& text, const std::vector<size_t>& flushAt) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(text.size())) + 64 +
                             16 * flushAt.size());
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t done = 0;
    for (size_t at : flushAt) {
        z.avail_in = static_cast<uInt>(at - done);
        deflate(&z, Z_SYNC_FLUSH);
        done = at;
    }
    z.avail_in = static_cast<uInt>(text.size() - done);
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    out.resize((out.size() + 7) / 8 * 8, 0);
    const unsigned char key[8] = {'r', 't', 'o', 'g', '5', 'u', '3', 0};
    for (size_t off = 0; off < out.size(); off += 65536) {
        size_t n = std::min<size_t>(65536, out.size() - off);
        des_ecb_crypt(key, out.data() + off, static_cast<int>(n), VMOD_DES_ENCRYPT);
    }
    return out;
}

std::string PackedVersionField(const std::string& text) {
    uint32_t value = 0;
    for (unsigned char c : text)
        value = (value << 8) | c;
    return std::to_string(static_cast<int32_t>(value));
}

std::wstring PercentText(int percent) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%3d ％完了", percent);
    return text;
}

// ---- the ports ---------------------------------------------------------------------------------

class Session::Backend : public vmod_testing::SerialBackend {
  public:
    explicit Backend(Session& session) : m_session(session) {}

    std::unique_ptr<vmod_testing::SerialPort> Open(int comNumber) override {
        auto inner = m_session.sim.Open(comNumber);
        if (comNumber != m_session.com)
            return inner;
        m_session.OnPort(inner ? PortEvent::Opened : PortEvent::OpenFailed);
        if (!inner)
            return nullptr;
        return std::make_unique<Port>(m_session, std::move(inner));
    }

  private:
    class Port : public vmod_testing::SerialPort {
      public:
        Port(Session& session, std::unique_ptr<vmod_testing::SerialPort> inner)
            : m_session(session), m_inner(std::move(inner)) {}
        ~Port() override { m_session.OnPort(PortEvent::Closed); }
        size_t Write(const uint8_t* data, size_t count) override {
            m_session.OnWrite(std::string(reinterpret_cast<const char*>(data), count));
            return m_inner->Write(data, count);
        }
        size_t Read(uint8_t* out, size_t max) override {
            size_t got = m_inner->Read(out, max);
            m_session.OnRead(std::string(reinterpret_cast<const char*>(out), got));
            return got;
        }
        bool Gone() override { return m_inner->Gone(); }
        void Configure(uint32_t baud, int dataBits, int parity, int stopBits) override {
            m_inner->Configure(baud, dataBits, parity, stopBits);
        }
        void Purge(DWORD flags) override { m_inner->Purge(flags); }

      private:
        Session& m_session;
        std::unique_ptr<vmod_testing::SerialPort> m_inner;
    };

    Session& m_session;
};

// ---- the session -------------------------------------------------------------------------------

// The host's time, but a wait of a second or more takes a tenth of it: a run on real ports
// keeps every read and short wait real and is not held up by the reset and re-open waits.
class FastLongWaitsClock : public vmod_testing::Clock {
  public:
    uint64_t NowMs() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count()) +
               m_skipped.load();
    }
    void SleepMs(uint64_t ms) override {
        const uint64_t real = ms >= 1000 ? ms / 10 : ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(real));
        m_skipped.fetch_add(ms - real);
    }

  private:
    std::atomic<uint64_t> m_skipped{0};
};

Session::Session(bool hostPorts) : m_hostPorts(hostPorts), m_uiThread(std::this_thread::get_id()) {
    static std::atomic<int> counter{0};
    std::random_device rd;
    m_root = std::filesystem::temp_directory_path() /
             ("vmod-download-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_root);
    if (const char* old = std::getenv("VMOD_ROOT")) {
        m_hadOldRoot = true;
        m_oldRoot = old;
    }
    setenv("VMOD_ROOT", m_root.c_str(), 1);
    if (hostPorts) {
        m_clock = std::make_unique<FastLongWaitsClock>();
        vmod_testing::SetClock(m_clock.get());
        return;
    }
    m_clock = vmod_testing::MakeVirtualClock(0);
    vmod_testing::SetClock(m_clock.get());
    m_backend = std::make_unique<Backend>(*this);
    vmod_testing::SetSerialBackend(m_backend.get());
}

Session::~Session() {
    vmod_testing::SetSerialBackend(nullptr);
    vmod_testing::SetClock(nullptr);
    vmod_testing::SetMessageBoxAnswerer({});
    vmod_testing::SetPowerStatus({});
    vmod_testing::SetRebootHandler({});
    vmod_testing::SetSleepInhibitor({}, {});
    vmod_testing::SetDialogShownHook({});
    if (m_hadOldRoot)
        setenv("VMOD_ROOT", m_oldRoot.c_str(), 1);
    else
        unsetenv("VMOD_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

void Session::WritePackage() {
    std::filesystem::path dir = m_root / "Program Files" / "V-MOD VersionUp Tool";
    std::filesystem::create_directories(dir);
    std::vector<uint8_t> main = package.mainRaw.empty()
                                    ? SealPayload(package.mainText, package.mainFlushAt)
                                    : package.mainRaw;
    std::vector<uint8_t> boot =
        package.bootRaw.empty() ? SealPayload(package.bootText) : package.bootRaw;
    WriteBytes(dir / "kv615mq.data", main.data(), main.size());
    WriteBytes(dir / "kv615mqb.data", boot.data(), boot.size());
    std::string mainHeader =
        HeaderFile(CountOrDefault(package.mainLines, package.mainText), package.mainVersion);
    std::string bootHeader =
        HeaderFile(CountOrDefault(package.bootLines, package.bootText), package.bootVersion);
    WriteBytes(dir / "kv615mq.bin", mainHeader.data(), mainHeader.size());
    WriteBytes(dir / "kv615mqb.bin", bootHeader.data(), bootHeader.size());
}

HWND Session::Control(int id) const {
    return m_hDialog ? GetDlgItem(m_hDialog, id) : nullptr;
}

UiState Session::TakeUi() const {
    UiState ui;
    ui.taken = true;
    ui.percent = vmod_testing::WindowText(Control(IDC_STATIC_PERCENT));
    ui.progress = vmod_testing::ProgressPos(Control(IDC_PROGRESS));
    ui.progressShown = vmod_testing::IsShown(Control(IDC_PROGRESS));
    ui.startEnabled = vmod_testing::IsEnabled(Control(IDC_BUTTON_START));
    ui.exitEnabled = vmod_testing::IsEnabled(Control(IDC_BUTTON_EXIT));
    return ui;
}

void Session::OnWrite(const std::string& bytes) {
    if (OnThread(m_uiThread))
        return; // identification, on the dialog's own thread
    WorkerWrite write{vmod_testing::NowMs(), bytes, {}, m_dialogEnded.load()};
    size_t index;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        index = m_writes.size();
        m_writes.push_back(write);
    }
    if (m_dialogEnded.load())
        return;
    // Hold the write until the dialog has been looked at; a loop that has ended meanwhile
    // never runs the look, hence the bound.
    auto done = std::make_shared<std::atomic<bool>>(false);
    vmod_testing::PostToUi([this, index, done] {
        if (!m_dialogEnded.load()) {
            UiState ui = TakeUi();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_writes[index].ui = ui;
            }
            if (onWorkerWrite)
                onWorkerWrite(*this, index);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        done->store(true);
        m_changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return done->load(); });
}

UiState Session::LookFromWorker() {
    auto result = std::make_shared<UiState>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    vmod_testing::PostToUi([this, result, done] {
        if (!m_dialogEnded.load())
            *result = TakeUi();
        std::lock_guard<std::mutex> lock(m_mutex);
        done->store(true);
        m_changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return done->load(); });
    return *result;
}

void Session::OnRead(const std::string& bytes) {
    if (OnThread(m_uiThread))
        return;
    m_workerReads.fetch_add(1);
    if (onWorkerRead)
        onWorkerRead(*this, bytes);
}

void Session::OnPort(PortEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ports.push_back({vmod_testing::NowMs(), kind, !OnThread(m_uiThread)});
}

bool Session::WaitDialogDeleted(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lifeMutex);
    return m_lifeChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_dialogDeleted; });
}

std::vector<WorkerWrite> Session::Writes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::vector<PortEvent> Session::PortEvents() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ports;
}

std::vector<BoxSeen> Session::Boxes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
}

std::vector<InhibitEvent> Session::Inhibits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inhibits;
}

std::vector<std::string> Session::Commands() {
    auto lock = sim.Lock();
    std::vector<std::string> out;
    for (const auto& c : sim.EngineAt(com)->Commands())
        out.push_back(c.bytes);
    return out;
}

std::vector<vmod_sim::LineRecord> Session::ModuleLines(vmod_sim::Pass pass) {
    auto lock = sim.Lock();
    std::vector<vmod_sim::LineRecord> out;
    for (const auto& l : sim.EngineAt(com)->Lines())
        if (l.pass == pass)
            out.push_back(l);
    return out;
}

INT_PTR Session::Run() {
    WritePackage();
    if (!m_hostPorts)
        sim.Attach(com, module);
    vmod_testing::SetPowerStatus([this](SYSTEM_POWER_STATUS_EX2* status) {
        status->ACLineStatus = acLineStatus;
        return powerQueryResult;
    });
    vmod_testing::SetRebootHandler([this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++reboots;
        rebootWhileDialogUp = !m_dialogEnded.load();
    });
    vmod_testing::SetSleepInhibitor(
        [this](LPCWSTR why) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_inhibits.push_back({true, why ? why : L"", m_writes.size(), reboots});
            return inhibitorPresent;
        },
        [this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_inhibits.push_back({false, L"", m_writes.size(), reboots});
        });
    vmod_testing::SetMessageBoxAnswerer(
        realBoxes ? std::function<int(const vmod_testing::MessageBoxRecord&)>()
                  : [this](const vmod_testing::MessageBoxRecord& record) {
                        BoxSeen seen{record, vmod_testing::NowMs(), m_dialogEnded.load(), -1, 0, 0};
                        {
                            std::lock_guard<std::mutex> life(m_lifeMutex);
                            if (m_dialog && !m_dialogDeleted)
                                seen.updating = m_dialog->m_bUpdating.load();
                        }
                        {
                            std::lock_guard<std::mutex> lock(m_mutex);
                            seen.writesBefore = m_writes.size();
                            seen.portEventsBefore = m_ports.size();
                            m_boxes.push_back(seen);
                        }
                        return onBox ? onBox(*this, record) : IDOK;
                    });
    vmod_testing::SetDialogShownHook([this](CDialog* shown) {
        m_hDialog = shown->GetSafeHwnd();
        // Posted after the module query's message, so it runs once the query has.
        vmod_testing::PostToUi([this] {
            startMs = vmod_testing::NowMs();
            if (start)
                start(*this);
            else
                vmod_testing::Click(Control(IDC_BUTTON_START));
            if (!endAfterWorker)
                return;
            vmod_testing::WaitForWorkerThreads();
            vmod_testing::PostToUi([this] {
                if (m_dialogEnded.load())
                    return;
                if (endDialog)
                    endDialog(*this);
                else if (vmod_testing::IsEnabled(Control(IDC_BUTTON_EXIT)))
                    vmod_testing::Click(Control(IDC_BUTTON_EXIT));
                else
                    PostMessageW(m_hDialog, WM_CLOSE, 0, 0);
            });
        });
    });

    auto* dialog = new CVersionUpDlg;
    {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        m_dialog = dialog;
    }
    AfxGetApp()->m_pMainWnd = dialog;
    INT_PTR code = dialog->DoModal();
    m_dialogEnded.store(true);
    AfxGetApp()->m_pMainWnd = nullptr;
    {
        // On the heap and deleted at once, so a worker touching it afterwards is caught by the
        // address sanitizer.
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        delete dialog;
        m_dialog = nullptr;
        m_dialogDeleted = true;
        m_lifeChanged.notify_all();
    }
    vmod_testing::WaitForWorkerThreads();
    vmod_testing::ProcessMessages();
    return code;
}

} // namespace dltest
