// Internal to platform/posix/ (and its tests): the inhibitor lock as a child process.
#pragma once

#include <string>
#include <vector>

namespace vmod_posix {

// Starts argv (argv[0] looked up in PATH) with standard input the read end of a pipe whose
// write end this process keeps, and output to /dev/null: the child is expected to hold the
// lock until its input ends. True when it is still running after a short settling wait (a
// child that cannot have the lock exits at once).
bool InhibitorStart(const std::vector<std::string>& argv);
// Closes the pipe (the child's input ends and it lets go), waits a while for the child to end
// and kills it if it has not. Safe when none runs.
void InhibitorStop();
// The argument list of systemd-inhibit for a reason in UTF-8.
std::vector<std::string> InhibitorCommand(const std::string& whyUtf8);

} // namespace vmod_posix
