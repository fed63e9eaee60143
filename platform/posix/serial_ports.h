// Internal to platform/posix/ (and its tests): where the handheld's COMn ports are on this host.
#pragma once

#include <map>
#include <mutex>
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

// The host's COM ports as one run of the program sees them. A number that has not been opened
// yet is looked up in the numbering above at each open, so a device plugged in meanwhile is
// found. A number that has opened stays with that device for the rest of the run: from then on
// it stands for the device's link in the by-id folder (normally "/dev/serial/by-id") that leads
// to it, or, where there is none, for the path it opened on. While that is absent the number
// has no port, whatever the numbering would now give it.
//
// This is how "the module's port" is kept without a call of its own: identification opens each
// probed number once and keeps the module's open, and the download re-opens that number after
// the module has reset and come back, perhaps under another device name, perhaps with another
// adapter now first in the numbering. Pinning at the first successful open makes the re-open
// reach the module or nothing.
class HostComPorts {
  public:
    HostComPorts(std::string devDir, std::string sysTtyDir, std::string byIdDir);
    // The path to open for COMn; empty when there is no such port.
    std::string PathOf(int n) const;
    // COMn has opened on path (as PathOf gave it): pins n to that device unless already pinned.
    void Opened(int n, const std::string& path);

  private:
    std::string m_devDir;
    std::string m_sysTtyDir;
    std::string m_byIdDir;
    mutable std::mutex m_mutex;
    std::map<int, std::string> m_pinned; // n -> by-id link or device path
};

// Tests: the ports used without a device root become these instead of the host's own ("/dev",
// "/sys/class/tty", "/dev/serial/by-id"); nullptr puts the host's back. ports outlives its use.
void SetHostComPorts(HostComPorts* ports);

// The device behind COMn: under a device root "$VMOD_ROOT/dev/COMn" (when that entry exists),
// followed afresh at each open since the stand-in module re-creates it after a reset; else the
// host's ports above. Empty when there is no such port.
std::string ComDevicePath(int n);
// COMn has opened on path (as ComDevicePath gave it): on the host, the number is pinned.
void ComPortOpened(int n, const std::string& path);

} // namespace vmod_posix
