// Why the host refused this process a serial port that has a device behind it: this project's
// own addition to the handheld API, whose ports are never refused so. It lets the program tell
// the user what to change instead of only that no module was found. Implemented in
// platform/posix/.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

#define PORT_REFUSED_NONE 0       // not refused (opened, no device, another failure) or not tried
#define PORT_REFUSED_PERMISSION 1 // the user may not open the device
#define PORT_REFUSED_BUSY 2       // another opener holds the device

// A process seen holding a device.
struct PORT_HOLDER {
    DWORD processId;
    std::wstring name; // its command name as the host lists it; empty when it could not be read
};

// One refusal, as the host saw it when it happened.
struct PORT_REFUSAL {
    DWORD reason = PORT_REFUSED_NONE; // PORT_REFUSED_
    std::wstring device;              // the device behind the port, links resolved (/dev/ttyUSB0)
    std::wstring group; // PERMISSION: the group whose members may open the device, the user being
                        // in none of its groups; empty when no such group is known
    std::vector<PORT_HOLDER> holders; // BUSY: the other processes seen with the device open, in
                                      // process-id order; may be empty (another user's process)
};

// Why the last CreateFileW of "COMn:" in this process was refused although a device is behind
// it: TRUE with *refusal filled. FALSE, with *refusal reset to PORT_REFUSED_NONE, when that open
// was not refused: a later open that succeeds, finds no device or fails otherwise replaces the
// record. Ports of the test serial back end are never refused. Any thread.
BOOL HostGetPortRefusal(int comNumber, PORT_REFUSAL* refusal);

// The name CreateFileW opens for COMn (1..255): "COMn:" as on the handheld; on Windows
// "\\.\COMn", the device-namespace form, which COM10 and up need (only COM1 to COM9 have the
// short DOS name) and the lower numbers take alike.
std::wstring HostComPortName(int comNumber);

// Leaves a port just opened by CreateFileW as the module's link needs it whatever an earlier
// program set: no flow control (neither CTS/DSR nor XON/XOFF), DTR and RTS raised, reads and
// writes not stopped by a line error, and no bytes that arrived before. On Linux CreateFileW
// itself does this and the call has nothing to do; a Windows driver keeps what the last program
// set, this program's own close included (fAbortOnError), so there the call sets it. Framing
// and timeouts are the caller's. FALSE when the driver refused; the port stays usable as it is.
BOOL HostPreparePort(HANDLE port);

// The COM number (1..255) whose port is this device: a path or a link to it (a
// /dev/serial/by-id or by-path name), compared with each port's device after links are
// resolved. 0 when no port leads to it.
int HostComNumberOf(LPCWSTR device);
// The device behind COMn as the user knows it (a tty path, links resolved); empty when there is
// none.
std::wstring HostComDevice(int comNumber);
