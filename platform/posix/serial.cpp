// Serial ports on termios and poll: raw mode set at open, reads as a poll loop against a
// monotonic deadline computed from COMMTIMEOUTS, PurgeComm as tcflush. With a test serial back
// end in place the same calls run on its ports and the test clock.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/kernel_objects.h"
#include "platform/posix/serial_diag.h"
#include "platform/posix/serial_ports.h"
#include "platform/testing.h"
#include "platform/winbase.h"

namespace {

using vmod_posix::KernelObject;

class PortObject : public KernelObject {
  public:
    PortObject() : KernelObject(Kind::Port) {}
    ~PortObject() override {
        if (fd >= 0) {
            // The exclusive flag belongs to the tty, not to this descriptor: another holder
            // (the stand-in keeps the slave open) would keep it and lock out the next open.
            // Only a flag this open set is ours to clear.
            if (exclusive) {
                ioctl(fd, TIOCNXCL);
            }
            close(fd); // also drops the flock
        }
    }
    int fd = -1;
    bool exclusive = false; // this open set the tty's exclusive flag
    std::unique_ptr<vmod_testing::SerialPort> seam;
    DCB recorded{};          // as last set; GetCommState overlays what the device reports
    COMMTIMEOUTS timeouts{}; // all 0 on open, as on the handheld
    int com = 0;             // n of COMn, and the device behind it, for the trace
    std::string path;
};

PortObject* Port(HANDLE h) {
    return static_cast<PortObject*>(vmod_posix::LookupHandle(h, KernelObject::Kind::Port));
}

// The port of a ReadFile or WriteFile call, whose count of bytes done is 0 until the transfer
// sets it. nullptr when h is no port, or (ERROR_INVALID_PARAMETER) for overlapped I/O or a
// missing buffer with a nonzero count.
PortObject* TransferPort(HANDLE h, const void* buffer, DWORD count, LPDWORD done,
                         LPOVERLAPPED overlapped) {
    if (done) {
        *done = 0;
    }
    PortObject* port = Port(h);
    if (!port) {
        return nullptr;
    }
    if (overlapped || (!buffer && count > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

// A back-end port standing for a driver that refuses this call.
bool Refused(const PortObject& port, const char* call) {
    if (port.seam && port.seam->Refuses(call)) {
        SetLastError(ERROR_GEN_FAILURE);
        return true;
    }
    return false;
}

// The line settings a port starts with before anyone sets them.
DCB DefaultDcb() {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = CBR_9600;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fTXContinueOnXoff = 1;
    d.XonLim = 512;
    d.XoffLim = 128;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

// termios speed codes and the bit rates they stand for.
struct SpeedRow {
    speed_t code;
    DWORD baud;
};
const SpeedRow kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

bool SpeedCode(DWORD baud, speed_t* code) {
    for (const SpeedRow& row : kSpeeds) {
        if (row.baud == baud) {
            *code = row.code;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t code) {
    for (const SpeedRow& row : kSpeeds) {
        if (row.code == code) {
            return row.baud;
        }
    }
    return 0;
}

// Raw, and without flow control or parity checking: how a freshly opened port starts, whatever
// an earlier program left on the tty. SetCommState adds back what its DCB asks for.
void MakeRaw(termios* tio) {
    cfmakeraw(tio);
    tio->c_cflag &= ~CRTSCTS;
    tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

// The modem-control lines, or -1 where the device has none (a pseudo-terminal).
int ModemBits(int fd) {
    int bits = 0;
    return ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

void ReadDeviceSettings(const PortObject& port, DCB* dcb) {
    *dcb = port.recorded;
    termios tio{};
    if (tcgetattr(port.fd, &tio) != 0) {
        return;
    }
    if (DWORD baud = BaudOf(cfgetospeed(&tio))) {
        dcb->BaudRate = baud;
    }
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb->ByteSize = 5;
        break;
    case CS6:
        dcb->ByteSize = 6;
        break;
    case CS7:
        dcb->ByteSize = 7;
        break;
    default:
        dcb->ByteSize = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB)) {
        dcb->Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
        dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (tio.c_cflag & CSTOPB) {
        dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    } else {
        dcb->StopBits = ONESTOPBIT;
    }
    dcb->fBinary = 1;
    dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    // The host couples CTS flow control and the RTS handshake in one flag.
    const bool recordedCts = port.recorded.fOutxCtsFlow;
    const bool recordedHandshake = port.recorded.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (tio.c_cflag & CRTSCTS) {
        if (!recordedCts && !recordedHandshake) {
            dcb->fOutxCtsFlow = 1;
            dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        dcb->fOutxCtsFlow = 0;
        if (recordedHandshake) {
            dcb->fRtsControl = RTS_CONTROL_ENABLE;
        }
    }
    const int bits = ModemBits(port.fd);
    if (bits >= 0) {
        if (dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) {
            dcb->fRtsControl = (bits & TIOCM_RTS) ? (port.recorded.fRtsControl == RTS_CONTROL_TOGGLE
                                                         ? RTS_CONTROL_TOGGLE
                                                         : RTS_CONTROL_ENABLE)
                                                  : RTS_CONTROL_DISABLE;
        }
        if (!(bits & TIOCM_DTR)) {
            dcb->fDtrControl = DTR_CONTROL_DISABLE;
        } else if (dcb->fDtrControl == DTR_CONTROL_DISABLE) {
            dcb->fDtrControl = DTR_CONTROL_ENABLE;
        }
    }
}

bool ValidDcb(const DCB& d) {
    speed_t code;
    if (!SpeedCode(d.BaudRate, &code)) {
        return false;
    }
    if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY) {
        return false;
    }
    if (d.StopBits == ONE5STOPBITS) {
        return d.ByteSize == 5;
    }
    if (d.StopBits == TWOSTOPBITS) {
        return d.ByteSize != 5;
    }
    return d.StopBits == ONESTOPBIT;
}

void SetModemLine(int fd, int bit, bool on) {
    // A device without modem lines (a pseudo-terminal) refuses; nothing to do then.
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

BOOL ApplyDeviceSettings(PortObject& port, const DCB& d) {
    termios tio{};
    if (tcgetattr(port.fd, &tio) != 0) {
        vmod_posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    const termios before = tio;
    speed_t code = B9600;
    SpeedCode(d.BaudRate, &code);
    MakeRaw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[d.ByteSize - 5];
    switch (d.Parity) {
    case ODDPARITY:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        tio.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (d.StopBits != ONESTOPBIT) {
        tio.c_cflag |= CSTOPB;
    }
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        tio.c_cflag |= CRTSCTS;
    }
    tio.c_iflag &= ~(INPCK | IXON | IXOFF);
    if (d.fParity && d.Parity != NOPARITY) {
        tio.c_iflag |= INPCK;
    }
    if (d.fOutX) {
        tio.c_iflag |= IXON;
    }
    if (d.fInX) {
        tio.c_iflag |= IXOFF;
    }
    tio.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(port.fd, TCSANOW, &tio) != 0) {
        vmod_posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    // tcsetattr succeeds when any part was applied: check the speed and framing took (a
    // pseudo-terminal, for one, carries only 8 data bits without parity).
    const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR;
    termios now{};
    if (tcgetattr(port.fd, &now) == 0 &&
        (cfgetospeed(&now) != code || (now.c_cflag & framing) != (tio.c_cflag & framing))) {
        tcsetattr(port.fd, TCSANOW, &before);
        vmod_posix::SetLastErrorFromErrno(EINVAL);
        return FALSE;
    }
    if (d.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        SetModemLine(port.fd, TIOCM_RTS, d.fRtsControl != RTS_CONTROL_DISABLE);
    }
    SetModemLine(port.fd, TIOCM_DTR, d.fDtrControl != DTR_CONTROL_DISABLE);
    return TRUE;
}

// "COMn:" or "COMn", n 1..255, COM in any case: n; else 0.
int ComNumber(LPCWSTR name) {
    if (!name || std::wcslen(name) < 4) {
        return 0;
    }
    if (std::towupper(name[0]) != L'C' || std::towupper(name[1]) != L'O' ||
        std::towupper(name[2]) != L'M') {
        return 0;
    }
    int n = 0;
    const wchar_t* p = name + 3;
    if (*p == L'0') {
        return 0;
    }
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        n = n * 10 + (*p - L'0');
        if (n > 255) {
            return 0;
        }
    }
    if (*p == L':') {
        ++p;
    }
    return *p == 0 ? n : 0;
}

// ---- the read and write loops -----------------------------------------------------------------

const uint64_t kNever = UINT64_MAX;
// With a test clock, waits are taken on it in steps this long, re-polling the port in between.
const uint64_t kStepMs = 1;
// How long a failed read on a vanished device waits when its timeouts set no limit.
const uint64_t kGoneWaitMs = 1000;

bool Stepping(const PortObject& port) {
    return port.seam != nullptr || vmod_posix::TestClockSet();
}

// Takes what has arrived, waiting at most waitMs (-1: no limit) for a first byte on a device
// port (back-end ports never wait here). The count, 0 when nothing came, -1 when the device has
// gone (the last-error code set).
long TakeAvailable(PortObject& port, uint8_t* out, size_t max, int waitMs) {
    if (port.seam) {
        size_t n = port.seam->Read(out, max);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (port.seam->Gone()) {
            vmod_posix::SetLastErrorFromErrno(ENODEV);
            return -1;
        }
        return 0;
    }
    pollfd p{port.fd, POLLIN, 0};
    int r = poll(&p, 1, waitMs);
    if (r < 0) {
        if (errno == EINTR) {
            return 0;
        }
        vmod_posix::SetLastErrorFromErrno(errno);
        return -1;
    }
    if (r == 0) {
        return 0;
    }
    if (p.revents & POLLIN) {
        ssize_t n = read(port.fd, out, max);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        // Readable but nothing to read, or an I/O error: the device has gone.
        vmod_posix::SetLastErrorFromErrno(n == 0 ? ENODEV : errno);
        return -1;
    }
    vmod_posix::SetLastErrorFromErrno((p.revents & POLLNVAL) ? EBADF : ENODEV);
    return -1;
}

void WaitUntil(uint64_t deadline) {
    const uint64_t now = vmod_testing::NowMs();
    if (deadline > now) {
        vmod_testing::SleepMs(deadline - now);
    }
}

} // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, void* security, DWORD creation,
                   DWORD flags, HANDLE templateFile) {
    (void)access, (void)shareMode, (void)security, (void)flags, (void)templateFile;
    const int n = ComNumber(name);
    if (n == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Whatever refused an earlier open of this port is no longer the news; a back-end port is
    // never refused.
    vmod_posix::ClearPortRefusal(n);
    auto port = std::make_unique<PortObject>();
    port->recorded = DefaultDcb();
    if (vmod_testing::SerialBackend* backend = vmod_posix::CurrentSerialBackend()) {
        port->seam = backend->Open(n);
        if (!port->seam) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        port->com = n;
        port->path = "back end";
        return vmod_posix::RegisterHandle(std::move(port));
    }
    const std::string path = vmod_posix::ComDevicePath(n);
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        if (err == EBUSY) {
            vmod_posix::ReportPortRefused(n, path, vmod_posix::PortRefusal::Busy);
        } else if (err == EACCES || err == EPERM) {
            vmod_posix::ReportPortRefused(n, path, vmod_posix::PortRefusal::Permission);
        }
        vmod_posix::SetLastErrorFromErrno(err);
        return INVALID_HANDLE_VALUE;
    }
    if (!isatty(fd)) {
        close(fd);
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // Two locks: TIOCEXCL keeps out any other opener of the tty, flock keeps out every other
    // opener of ours and the system drops it when the holder dies. A privileged opener gets
    // past another program's TIOCEXCL, so the flag is asked for and honoured here: the port is
    // one opener's, root included.
    int heldExclusively = 0;
    const bool busy = (ioctl(fd, TIOCGEXCL, &heldExclusively) == 0 && heldExclusively) ||
                      (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
    if (busy) {
        close(fd);
        vmod_posix::ReportPortRefused(n, path, vmod_posix::PortRefusal::Busy);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    port->exclusive = ioctl(fd, TIOCEXCL) == 0;
    vmod_posix::ForgetPortRefusal(n);
    port->fd = fd;
    port->com = n;
    port->path = path;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        vmod_posix::SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE; // port's destructor closes fd
    }
    MakeRaw(&tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        vmod_posix::SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    // The modem lines as DefaultDcb has them, even after a program (or our own Close) lowered
    // RTS: GetCommState then reports what the tty really does.
    SetModemLine(fd, TIOCM_DTR, true);
    SetModemLine(fd, TIOCM_RTS, true);
    // Bytes that came while nobody had the port open are not this opener's.
    tcflush(fd, TCIFLUSH);
    vmod_posix::ComPortOpened(n, path);
    return vmod_posix::RegisterHandle(std::move(port));
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    (void)inQueue, (void)outQueue;
    PortObject* port = Port(h);
    return port && !Refused(*port, "SetupComm") ? TRUE : FALSE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    (void)mask;
    return Port(h) ? TRUE : FALSE;
}

BOOL GetCommState(HANDLE h, LPDCB dcb) {
    PortObject* port = Port(h);
    if (!port || Refused(*port, "GetCommState")) {
        return FALSE;
    }
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (port->seam) {
        *dcb = port->recorded;
    } else {
        ReadDeviceSettings(*port, dcb);
    }
    dcb->DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb) {
    PortObject* port = Port(h);
    if (!port || Refused(*port, "SetCommState")) {
        return FALSE;
    }
    if (!dcb || !ValidDcb(*dcb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (port->seam) {
        port->seam->Configure(dcb->BaudRate, dcb->ByteSize, dcb->Parity, dcb->StopBits);
    } else if (!ApplyDeviceSettings(*port, *dcb)) {
        return FALSE;
    }
    port->recorded = *dcb;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    PortObject* port = Port(h);
    if (!port || !timeouts) {
        return FALSE;
    }
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    PortObject* port = Port(h);
    if (!port || !timeouts) {
        return FALSE;
    }
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    PortObject* port = Port(h);
    if (!port) {
        return FALSE;
    }
    if (port->seam) {
        port->seam->Purge(flags);
        return TRUE;
    }
    if (flags & PURGE_RXCLEAR) {
        tcflush(port->fd, TCIFLUSH);
    }
    if (flags & PURGE_TXCLEAR) {
        tcflush(port->fd, TCOFLUSH);
    }
    return TRUE;
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    PortObject* port = TransferPort(h, buffer, count, read, overlapped);
    if (!port) {
        return FALSE;
    }
    if (count == 0) {
        return TRUE;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    const COMMTIMEOUTS t = port->timeouts;
    // Interval MAXDWORD, totals 0: return at once with what is there. Interval and multiplier
    // MAXDWORD, a constant: return as soon as any byte is there, waiting at most the constant.
    const bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                        t.ReadTotalTimeoutConstant == 0;
    const bool anyByte = t.ReadIntervalTimeout == MAXDWORD &&
                         t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    const uint64_t total = anyByte ? t.ReadTotalTimeoutConstant
                                   : static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier == MAXDWORD
                                                               ? 0
                                                               : t.ReadTotalTimeoutMultiplier) *
                                             count +
                                         t.ReadTotalTimeoutConstant;
    const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    const bool stepping = Stepping(*port);
    const uint64_t start = vmod_testing::NowMs();
    DWORD got = 0;
    uint64_t lastByte = 0;
    while (got < count) {
        const uint64_t now = vmod_testing::NowMs();
        uint64_t next = kNever;
        if (atOnce) {
            next = now;
        }
        if (total > 0 && !atOnce) {
            next = std::min(next, start + total);
        }
        if (hasInterval && got > 0) {
            next = std::min(next, lastByte + t.ReadIntervalTimeout);
        }
        int waitMs = -1;
        if (stepping) {
            waitMs = 0;
        } else if (next != kNever) {
            waitMs = next > now ? static_cast<int>(std::min<uint64_t>(next - now, INT32_MAX)) : 0;
        }
        const long n = TakeAvailable(*port, out + got, count - got, waitMs);
        if (n > 0) {
            vmod_posix::TraceSerial(port->com, port->path, '<', out + got, static_cast<size_t>(n));
            got += static_cast<DWORD>(n);
            lastByte = vmod_testing::NowMs();
            if (anyByte) {
                break;
            }
            continue;
        }
        if (n < 0) {
            if (got > 0) {
                break; // hand over what came; the next read reports the loss
            }
            const DWORD error = GetLastError();
            WaitUntil(next != kNever ? next : start + kGoneWaitMs);
            SetLastError(error);
            return FALSE;
        }
        const uint64_t after = vmod_testing::NowMs();
        if (next != kNever && after >= next) {
            break;
        }
        if (stepping) {
            vmod_testing::SleepMs(next == kNever ? kStepMs : std::min(kStepMs, next - after));
        }
    }
    if (read) {
        *read = got;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, LPDWORD written,
               LPOVERLAPPED overlapped) {
    PortObject* port = TransferPort(h, buffer, count, written, overlapped);
    if (!port) {
        return FALSE;
    }
    const auto* data = static_cast<const uint8_t*>(buffer);
    const COMMTIMEOUTS t = port->timeouts;
    const uint64_t total =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    const uint64_t deadline = total ? vmod_testing::NowMs() + total : kNever;
    const bool stepping = Stepping(*port);
    DWORD done = 0;
    BOOL ok = TRUE;
    while (done < count) {
        bool blocked = false;
        if (port->seam) {
            const size_t n = port->seam->Write(data + done, count - done);
            vmod_posix::TraceSerial(port->com, port->path, '>', data + done, n);
            done += static_cast<DWORD>(n);
            if (done < count) {
                if (port->seam->Gone()) {
                    vmod_posix::SetLastErrorFromErrno(ENODEV);
                    ok = FALSE;
                    break;
                }
                blocked = true;
            }
        } else {
            const ssize_t n = write(port->fd, data + done, count - done);
            if (n > 0) {
                vmod_posix::TraceSerial(port->com, port->path, '>', data + done,
                                        static_cast<size_t>(n));
                done += static_cast<DWORD>(n);
                continue;
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                vmod_posix::SetLastErrorFromErrno(errno);
                ok = FALSE;
                break;
            }
            blocked = !(n < 0 && errno == EINTR);
        }
        if (!blocked) {
            continue;
        }
        const uint64_t now = vmod_testing::NowMs();
        if (now >= deadline) {
            break;
        }
        if (stepping) {
            vmod_testing::SleepMs(std::min(kStepMs, deadline - now));
            continue;
        }
        pollfd p{port->fd, POLLOUT, 0};
        const int waitMs = deadline == kNever
                               ? -1
                               : static_cast<int>(std::min<uint64_t>(deadline - now, INT32_MAX));
        if (poll(&p, 1, waitMs) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) &&
            !(p.revents & POLLOUT)) {
            vmod_posix::SetLastErrorFromErrno(ENODEV);
            ok = FALSE;
            break;
        }
    }
    if (written) {
        *written = done;
    }
    return ok;
}
