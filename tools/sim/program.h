// kv615mq-sim: the stand-in module served on a pseudo-terminal linked as ROOT/dev/COMn.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/sim/engine.h"

namespace vmod_sim {

struct ProgramOptions {
    std::string root;
    int port = 0;
    Settings settings;
    std::string logPath;  // "": the error stream
    std::string imageOut; // main image as binary
    std::string srecOut;  // main image as S-records
    std::string bootImageOut;
    std::string bootSrecOut;
    std::string expect;     // S-record file the main image must equal
    std::string expectBoot; // S-record file the boot image must equal
    bool exitAfterUpdate = false;
};

enum class ParseOutcome { Run, Help, Error };

// Exit statuses: served and, with --expect, every expected image matched; an expected image
// differs, was not programmed or its download had faults; bad options or no port could be
// served.
constexpr int kExitOk = 0;
constexpr int kExitMismatch = 1;
constexpr int kExitSetup = 2;

// Reads the command line (without the program name). Error: *error says why.
ParseOutcome ParseProgramOptions(const std::vector<std::string>& args, ProgramOptions* options,
                                 std::string* error);

// The --help text.
std::string UsageText();

// Serves the port until stop is set or, with exitAfterUpdate, until the main image is
// complete and its "DOWN" has been read. Verdicts go to out, the log to --log or err.
// Returns the exit status.
int RunProgram(const ProgramOptions& options, const std::atomic<bool>& stop, std::ostream& out,
               std::ostream& err);

} // namespace vmod_sim
