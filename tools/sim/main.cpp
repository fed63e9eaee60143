// kv615mq-sim: see UsageText() in options.cpp.
#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/sim/program.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) {
    g_stop.store(true);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vmod_sim::ProgramOptions options;
    std::string error;
    switch (vmod_sim::ParseProgramOptions(args, &options, &error)) {
    case vmod_sim::ParseOutcome::Help:
        std::cout << vmod_sim::UsageText();
        return vmod_sim::kExitOk;
    case vmod_sim::ParseOutcome::Error:
        std::cerr << "kv615mq-sim: " << error << "\nTry kv615mq-sim --help.\n";
        return vmod_sim::kExitSetup;
    case vmod_sim::ParseOutcome::Run:
        break;
    }
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set in a handler");
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    return vmod_sim::RunProgram(options, g_stop, std::cout, std::cerr);
}
