// Test seams: what in-process tests put in place of the host's clock, serial devices,
// power supply and reboot. The shipped program never calls a setter; with none set, every
// call reaches the real host. Setters are not thread-safe: call them before the code under
// test starts and reset them (nullptr / empty) after it has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/types.h"

struct SYSTEM_POWER_STATUS_EX2;

namespace vmod_testing {

// The time base of Sleep and of the serial read timeouts.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale; never goes back.
    virtual uint64_t NowMs() = 0;
    // Returns once NowMs() has advanced by at least ms.
    virtual void SleepMs(uint64_t ms) = 0;
};

// A clock whose time moves only when someone sleeps on it: a sleep of ms advances it by ms
// at once. Safe to share between threads; time is one atomic counter.
std::unique_ptr<Clock> MakeVirtualClock(uint64_t startMs = 0);

// nullptr restores the host's monotonic clock.
void SetClock(Clock* clock);
// The current time of whichever clock is in place.
uint64_t NowMs();
// Sleeps on whichever clock is in place (Sleep and the serial read timeouts wait through it).
void SleepMs(uint64_t ms);

// One open port as the tool sees it. Calls come from one thread at a time.
class SerialPort {
  public:
    virtual ~SerialPort() = default;
    // Takes bytes the tool writes; returns how many were taken (all of them unless gone).
    virtual size_t Write(const uint8_t* data, size_t count) = 0;
    // Hands out up to max bytes that have arrived by now; never waits. 0: nothing yet.
    virtual size_t Read(uint8_t* out, size_t max) = 0;
    // True once the device behind the port has gone away (reads and writes then fail).
    virtual bool Gone() = 0;
    // The line settings the tool has set; the default ignores them.
    virtual void Configure(uint32_t baud, int dataBits, int parity, int stopBits) {
        (void)baud, (void)dataBits, (void)parity, (void)stopBits;
    }
    // PurgeComm's flags; the default ignores them.
    virtual void Purge(DWORD flags) { (void)flags; }
    // True makes the named call on this port ("SetupComm", "GetCommState", "SetCommState")
    // fail as from a driver that refuses it (ERROR_GEN_FAILURE); the default refuses none.
    virtual bool Refuses(const char* call) {
        (void)call;
        return false;
    }
};

// Stands for the host's COMn devices.
class SerialBackend {
  public:
    virtual ~SerialBackend() = default;
    // The port COMn, or nullptr when no device is behind it (CreateFileW then fails).
    virtual std::unique_ptr<SerialPort> Open(int comNumber) = 0;
};

// nullptr restores the host's serial devices.
void SetSerialBackend(SerialBackend* backend);

// Answers GetSystemPowerStatusEx2 in place of the host; empty restores the host.
void SetPowerStatus(std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)> query);

// Called in place of the host reboot; empty restores the real request.
void SetRebootHandler(std::function<void()> reboot);

// Called in place of the host's sleep inhibitor (HostInhibitSleepBegin with its reason, and
// HostInhibitSleepEnd); both empty restore the host's.
void SetSleepInhibitor(std::function<BOOL(LPCWSTR why)> begin, std::function<void()> end);

} // namespace vmod_testing
