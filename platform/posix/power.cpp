// GetSystemPowerStatusEx2 from Linux sysfs power-supply entries (under the device root when set).
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_root.h"
#include "platform/testing.h"
#include "platform/winbase.h"

namespace {

std::mutex g_seamMutex;
std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)>& Seam() {
    static auto* seam = new std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)>();
    return *seam;
}

bool ReadLine(const std::string& path, std::string* out) {
    std::ifstream f(path);
    if (!f || !std::getline(f, *out)) {
        return false;
    }
    while (!out->empty() && (out->back() == '\r' || out->back() == ' ')) {
        out->pop_back();
    }
    return true;
}

bool ReadNumber(const std::string& path, long long* out) {
    std::string line;
    if (!ReadLine(path, &line) || line.empty()) {
        return false;
    }
    char* end = nullptr;
    const long long v = std::strtoll(line.c_str(), &end, 10);
    if (end == line.c_str()) {
        return false;
    }
    *out = v;
    return true;
}

DWORD Clamp32(long long v) {
    return static_cast<DWORD>(static_cast<int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX)));
}

// The status from a power_supply folder laid out as sysfs: entries of type "Battery" are
// batteries, any other type (Mains, USB, ...) is an external supply with its "online" flag.
SYSTEM_POWER_STATUS_EX2 StatusFrom(const std::string& dir) {
    SYSTEM_POWER_STATUS_EX2 s{};
    s.BatteryFlag = BATTERY_FLAG_NO_BATTERY;
    s.BatteryLifePercent = BATTERY_PERCENTAGE_UNKNOWN;
    s.BatteryLifeTime = BATTERY_LIFE_UNKNOWN;
    s.BatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
    s.BackupBatteryFlag = BATTERY_FLAG_UNKNOWN;
    s.BackupBatteryLifePercent = BATTERY_PERCENTAGE_UNKNOWN;
    s.BackupBatteryLifeTime = BATTERY_LIFE_UNKNOWN;
    s.BackupBatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
    s.BatteryChemistry = BATTERY_CHEMISTRY_UNKNOWN;

    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    bool battery = false;
    bool externalKnown = false;
    bool externalOnline = false;
    bool charging = false;
    bool discharging = false;
    for (const std::string& name : names) {
        const std::string base = dir + "/" + name + "/";
        std::string type;
        if (!ReadLine(base + "type", &type)) {
            continue;
        }
        long long v = 0;
        if (type != "Battery") {
            if (ReadNumber(base + "online", &v)) {
                externalKnown = true;
                externalOnline = externalOnline || v != 0;
            }
            continue;
        }
        if (ReadNumber(base + "present", &v) && v == 0) {
            continue;
        }
        if (battery) {
            continue; // the first battery is the handheld's main battery
        }
        battery = true;
        s.BatteryFlag = 0;
        std::string status;
        ReadLine(base + "status", &status);
        charging = status == "Charging";
        discharging = status == "Discharging";
        if (ReadNumber(base + "capacity", &v)) {
            s.BatteryLifePercent = static_cast<BYTE>(std::clamp<long long>(v, 0, 100));
            s.BatteryFlag = v > 66   ? BATTERY_FLAG_HIGH
                            : v > 33 ? 0
                            : v > 5  ? BATTERY_FLAG_LOW
                                     : BATTERY_FLAG_CRITICAL;
        }
        if (charging) {
            s.BatteryFlag |= BATTERY_FLAG_CHARGING;
        }
        if (ReadNumber(base + "voltage_now", &v)) {
            s.BatteryVoltage = Clamp32(v / 1000); // microvolts
        }
        if (ReadNumber(base + "current_now", &v)) {
            s.BatteryCurrent = Clamp32((discharging && v > 0 ? -v : v) / 1000); // microamperes
        }
        if (ReadNumber(base + "temp", &v)) {
            s.BatteryTemperature = Clamp32(v);
        }
        std::string technology;
        if (ReadLine(base + "technology", &technology) && technology == "Li-ion") {
            s.BatteryChemistry = BATTERY_CHEMISTRY_LION;
        }
        if (ReadNumber(base + "time_to_empty_now", &v) && v >= 0) {
            s.BatteryLifeTime = static_cast<DWORD>(v);
        }
    }
    if (!battery) {
        s.ACLineStatus = AC_LINE_ONLINE; // nothing runs on a battery: external power
    } else if (externalKnown) {
        s.ACLineStatus = externalOnline ? AC_LINE_ONLINE : AC_LINE_OFFLINE;
    } else {
        s.ACLineStatus = discharging ? AC_LINE_OFFLINE : AC_LINE_ONLINE;
    }
    return s;
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
        if (!seam(&s)) {
            return 0;
        }
    } else {
        const std::string root = DeviceRoot();
        s = StatusFrom(root.empty() ? std::string("/sys/class/power_supply")
                                    : root + "/sys/class/power_supply");
    }
    const DWORD n = std::min<DWORD>(length, sizeof s);
    std::memcpy(status, &s, n);
    return n;
}

namespace vmod_testing {

void SetPowerStatus(std::function<BOOL(SYSTEM_POWER_STATUS_EX2*)> query) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    Seam() = std::move(query);
}

} // namespace vmod_testing
