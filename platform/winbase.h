// Kernel calls of the handheld API the program makes: serial communications, events, the
// single-instance mutex, errors and their texts, time, text conversion, power and reboot.
// Implemented on Linux in platform/posix/. Record layouts are the handheld's own, so that flag
// words and sizes mean what the program's constants say.
//
// On Windows the calls the desktop system has are the system's own (<windows.h>, through
// platform/types.h), and only the handheld's calls it lacks are declared here for it
// (platform/win32/): the extended power status, wcstod_c and the reboot's preparation.
//
// Errors: every call that fails sets the calling thread's last-error code (GetLastError);
// the code is one of the ERROR_ values below, mapped from the host's error in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

#ifndef _WIN32

typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef void* HLOCAL; // memory from LocalAlloc / FormatMessageW's allocated buffer
typedef uintptr_t ULONG_PTR;

// ---- error codes ------------------------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L          // no device or file of that name
#define ERROR_PATH_NOT_FOUND 3L          // a folder on the way does not exist
#define ERROR_TOO_MANY_OPEN_FILES 4L     // no descriptor left
#define ERROR_ACCESS_DENIED 5L           // not permitted
#define ERROR_INVALID_HANDLE 6L          // not a handle of the kind the call needs
#define ERROR_NOT_ENOUGH_MEMORY 8L       // out of memory
#define ERROR_GEN_FAILURE 31L            // the device failed (I/O error)
#define ERROR_SHARING_VIOLATION 32L      // the port is already open (serial ports are never shared)
#define ERROR_NOT_SUPPORTED 50L          // the device cannot do this
#define ERROR_DEV_NOT_EXIST 55L          // the device behind the name is gone
#define ERROR_INVALID_PARAMETER 87L      // an argument or line setting the device refuses
#define ERROR_INVALID_NAME 123L          // not a name this system opens
#define ERROR_BUSY 170L                  // the device is busy
#define ERROR_ALREADY_EXISTS 183L        // CreateMutexW: the named mutex existed already
#define ERROR_OPERATION_ABORTED 995L     // interrupted
#define ERROR_DEVICE_NOT_CONNECTED 1167L // the device has gone away (unplugged, hung up)

// The calling thread's last-error code.
DWORD GetLastError();
// Sets the calling thread's last-error code.
void SetLastError(DWORD code);

// ---- handles ----------------------------------------------------------------------------------
// Closes a port, event or mutex handle (releasing the mutex). FALSE with ERROR_INVALID_HANDLE
// for anything else, including a handle already closed.
BOOL CloseHandle(HANDLE handle);

// Creates an event (no security attributes, no name supported: name must be nullptr); TRUE
// manualReset keeps it signalled until reset. nullptr on failure. Released by CloseHandle.
HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, LPCWSTR name);

// ---- serial communications --------------------------------------------------------------------
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080UL

// Opens "COMn:" (n 1..255, colon optional): the port is opened for reading and writing, never
// shared (a second open of the same port, by this or another process, fails with
// ERROR_SHARING_VIOLATION whatever shareMode says), in raw mode (no echo, no line editing, no
// byte mapping, modem status ignored) whatever state the device was left in. A port with no
// device behind it fails with ERROR_FILE_NOT_FOUND. Other names are not opened
// (ERROR_INVALID_NAME). Returns INVALID_HANDLE_VALUE on failure. Where COMn is found on this
// host: the README's "Serial ports".
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, void* security, DWORD creation,
                   DWORD flags, HANDLE templateFile);

// Asks for input and output queue sizes; accepted (TRUE) on any open port, no effect.
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);

#define CBR_9600 9600
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_57600 57600
#define CBR_115200 115200

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

// Device-control block: the line settings of a port. The bit fields sit in one 32-bit flag
// word after BaudRate, lowest bit first (fBinary is 0x1, fOutxCtsFlow 0x4, fOutxDsrFlow 0x8,
// fRtsControl 0x3000, fAbortOnError 0x4000), as on the handheld.
struct DCB {
    DWORD DCBlength;             // sizeof(DCB)
    DWORD BaudRate;              // bits per second
    DWORD fBinary : 1;           // always 1: no end-of-file processing
    DWORD fParity : 1;           // check parity of received bytes
    DWORD fOutxCtsFlow : 1;      // output waits for CTS
    DWORD fOutxDsrFlow : 1;      // output waits for DSR (recorded; the host has no such control)
    DWORD fDtrControl : 2;       // DTR_CONTROL_
    DWORD fDsrSensitivity : 1;   // recorded only
    DWORD fTXContinueOnXoff : 1; // recorded only
    DWORD fOutX : 1;             // XON/XOFF on output
    DWORD fInX : 1;              // XON/XOFF on input
    DWORD fErrorChar : 1;        // recorded only
    DWORD fNull : 1;             // recorded only
    DWORD fRtsControl : 2;       // RTS_CONTROL_
    DWORD fAbortOnError : 1;     // recorded only
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;    // recorded only
    WORD XoffLim;   // recorded only
    BYTE ByteSize;  // data bits, 5..8
    BYTE Parity;    // NOPARITY ... SPACEPARITY
    BYTE StopBits;  // ONESTOPBIT, ONE5STOPBITS (5 data bits only), TWOSTOPBITS
    char XonChar;   // XON character of fOutX / fInX
    char XoffChar;  // XOFF character of fOutX / fInX
    char ErrorChar; // recorded only
    char EofChar;   // recorded only
    char EvtChar;   // recorded only
    WORD wReserved1;
};
typedef DCB* LPDCB;
static_assert(sizeof(DCB) == 28, "DCB has the handheld's layout");

// Reads the port's current line settings into dcb. FALSE (ERROR_INVALID_HANDLE) if no port.
BOOL GetCommState(HANDLE port, LPDCB dcb);
// Applies the line settings: baud rate, data bits, parity and its check, stop bits, CTS
// flow control and RTS handshake, RTS and DTR lines, XON/XOFF; the port stays raw. Fields
// the host cannot apply are kept and read back by GetCommState. FALSE with
// ERROR_INVALID_PARAMETER for a value the device refuses (the previous settings stay).
BOOL SetCommState(HANDLE port, LPDCB dcb);

// Read and write timeouts in milliseconds.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;         // longest silence after a received byte; 0: none
    DWORD ReadTotalTimeoutMultiplier;  // per byte asked, added to the constant
    DWORD ReadTotalTimeoutConstant;    // total read timeout = multiplier * count + constant
    DWORD WriteTotalTimeoutMultiplier; // per byte written
    DWORD WriteTotalTimeoutConstant;   // total write timeout = multiplier * count + constant
};
typedef COMMTIMEOUTS* LPCOMMTIMEOUTS;
#define MAXDWORD 0xFFFFFFFFUL

// The port's timeouts (all 0 on a newly opened port: reads and writes wait until done).
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
// Sets the timeouts ReadFile and WriteFile honour from now on.
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);

// Selects the port's events to watch; accepted (TRUE) on any open port, no effect.
BOOL SetCommMask(HANDLE port, DWORD mask);

#define PURGE_TXABORT 0x0001 // end pending writes (writes here are synchronous: none pend)
#define PURGE_RXABORT 0x0002 // end pending reads (reads here are synchronous: none pend)
#define PURGE_TXCLEAR 0x0004 // drop bytes written but not yet sent
#define PURGE_RXCLEAR 0x0008 // drop bytes received but not yet read

// Drops queued bytes per the PURGE_ flags. FALSE (ERROR_INVALID_HANDLE) if no port.
BOOL PurgeComm(HANDLE port, DWORD flags);

// Overlap record of an asynchronous transfer; the program passes none to ReadFile/WriteFile
// and keeps the records only for their events.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

// Reads up to count bytes from a port, synchronously (overlapped must be nullptr), storing the
// count received in *read. Returns once count bytes have arrived, or when the total timeout
// (multiplier * count + constant, if nonzero) has passed since the call, or when the interval
// timeout (if nonzero) has passed with no byte after a received one, whichever comes first;
// with all timeouts 0 it waits for count bytes; with interval MAXDWORD and both totals 0 it
// returns at once with what has arrived. TRUE also when fewer (or no) bytes came. A port whose
// device has gone away fails (FALSE, ERROR_DEVICE_NOT_CONNECTED or the mapped device error)
// with *read 0, but only once its timeout has passed, so a caller polling it does not spin.
BOOL ReadFile(HANDLE port, void* buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
// Writes count bytes to a port, synchronously, storing the count taken in *written. With write
// timeouts 0 it waits until the device has taken every byte. FALSE if the device failed or went
// away (*written then says how many it took first).
BOOL WriteFile(HANDLE port, const void* buffer, DWORD count, LPDWORD written,
               LPOVERLAPPED overlapped);

// ---- error texts ------------------------------------------------------------------------------
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))

// With FORMAT_MESSAGE_FROM_SYSTEM: the system's text for error code messageId (any language
// id), a NUL-terminated line. With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is really an LPWSTR*
// that receives a new buffer to release with LocalFree; otherwise the text is copied into
// buffer of size characters. Returns the text's length without the NUL; 0 on failure.
// source and arguments are not used.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments);
// Releases memory from FormatMessageW's allocated buffer; returns nullptr (nullptr is allowed).
HLOCAL LocalFree(HLOCAL memory);

// ---- single instance --------------------------------------------------------------------------
// Creates or opens the named mutex. The name is scoped to the device root (VMOD_ROOT, or the
// host when unset), so programs under different roots do not see each other's mutexes. If a
// mutex of that name exists already (held by this or another live process) it returns a handle
// too and GetLastError() is ERROR_ALREADY_EXISTS; otherwise the caller holds the new mutex,
// GetLastError() is 0. The operating system releases it when the holder's process ends, however
// it ends. nullptr on failure.
HANDLE CreateMutexW(void* security, BOOL initialOwner, LPCWSTR name);

// ---- the program ---------------------------------------------------------------------------
// The full path of the running program's file (module nullptr only) into name, at most size
// characters with the NUL: the length without the NUL; size when it was cut short; 0 on failure.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size);

// ---- time -------------------------------------------------------------------------------------
// Suspends the calling thread for at least ms milliseconds (of the test clock when one is set).
void Sleep(DWORD ms);
// Milliseconds since an arbitrary start on a monotonic scale (of the test clock when one is
// set); wraps after 49.7 days, so intervals are taken as unsigned differences.
DWORD GetTickCount();

// ---- text -------------------------------------------------------------------------------------
#define CP_ACP 0 // the system's ANSI code page: 932 (Japanese, Shift_JIS family)
#define CP_UTF8 65001

// Converts count bytes of text in the code page (CP_ACP, or CP_UTF8; count -1: up to and
// including the NUL) to wide characters. With outSize 0 returns the characters needed; otherwise writes at most outSize
// and returns the number written, including a NUL only if it was among the input. ASCII bytes
// pass unchanged; a byte sequence the code page does not define becomes U+30FB. 0 on failure
// (ERROR_INSUFFICIENT_BUFFER when out is too small, ERROR_INVALID_PARAMETER).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR out,
                        int outSize);
#define ERROR_INSUFFICIENT_BUFFER 122L
// Wide text to CP_UTF8 bytes (the only code page taken), as MultiByteToWideChar the other way:
// count -1 takes the text with its NUL; outSize 0 returns the bytes needed. defaultChar and
// usedDefault do not apply to UTF-8 (*usedDefault is set FALSE). 0 on failure.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int count, char* out,
                        int outSize, LPCSTR defaultChar, BOOL* usedDefault);

#endif // !_WIN32

// The handheld runtime's wcstod: a decimal number with "." as its separator, whatever locale
// the user's environment (LANG, LC_ALL, LC_NUMERIC) or the toolkit has set; the C library's
// own wcstod would read "1.05" as 1 where the separator is a comma. Leading white space, a
// sign, digits and an exponent as in the C locale; 0.0 (and *end = text) when no number
// starts the text. Any thread.
double wcstod_c(const wchar_t* text, wchar_t** end);

// ---- power ------------------------------------------------------------------------------------
#ifndef _WIN32
#define AC_LINE_OFFLINE 0
#define AC_LINE_ONLINE 1
#define AC_LINE_UNKNOWN 0xFF
#define BATTERY_FLAG_HIGH 0x01
#define BATTERY_FLAG_LOW 0x02
#define BATTERY_FLAG_CRITICAL 0x04
#define BATTERY_FLAG_CHARGING 0x08
#define BATTERY_FLAG_NO_BATTERY 0x80
#define BATTERY_FLAG_UNKNOWN 0xFF
#define BATTERY_PERCENTAGE_UNKNOWN 0xFF
#define BATTERY_LIFE_UNKNOWN 0xFFFFFFFFUL
#endif // !_WIN32
#define BATTERY_CHEMISTRY_LION 0x04
#define BATTERY_CHEMISTRY_UNKNOWN 0xFF

// The handheld's extended power status record (56 bytes).
struct SYSTEM_POWER_STATUS_EX2 {
    BYTE ACLineStatus;       // AC_LINE_: 1 on external power
    BYTE BatteryFlag;        // BATTERY_FLAG_ bits
    BYTE BatteryLifePercent; // 0..100 or BATTERY_PERCENTAGE_UNKNOWN
    BYTE Reserved1;
    DWORD BatteryLifeTime;     // seconds left, or BATTERY_LIFE_UNKNOWN
    DWORD BatteryFullLifeTime; // seconds of a full charge, or BATTERY_LIFE_UNKNOWN
    BYTE Reserved2;
    BYTE BackupBatteryFlag;        // BATTERY_FLAG_
    BYTE BackupBatteryLifePercent; // 0..100 or BATTERY_PERCENTAGE_UNKNOWN
    BYTE Reserved3;
    DWORD BackupBatteryLifeTime;
    DWORD BackupBatteryFullLifeTime;
    DWORD BatteryVoltage;         // millivolts, 0 if unknown
    DWORD BatteryCurrent;         // milliamperes, negative (as two's complement) discharging
    DWORD BatteryAverageCurrent;  // milliamperes
    DWORD BatteryAverageInterval; // milliseconds
    DWORD BatterymAHourConsumed;  // milliampere-hours
    DWORD BatteryTemperature;     // tenths of a degree Celsius
    DWORD BackupBatteryVoltage;   // millivolts
    BYTE BatteryChemistry;        // BATTERY_CHEMISTRY_
};

static_assert(sizeof(SYSTEM_POWER_STATUS_EX2) == 56, "the handheld's 56-byte record");

// Fills at most length bytes of *status with the current power status (update: take a fresh
// reading; readings here are always fresh). Returns the number of bytes filled, 0 on failure.
// On a host with no battery, or a device root with no power-supply entries, the status is
// "on external power" (ACLineStatus 1, BATTERY_FLAG_NO_BATTERY).
DWORD GetSystemPowerStatusEx2(SYSTEM_POWER_STATUS_EX2* status, DWORD length, BOOL update);

// ---- shell ------------------------------------------------------------------------------------
// Makes a restart asked for next with ExitWindowsEx possible for this process: on Windows it
// takes the shutdown privilege (SE_SHUTDOWN_NAME), which a process holds but has not enabled;
// elsewhere there is nothing to take. FALSE when the privilege cannot be had.
BOOL HostPrepareReboot();

#ifndef _WIN32
#define EWX_REBOOT 2

// Asks for the device to restart (flags EWX_REBOOT; reserved 0) and returns without waiting for
// it. With a device root set the request is recorded, not carried out: the file
// "$VMOD_ROOT/reboot-requested" is created. On the host it is asked of the system's login
// manager. FALSE if the request could not be made.
BOOL ExitWindowsEx(UINT flags, DWORD reserved);

#endif // !_WIN32
