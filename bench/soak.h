// What both soaks share: the faults drawn for a module, and how a run's ending is judged.
// A fault is a set of kv615mq-sim options, so that the in-process soak (which reads them with
// the stand-in's own option parser) and the soak through the built programs draw the same.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace soak {

// One module's part in a run.
struct Plan {
    std::string fault;                   // its name, as the tables show it
    std::string note;                    // the particulars drawn, for the report of a run
    std::vector<std::string> moduleArgs; // kv615mq-sim options beyond --root and --port
    bool bootDue = false;                // the module's boot block is older than the package's
    bool damaged = false;                // one payload byte of the package changed
    bool battery = false;                // the host on battery when the update starts
    int intruderAtPercent = -1;          // another program opens the port at this progress
};

// Draws a module's fault and whether its boot block is due. The damaged package and the host on
// battery are faults of the whole run, drawn only when asked for.
Plan Draw(std::mt19937& rng, int mainLines, int bootLines, bool withDamaged, bool withBattery);

// What a run showed of one module.
struct Facts {
    bool hung = false;         // not ended within the bound
    bool refusedAtStart = false; // the run ended before any module (package refused, battery)
    bool identified = false;
    bool completed = false;    // the tool said the update was complete
    bool told = false;         // the tool said it failed, with its reason
    bool mainTaken = false;    // the module answered the main image's end marker "DOWN"
    bool exact = false;        // the module holds exactly the firmware (both images when due)
    bool linesSent = false;    // any download line reached the module
    bool portShared = false;   // another opener got the port mid-update
    bool portHeld = false;     // the port could not be opened after the run
    bool crashed = false;      // the program died of a signal or a sanitizer's report
    bool statusWrong = false;  // its exit status says otherwise than its verdicts
};

// "updated", "told ..." or "BAD-...".
std::string Judge(const Plan& plan, const Facts& facts);

inline bool IsBad(const std::string& ending) {
    return ending.rfind("BAD", 0) == 0;
}

// Endings counted by fault, printed as a table.
class Table {
  public:
    void Add(const std::string& fault, const std::string& ending) { ++m_counts[fault][ending]; }
    void Print() const;

  private:
    std::map<std::string, std::map<std::string, int>> m_counts;
};

// "run K (--seed S --run K): FAULT: ENDING: DETAIL", on standard output.
void PrintRun(uint64_t seed, int run, const std::string& fault, const std::string& ending,
              const std::string& detail);

struct Options {
    int runs = 1000;
    uint64_t seed = 1;
    int only = -1; // the one run to replay
    bool verbose = false;
    bool real = false; // through the built programs
    int modules = 3;   // per run, with real
    int parallel = 4;  // runs at once, with real
    std::string work;  // where the real runs keep their files ("": a temporary folder)
};

// The soak through the built vmod-update and kv615mq-sim, several modules per run, each on a
// pseudo-terminal under the run's own device root. Returns the exit status.
int RealSoak(const Options& options);

} // namespace soak
