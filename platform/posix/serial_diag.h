// Internal to platform/posix/: the serial layer's support output on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmod_posix {

// True when VMOD_TRACE is "1" in the environment (read at each call: cheap, and tests set it).
bool SerialTraceOn();
// With the trace on: one line "vmod-trace: T ms COMn (PATH) > "..."" for bytes written to the
// port ('>') or "<" for bytes read from it, T the clock's milliseconds, the bytes as a C string
// literal (printable ASCII as is, \r \n \t \\ \", others \xHH). Nothing when the trace is off.
void TraceSerial(int com, const std::string& path, char direction, const uint8_t* data,
                 size_t count);
// The line TraceSerial writes, without its newline.
std::string TraceLine(int com, const std::string& path, char direction, const uint8_t* data,
                      size_t count, uint64_t ms);

// Why a port that exists could not be opened.
enum class PortRefusal {
    Busy,       // another opener holds it (the tty's exclusive flag, or our lock)
    Permission, // the user may not open the device
};

// A process seen in /proc with the device open.
struct PortHolder {
    long pid;
    std::string name; // its command name (/proc/PID/comm); empty when it could not be read
};

// What was known of a refusal when it happened.
struct RefusalRecord {
    PortRefusal why;
    std::string device;              // the device the port's path leads to, links resolved
    std::string group;               // Permission: the group that may open it; see PermittedGroup
    std::vector<PortHolder> holders; // Busy: PortHolders at the time
};

// Records the refusal for LastPortRefusal and writes one line to standard error naming the
// port, the reason and, where /proc shows it, the process holding the device:
// "PROGRAM: COMn (PATH): REASON". A refusal that repeats on the same port with the same reason
// is written once, until the port opens again; the record is replaced every time.
void ReportPortRefused(int com, const std::string& path, PortRefusal why);
// The port opened: its record is cleared and a later refusal of it is reported again.
void ForgetPortRefusal(int com);
// An open of the port is under way: its record is cleared (a refusal sets it again); whether a
// repeated refusal is written again is not changed.
void ClearPortRefusal(int com);
// The record of the last refusal of COMn since the last ClearPortRefusal/ForgetPortRefusal;
// false when there is none.
bool LastPortRefusal(int com, RefusalRecord* record);
// The processes other than this one with the device (or what its links lead to) open, in the
// order /proc lists them; empty when none can be seen.
std::vector<PortHolder> PortHolders(const std::string& path);
// The holders as the diagnostic names them: "pid N (COMM)" joined with ", ".
std::string HoldersText(const std::vector<PortHolder>& holders);
// The group whose members may read and write the device, when the user (effective group and
// supplementary groups) is not in it; empty otherwise or when it cannot be told.
std::string PermittedGroup(const std::string& path);

} // namespace vmod_posix
