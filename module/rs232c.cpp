#include "module/rs232c.h"

#include <cstring>
#include <cwchar>
#include <utility>

#include "platform/port_access.h"
#include "platform/winuser.h"

namespace {

// Queue sizes asked of the driver.
constexpr DWORD kQueueSize = 1024;
// The module's line: 115200 baud, 8 data bits, no parity, one stop bit.
constexpr DWORD kBaudRate = CBR_115200;
constexpr BYTE kByteSize = 8;

} // namespace

CRs232c::CRs232c()
    : m_hComm(nullptr), m_dcb{}, m_timeouts{}, m_bOpen(0), m_osRead{}, m_osWrite{},
      m_dwBytesRead(0), m_dwBytesWritten(0), m_nPort(0), m_bFailed(0) {}

CRs232c::~CRs232c() {
    if (m_bOpen == 1) {
        ReleaseAll();
    }
}

CRs232c::CRs232c(CRs232c&& source) noexcept : CRs232c() {
    *this = std::move(source);
}

CRs232c& CRs232c::operator=(CRs232c&& source) noexcept {
    if (this == &source) {
        return *this;
    }
    if (m_bOpen == 1) {
        ReleaseAll();
    }
    m_hComm = source.m_hComm;
    m_dcb = source.m_dcb;
    m_timeouts = source.m_timeouts;
    m_bOpen = source.m_bOpen;
    m_osRead = source.m_osRead;
    m_osWrite = source.m_osWrite;
    m_nPort = source.m_nPort;
    m_bFailed = source.m_bFailed;
    source.m_hComm = nullptr;
    source.m_bOpen = 0;
    source.m_osRead = OVERLAPPED{};
    source.m_osWrite = OVERLAPPED{};
    return *this;
}

void CRs232c::ReleaseAll() {
    if (m_osWrite.hEvent) {
        CloseHandle(m_osWrite.hEvent);
        m_osWrite.hEvent = nullptr;
    }
    if (m_osRead.hEvent) {
        CloseHandle(m_osRead.hEvent);
        m_osRead.hEvent = nullptr;
    }
    if (m_hComm) {
        CloseHandle(m_hComm);
        m_hComm = nullptr;
    }
    m_bOpen = 0;
}

BOOL CRs232c::Open(int port) {
    if (m_bOpen == 1) {
        Close();
    }
    std::memset(&m_osRead, 0, sizeof m_osRead);
    m_osRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_osRead.hEvent) {
        return 0;
    }
    std::memset(&m_osWrite, 0, sizeof m_osWrite);
    m_osWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_osWrite.hEvent) {
        ReleaseAll();
        return 0;
    }

    m_nPort = port;
    const std::wstring name = HostComPortName(port);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Silent: identification probes many ports that have no device.
        ReleaseAll();
        return 0;
    }
    m_hComm = h;
    HostPreparePort(m_hComm);

    if (!SetupComm(m_hComm, kQueueSize, kQueueSize)) {
        ShowLastError(L"Open:SetupComm");
    }

    if (!GetCommState(m_hComm, &m_dcb)) {
        ReleaseAll();
        Report({true, L"GetCommStateに失敗しました", nullptr, MB_OK, CString()});
        return 0;
    }
    // Only the framing changes; flow control and the modem lines stay as the driver keeps them.
    m_dcb.fParity = 0;
    m_dcb.BaudRate = kBaudRate;
    m_dcb.ByteSize = kByteSize;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(m_hComm, &m_dcb)) {
        const DWORD error = GetLastError();
        ReleaseAll();
        Report({false, L"SetCommState Error", L"error message", MB_ICONHAND, CString()});
        SetLastError(error); // the report is of SetCommState's error, not the boxes'
        ShowLastError(L"Open:SetCommState");
        return 0;
    }

    GetCommTimeouts(m_hComm, &m_timeouts);
    m_timeouts.ReadIntervalTimeout = kReadIntervalTimeoutMs;
    m_timeouts.ReadTotalTimeoutMultiplier = 0;
    m_timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutMs;
    m_timeouts.WriteTotalTimeoutMultiplier = 0;
    m_timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(m_hComm, &m_timeouts);

    m_bOpen = 1;
    m_bFailed = 0;
    return 1;
}

DWORD CRs232c::Read(BYTE* buffer, DWORD count) {
    if (!ReadFile(m_hComm, buffer, count, &m_dwBytesRead, nullptr) && m_bOpen == 1) {
        m_bFailed = 1;
    }
    if (m_report && m_dwBytesRead > 0) {
        m_report->OnWire(false, buffer, m_dwBytesRead);
    }
    return m_dwBytesRead;
}

BOOL CRs232c::Write(const BYTE* bytes, DWORD count) {
    BOOL ok = WriteFile(m_hComm, bytes, count, &m_dwBytesWritten, nullptr);
    if (!ok && m_bOpen == 1) {
        m_bFailed = 1;
    }
    if (m_report && m_dwBytesWritten > 0) {
        m_report->OnWire(true, bytes, m_dwBytesWritten);
    }
    return ok;
}

BOOL CRs232c::Close() {
    if (m_bOpen == 0) {
        return 1;
    }
    SetCommMask(m_hComm, 0);
    PurgeComm(m_hComm, PURGE_RXCLEAR);
    PurgeComm(m_hComm, PURGE_TXCLEAR);
    PurgeComm(m_hComm, PURGE_RXABORT);
    PurgeComm(m_hComm, PURGE_TXABORT);
    // The line is left quiet for whoever opens it next: no flow control, RTS down.
    GetCommState(m_hComm, &m_dcb);
    m_dcb.fOutxCtsFlow = 0;
    m_dcb.fOutxDsrFlow = 0;
    m_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    m_dcb.fAbortOnError = 1;
    SetCommState(m_hComm, &m_dcb);
    ReleaseAll();
    return 1;
}

void CRs232c::ShowLastError(LPCWSTR caption) {
    LPWSTR text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                   GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    Report({false, text ? text : L"", caption, MB_ICONHAND, CString()});
    LocalFree(text);
}

void CRs232c::Report(const EngineMessage& message) {
    if (m_report) {
        m_report->OnPortMessage(message);
    }
}
