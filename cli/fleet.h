// vmod-update's modules: one record per module the user named (or the scan found), its
// identification, what an update would do, and how its update ended. Each update runs on its
// own thread through the engine of module/ and download/; the record is the only thing the
// thread shares with the rest of the program, under the fleet's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/update_engine.h"
#include "module/identify.h"
#include "module/rs232c.h"

// What an update would do to a module, decided from its identification.
enum class Action {
    None,           // not identified
    BootBlockFirst, // boot block older than the package's: boot block, reset, main image
    MainOnly,       // only the main image
    AlreadyCurrent, // at the package's version (skipped with --skip-current)
    RefusedOlder,   // the package is older than the module's firmware
};

// How a module ended; every module ends with exactly one.
enum class Verdict {
    Pending,
    Updated,        // the firmware is in the module; the host must restart to finish
    Current,        // already at this version, skipped
    Checked,        // --check: identified, nothing sent
    RefusedOlder,   // the package is older than the module
    PackageRefused, // the package cannot be sent whole and sound
    NotFound,       // no KV615MQ answered on the port
    Unopenable,     // the host refused the port (permission, another program)
    Failed,         // the update began and did not complete
    Interrupted,    // stopped by the user
};

class Reporter;

struct Module {
    std::string name;   // as the user named it ("COM3", "/dev/ttyUSB0") or "COMn" from the scan
    int com = 0;        // 0: the name leads to no port
    std::string device; // the tty behind the port, links resolved
    CRs232c port;       // open on the module from identification until its update takes it
    ModuleIdentity identity;
    Action action = Action::None;
    std::atomic<bool> writing{false}; // the module has heard a download command
    std::atomic<int> percent{-1};     // the last percentage shown; -1 before the download
    // Set once, by the thread that ends the module, after the fields below; the main thread and
    // the bars of other modules' threads read it while that thread runs.
    std::atomic<Verdict> verdict{Verdict::Pending};
    std::string reason;   // why it did not end updated, for people and logs (English)
    std::wstring message; // the dialog's own text for that ending, where it has one
    bool restartDue = false;
    FILE* log = nullptr; // --log: every byte sent and read
};

// The whole run's shared state: the modules and the stop request, under one lock.
class Fleet {
  public:
    std::mutex mutex;
    std::vector<std::unique_ptr<Module>> modules;
    std::atomic<bool> stop{false};

    // Caps the updates that write at once (--jobs).
    void SetJobs(int jobs) { m_free = jobs; }
    // Waits for a free job; false when a stop came first.
    bool AcquireJob();
    void ReleaseJob();
    // Wakes whoever waits for a job (after a stop).
    void Wake() { m_changed.notify_all(); }

  private:
    std::condition_variable m_changed;
    int m_free = 1;
};

// Identifies the module on m.com (the dialog's exchanges on that one port), decides what an
// update would do (skipCurrent: a module at the package's version is left alone), and leaves
// the port open on it; or ends m with its verdict. startMs: the run's start, for the wire log.
void IdentifyOne(Module& m, bool skipCurrent, Reporter& reporter, uint64_t startMs);

// The steady clock in milliseconds, the wire log's time base.
uint64_t SteadyMs();
// One line of a wire log: the time since the run began, ">" sent or "<" read, the bytes in
// quotes with CR, LF, quotes, backslashes and unprintable bytes escaped.
void LogWire(FILE* log, uint64_t sinceMs, bool sent, const BYTE* bytes, DWORD count);
// Wide text as UTF-8, and back.
std::string Narrow(const std::wstring& text);
std::wstring Wide(const std::string& text);
// A version text as the module gave it, without the padding of its field.
std::string Trimmed(const CString& text);

// What an update would do to the identified module m (skipCurrent: a module at the package's
// version is left alone).
void Decide(Module& m, bool skipCurrent);

// The update of one identified module, on the calling thread: waits for a job, then runs the
// download and ends m with its verdict.
void UpdateOne(Fleet& fleet, Module& m, Reporter& reporter, uint64_t startMs);

// The action's name in the JSON events ("boot-block-first", ...).
const char* ActionName(Action action);
// The verdict's name in the JSON events ("updated", ...).
const char* VerdictName(Verdict verdict);
