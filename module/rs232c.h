// CRs232c: the serial-port object of the module link. Opens a COM port for the module (115200
// baud, 8 data bits, no parity, one stop bit, one-second read timeouts), reads and writes raw
// bytes synchronously and closes the port in order. One thread uses an object at a time; the
// connection is moved between objects, never shared or copied.
#pragma once

#include "module/engine_message.h"
#include "platform/types.h"
#include "platform/winbase.h"

// Reads end after one second in total, or after one second of silence following a byte.
constexpr DWORD kReadIntervalTimeoutMs = 1000;
constexpr DWORD kReadTotalTimeoutMs = 1000;

class CRs232c {
  public:
    CRs232c(); // closed: no handle, open flag 0
    // Closes the handle and both events if still open; no purge, no change of line settings.
    ~CRs232c();
    CRs232c(const CRs232c&) = delete;
    CRs232c& operator=(const CRs232c&) = delete;
    // Takes the connection over (handle, both events, line settings, timeouts, port number and
    // open flag); the source is left closed and the platform handles are not touched.
    CRs232c(CRs232c&& source) noexcept;
    // As the move constructor; a connection the target still held is released first, as by
    // the destructor.
    CRs232c& operator=(CRs232c&& source) noexcept;

    // Where Open's reports go (a driver refusing the settings); nullptr drops them. Belongs to
    // the object, not to the connection: a move leaves both objects' reports as they were.
    void SetReport(CRs232cReport* report) { m_report = report; }

    // Opens "COMn:" and configures it for the module: 1 when open and configured, 0 otherwise
    // (then nothing it created stays allocated). A port with no device fails without a
    // message; a driver refusing the settings is reported to the object's report, as the
    // boxes the handheld shows. An object still open is closed first.
    BOOL Open(int port);
    // Reads up to count bytes: returns when count bytes have arrived, 1000 ms after the call,
    // or after 1000 ms of silence following a byte, whichever comes first. The number received
    // (0 when nothing came or the port failed); the buffer is not terminated.
    DWORD Read(BYTE* buffer, DWORD count);
    // Writes count bytes, waiting until the driver has taken them: nonzero when it accepted the
    // write, 0 on failure.
    BOOL Write(const BYTE* bytes, DWORD count);
    // Clears the event mask, purges both directions, leaves the line with CTS and DSR flow
    // control off, RTS off and abort-on-error on, and closes events and handle. Always 1; on a
    // closed object it makes no platform call.
    BOOL Close();
    // Reports the system's text for GetLastError() as a box with no owner, the given caption
    // and the stop icon.
    void ShowLastError(LPCWSTR caption);

    // What the object holds, for its users' checks.
    BOOL IsOpen() const { return m_bOpen != 0; }
    int GetPort() const { return m_nPort; }
    // A Read or Write on the open port has failed since the last successful Open: the device
    // behind it has gone (an adapter pulled, the module's end closed) or its driver gave up.
    BOOL HasFailed() const { return m_bFailed != 0; }
    const DCB& GetLineSettings() const { return m_dcb; }
    const COMMTIMEOUTS& GetTimeouts() const { return m_timeouts; }

  private:
    void ReleaseAll(); // closes events and handle, leaves the object closed
    void Report(const EngineMessage& message);

    HANDLE m_hComm;          // the open port; nullptr when closed
    DCB m_dcb;               // as read from the driver, then changed by Open and Close
    COMMTIMEOUTS m_timeouts; // as read from the driver, then set by Open
    int32_t m_bOpen;         // 1 after a successful Open, 0 after Close or never opened
    OVERLAPPED m_osRead;     // its event only; reads are synchronous
    OVERLAPPED m_osWrite;    // its event only; writes are synchronous
    DWORD m_dwBytesRead;     // count delivered by the last Read
    DWORD m_dwBytesWritten;  // count delivered by the last Write
    int32_t m_nPort;         // the n of "COM%d:" given to the last Open
    int32_t m_bFailed;       // 1 once a Read or Write on the open port failed
    CRs232cReport* m_report = nullptr;
};
