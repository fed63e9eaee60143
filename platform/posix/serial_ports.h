// Internal to platform/posix/ (and its tests): where the handheld's COMn ports are on this host.
#pragma once

#include <map>
#include <string>

namespace vmod_posix {

// The host's COM numbering, worked out from a device folder (normally "/dev") and the tty
// class folder of sysfs (normally "/sys/class/tty"):
//  1. entries "COMn" (n 1..255) of the device folder, normally udev links, keep their n;
//  2. then, in this order, each of ttyUSB0, ttyUSB1, ... (USB serial adapters), ttyACM0, ...
//     (USB modem ports), ttyS0, ... (UARTs: only those whose sysfs "type" is not 0, the
//     unknown port type, i.e. a UART that is really there) gets the lowest number still free;
//     a device that a COMn entry already names is not numbered twice.
// Returns n -> the device's path.
std::map<int, std::string> AssignComPorts(const std::string& devDir, const std::string& sysTtyDir);

// The device behind COMn: "$VMOD_ROOT/dev/COMn" under a device root (when that entry exists),
// else the host's numbering above. Empty when there is no such port.
std::string ComDevicePath(int n);

} // namespace vmod_posix
