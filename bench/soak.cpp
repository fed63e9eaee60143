#include "bench/soak.h"

#include <cstdio>
#include <functional>
#include <utility>

namespace soak {

namespace {

using Rng = std::mt19937;

int Uniform(Rng& rng, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
}

// A line of a pass chosen at random, as kv615mq-sim's LINES: "boot:N" or "main:N". The boot
// pass is drawn only when it is due.
std::string RandomLine(Rng& rng, const Plan& plan, int mainLines, int bootLines) {
    const bool boot = plan.bootDue && Uniform(rng, 0, 3) == 0;
    return (boot ? "boot:" : "main:") + std::to_string(Uniform(rng, 1, boot ? bootLines : mainLines));
}

struct Fault {
    const char* name;
    std::function<void(Rng&, Plan&, int mainLines, int bootLines)> make;
};

void Set(Plan& p, std::vector<std::string> args) {
    p.moduleArgs.insert(p.moduleArgs.end(), args.begin(), args.end());
    for (const std::string& a : args)
        p.note += (p.note.empty() ? "" : " ") + a;
}

const std::vector<Fault>& Faults() {
    static const std::vector<Fault> faults = {
        {"none", [](Rng&, Plan&, int, int) {}},
        {"lost ack",
         [](Rng& r, Plan& p, int m, int b) { Set(p, {"--lost-ack", RandomLine(r, p, m, b)}); }},
        {"late ack",
         [](Rng& r, Plan& p, int m, int b) {
             Set(p, {"--late-ack", RandomLine(r, p, m, b), "--late-ack-delay",
                     std::to_string(Uniform(r, 1000, 45000))});
         }},
        {"garbage before ack",
         [](Rng& r, Plan& p, int m, int b) {
             char byte[8];
             std::snprintf(byte, sizeof byte, "0x%02X", Uniform(r, 0, 255));
             Set(p, {"--wrong-ack", RandomLine(r, p, m, b), "--wrong-byte", byte});
         }},
        {"garbage instead of ack",
         [](Rng& r, Plan& p, int m, int b) { Set(p, {"--garbled-ack", RandomLine(r, p, m, b)}); }},
        {"truncated reply",
         [](Rng& r, Plan& p, int, int) {
             // Any reply of the update; its rest is lost or comes up to 3 s later.
             static const char* replies[] = {"model",       "firmware",  "version",  "boot-update",
                                             "main-update", "boot-down", "main-down"};
             const std::string reply = replies[Uniform(r, 0, 6)];
             const bool down = reply.find("down") != std::string::npos;
             std::string cut = reply + ":" + std::to_string(Uniform(r, 0, down ? 5 : 40));
             if (r() & 1)
                 cut += "+" + std::to_string(Uniform(r, 0, 3000));
             Set(p, {"--cut-reply", cut});
         }},
        {"module falls silent",
         [](Rng& r, Plan& p, int m, int b) { Set(p, {"--silent-from", RandomLine(r, p, m, b)}); }},
        {"adapter pulled, back",
         [](Rng& r, Plan& p, int m, int b) {
             Set(p, {"--pull-at", RandomLine(r, p, m, b), "--pulled-for",
                     std::to_string(Uniform(r, 100, 20000))});
         }},
        {"adapter pulled for good",
         [](Rng& r, Plan& p, int m, int b) { Set(p, {"--pull-at", RandomLine(r, p, m, b)}); }},
        {"no return after reset", [](Rng&, Plan& p, int, int) { Set(p, {"--reset-gone", "never"}); }},
        {"late return after reset",
         [](Rng& r, Plan& p, int, int) {
             Set(p, {"--reset-gone", std::to_string(Uniform(r, 5000, 45000))});
         }},
        // The port's read timeout is 1 s; an identification reply is read 100 ms after its
        // command, so that 1.1 s is the longest it may take.
        {"replies just inside the read timeout",
         [](Rng&, Plan& p, int, int) { Set(p, {"--latency", "950"}); }},
        {"replies just outside the read timeout",
         [](Rng& r, Plan& p, int, int) {
             Set(p, {"--latency", std::to_string(Uniform(r, 1001, 1300))});
         }},
        {"download command not confirmed",
         [](Rng& r, Plan& p, int, int) { Set(p, {"--no-update", r() & 1 ? "boot" : "main"}); }},
        {"end marker answered BUSY",
         [](Rng& r, Plan& p, int, int) {
             Set(p, {"--no-down", std::to_string(Uniform(r, 1, 3)), "--no-down-delay",
                     std::to_string(Uniform(r, 1000, 40000))});
         }},
        {"another program opens the port",
         [](Rng& r, Plan& p, int, int) {
             p.intruderAtPercent = Uniform(r, 1, 99);
             p.note = "at " + std::to_string(p.intruderAtPercent) + " %";
         }},
        {"damaged package", [](Rng&, Plan& p, int, int) { p.damaged = true; }},
        {"host on battery", [](Rng&, Plan& p, int, int) { p.battery = true; }},
    };
    return faults;
}

// Faults after which the update must still complete: the protocol's own waits cover them.
bool Harmless(const std::string& fault) {
    return fault == "none" || fault == "garbage before ack" ||
           fault == "another program opens the port" ||
           fault == "replies just inside the read timeout";
}

// Faults under which the module may fail to be found: the tool says so.
bool MayHide(const Plan& plan) {
    return plan.fault == "replies just outside the read timeout" ||
           (plan.fault == "truncated reply" &&
            (plan.note.find("model") != std::string::npos ||
             plan.note.find("firmware") != std::string::npos ||
             plan.note.find("version") != std::string::npos));
}

} // namespace

Plan Draw(Rng& rng, int mainLines, int bootLines, bool withDamaged, bool withBattery) {
    Plan plan;
    plan.bootDue = rng() & 1;
    plan.moduleArgs = {"--firmware", "1.03", "--boot", plan.bootDue ? "1.01" : "1.05"};
    const auto& faults = Faults();
    // The two faults of the whole run come last.
    const size_t count = faults.size() - 2 + withDamaged + withBattery;
    size_t index = std::uniform_int_distribution<size_t>(0, count - 1)(rng);
    if (index == faults.size() - 2 && !withDamaged)
        index = faults.size() - 1;
    const Fault& fault = faults[index];
    plan.fault = fault.name;
    fault.make(rng, plan, mainLines, bootLines);
    return plan;
}

std::string Judge(const Plan& plan, const Facts& f) {
    std::string ending;
    if (f.hung)
        return "BAD-hang";
    if (f.crashed)
        return "BAD-crash";
    if (f.statusWrong)
        ending = "BAD-exit-status";
    else if (f.portShared)
        ending = "BAD-port-shared";
    else if (plan.battery)
        ending = !f.refusedAtStart ? "BAD-updated-on-battery"
                 : f.linesSent     ? "BAD-sent-on-battery"
                                   : "told (on battery)";
    else if (f.refusedAtStart)
        ending = plan.damaged && !f.linesSent ? "told (package refused)" : "BAD-refused-at-start";
    else if (!f.identified)
        ending = MayHide(plan) ? "told (not identified)" : "BAD-not-identified";
    else if (f.completed)
        // A damaged byte the check let through (in the gzip trailer or the padding, which carry
        // no text) must not have changed what the module took.
        ending = f.exact ? "updated" : "BAD-updated-with-another-image";
    else if (plan.damaged && f.linesSent)
        ending = "BAD-damaged-package-sent";
    else if (f.mainTaken)
        // Only a lost "DOWN" leaves the tool unable to know that the module took the image: a
        // failure told then is the safe side.
        ending = plan.note.find("main-down") != std::string::npos && f.told
                     ? "told (module took the image)"
                     : "BAD-failure-after-complete";
    else if (Harmless(plan.fault))
        ending = "BAD-failed-without-cause";
    else
        ending = f.told ? "told" : "BAD-not-told";
    if (f.portHeld && !IsBad(ending))
        ending = "BAD-port-left-held";
    return ending;
}

void PrintRun(uint64_t seed, int run, const std::string& fault, const std::string& ending,
              const std::string& detail) {
    std::printf("run %d (--seed %llu --run %d): %s: %s%s%s\n", run,
                static_cast<unsigned long long>(seed), run, fault.c_str(), ending.c_str(),
                detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
}

void Table::Print() const {
    std::printf("%-40s %s\n", "fault", "endings");
    for (const auto& [fault, endings] : m_counts) {
        std::string line;
        for (const auto& [ending, count] : endings)
            line += ending + " " + std::to_string(count) + "  ";
        std::printf("%-40s %s\n", fault.c_str(), line.c_str());
    }
}

} // namespace soak
