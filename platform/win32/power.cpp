// GetSystemPowerStatusEx2 from the desktop's GetSystemPowerStatus.
#include <cstring>
#include <functional>
#include <mutex>

#include "platform/testing.h"
#include "platform/winbase.h"

namespace {

std::mutex g_seamMutex;
std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)>& Seam() {
    static auto* seam = new std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)>();
    return *seam;
}

} // namespace

DWORD GetSystemPowerStatusEx2(SYSTEM_POWER_STATUS_EX2* status, DWORD length, BOOL update) {
    (void)update;
    if (!status || length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SYSTEM_POWER_STATUS_EX2 s{};
    std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)> seam;
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        seam = Seam();
    }
    if (seam) {
        if (!seam(&s))
            return 0;
    } else {
        SYSTEM_POWER_STATUS system{};
        if (!GetSystemPowerStatus(&system))
            return 0;
        s.ACLineStatus = system.ACLineStatus;
        s.BatteryFlag = system.BatteryFlag;
        s.BatteryLifePercent = system.BatteryLifePercent;
        s.BatteryLifeTime = system.BatteryLifeTime;
        s.BatteryFullLifeTime = system.BatteryFullLifeTime;
        s.BackupBatteryFlag = BATTERY_FLAG_UNKNOWN;
        s.BackupBatteryLifePercent = BATTERY_PERCENTAGE_UNKNOWN;
        s.BackupBatteryLifeTime = BATTERY_LIFE_UNKNOWN;
        s.BackupBatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
        s.BatteryChemistry = BATTERY_CHEMISTRY_UNKNOWN;
        // A desktop with no battery runs on the mains whatever its AC line says (some report
        // it as unknown), as a Linux host with no battery does.
        if ((system.BatteryFlag & BATTERY_FLAG_NO_BATTERY) &&
            system.BatteryFlag != BATTERY_FLAG_UNKNOWN)
            s.ACLineStatus = AC_LINE_ONLINE;
    }
    const DWORD n = length < sizeof s ? length : static_cast<DWORD>(sizeof s);
    std::memcpy(status, &s, n);
    return n;
}

namespace vmod_testing {

void SetPowerStatus(std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)> query) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    Seam() = std::move(query);
}

} // namespace vmod_testing
