// Internal to platform/posix/: the serial layer's support output on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
// Writes one line to standard error naming the port, the reason and, where /proc shows it,
// the process holding the device: "PROGRAM: COMn (PATH): REASON". A refusal that repeats on the
// same port with the same reason is written once, until the port opens again.
void ReportPortRefused(int com, const std::string& path, PortRefusal why);
// The port opened: a later refusal of it is reported again.
void ForgetPortRefusal(int com);
// The processes other than this one with the device (or what its links lead to) open, as
// "pid N (COMM)" joined with ", "; empty when none can be seen.
std::string PortHolders(const std::string& path);

} // namespace vmod_posix
