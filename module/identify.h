// Identification: finds the KV615MQ on a range of COM ports, reads its model, firmware version
// and version report, and judges the package's version against the module's. The exchanges on
// the wire are the handheld program's; what they find is told through IdentifyEvents, so that
// the dialog and a front end without windows use the same scan.
#pragma once

#include <vector>

#include "module/rs232c.h"
#include "platform/cstring.h"
#include "platform/port_access.h"

// What the scan learnt of the module.
struct ModuleIdentity {
    int32_t port = 0;       // the COM number it answered on
    CString model;          // "KV615MQ"
    CString currentVersion; // the firmware version reply, without its echo and final "OK"
    CString moduleVersion;  // "V-MOD" version of the version report; empty in the older layout
    CString bootVersion;    // boot-block version; empty when not reported
};

// A port with a device behind it that the host refused this process, as the scan met it.
struct RefusedPort {
    int32_t port = 0;
    PORT_REFUSAL refusal;
};

// The scan's events, in the order they come, on the scanning thread.
class IdentifyEvents {
  public:
    virtual ~IdentifyEvents() = default;
    // After the start wait, before the first port is opened.
    virtual void OnScanStarted() {}
    // The module answered the model query on identity.port: model and port are set.
    virtual void OnModelFound(const ModuleIdentity& identity) { (void)identity; }
    // The firmware version has been read into identity.currentVersion.
    virtual void OnFirmwareVersion(const ModuleIdentity& identity) { (void)identity; }
    // The package is older than the module's firmware; the scan still reads the version report.
    virtual void OnDowngradeRefused(const ModuleIdentity& identity) { (void)identity; }
    // The version report has been read; the port stays open on the module.
    virtual void OnIdentified(const ModuleIdentity& identity) { (void)identity; }
    // No port of the range had the module; the port object is closed. refused: the ports the
    // host refused, in port order.
    virtual void OnNotFound(const std::vector<RefusedPort>& refused) { (void)refused; }
};

// True when a package of packageVersion would take a module at currentVersion back to an
// older firmware (both decimal texts with "." as separator; an unreadable text counts 0).
bool IsDowngrade(const CString& currentVersion, const CString& packageVersion);

// Waits the scan's start wait, then probes COM first..last in ascending order with port (closed
// on entry) and stops at the first that answers as a KV615MQ, leaving port open on it. TRUE
// with *identity filled when found; FALSE when not (port closed). packageVersion is the
// package's version text, for the downgrade rule.
BOOL IdentifyModule(CRs232c& port, int first, int last, const CString& packageVersion,
                    IdentifyEvents& events, ModuleIdentity* identity);
