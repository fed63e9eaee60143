// The decisions the Windows layer makes of its own, checked on the system's calls under Wine.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/inhibit.h"
#include "platform/port_access.h"
#include "platform/win32/host_calls.h"
#include "platform/winbase.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what, const std::string& detail = std::string()) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s %s\n", what, detail.c_str());
        ++g_failures;
    }
}

std::string Narrow(const std::wstring& w) {
    return std::string(w.begin(), w.end());
}

// COMn's name is the device namespace's for every number, and each form a user types leads back
// to its number.
void PortNames() {
    const struct {
        int n;
        const wchar_t* name;
    } kNames[] = {
        {1, L"\\\\.\\COM1"}, {9, L"\\\\.\\COM9"}, {10, L"\\\\.\\COM10"}, {255, L"\\\\.\\COM255"}};
    for (const auto& c : kNames) {
        Check(HostComPortName(c.n) == c.name, "port name", Narrow(HostComPortName(c.n)));
        Check(HostComNumberOf(HostComPortName(c.n).c_str()) == c.n, "number of port name",
              Narrow(c.name));
    }
    const struct {
        const wchar_t* name;
        int n;
    } kNumbers[] = {{L"COM3", 3},   {L"com12:", 12}, {L"\\\\.\\com49", 49}, {L"COM0", 0},
                    {L"COM256", 0}, {L"COM", 0},     {L"COM3x", 0},         {L"\\\\.\\COM3:", 0},
                    {L"LPT1", 0},   {L"COM00003", 0}};
    for (const auto& c : kNumbers)
        Check(HostComNumberOf(c.name) == c.n, "number of", Narrow(c.name));
}

// After the preparation the process's token has the shutdown privilege enabled.
void ShutdownPrivilege() {
    Check(HostPrepareReboot() == TRUE, "HostPrepareReboot");
    HANDLE token = nullptr;
    Check(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token), "OpenProcessToken");
    LUID shutdown{};
    LookupPrivilegeValueW(nullptr, L"" SE_SHUTDOWN_NAME, &shutdown);
    std::vector<BYTE> buffer(4096);
    DWORD size = 0;
    bool enabled = false;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), buffer.size(), &size)) {
        const auto* p = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < p->PrivilegeCount; ++i)
            enabled = enabled || (p->Privileges[i].Luid.LowPart == shutdown.LowPart &&
                                  p->Privileges[i].Luid.HighPart == shutdown.HighPart &&
                                  (p->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED));
    }
    CloseHandle(token);
    Check(enabled, "shutdown privilege enabled");
}

struct StateCall {
    EXECUTION_STATE state;
    std::thread::id thread;
};
std::vector<StateCall> g_calls;
EXECUTION_STATE WINAPI RecordState(EXECUTION_STATE state) {
    g_calls.push_back({state, std::this_thread::get_id()});
    return ES_CONTINUOUS;
}

// The execution state is the calling thread's: one thread of the layer's sets it and clears it,
// whichever threads begin and end the inhibition, and a second begin takes nothing more.
void ExecutionState() {
    vmod_win32::SetExecutionStateCall(RecordState);
    std::thread([] { Check(HostInhibitSleepBegin(L"test") == TRUE, "inhibit begins"); }).join();
    Check(HostInhibitSleepBegin(L"again") == TRUE, "inhibit begins again");
    std::thread([] { HostInhibitSleepEnd(); }).join();
    HostInhibitSleepEnd(); // nothing held: no call
    vmod_win32::SetExecutionStateCall(nullptr);
    Check(g_calls.size() == 2, "two state calls", std::to_string(g_calls.size()));
    if (g_calls.size() == 2) {
        Check(g_calls[0].state == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED), "held state");
        Check(g_calls[1].state == ES_CONTINUOUS, "released state");
        Check(g_calls[0].thread == g_calls[1].thread, "set and cleared on one thread");
    }
    // The system's own call takes it.
    Check(HostInhibitSleepBegin(L"system") == TRUE, "system inhibit begins");
    HostInhibitSleepEnd();
}

// Numbers as the handheld's runtime reads them, whatever the user's locale.
void Numbers() {
    const struct {
        const wchar_t* text;
        double value;
        size_t used;
    } kCases[] = {{L"1.05", 1.05, 4}, {L" +2.5x", 2.5, 5}, {L"-1", -1.0, 2}, {L"1,05", 1.0, 1},
                  {L"abc", 0.0, 0},   {L"+-1", 0.0, 0},    {L"", 0.0, 0}};
    for (const auto& c : kCases) {
        wchar_t* end = nullptr;
        const double v = wcstod_c(c.text, &end);
        Check(v == c.value && static_cast<size_t>(end - c.text) == c.used, "wcstod_c",
              Narrow(c.text));
    }
}

} // namespace

int main() {
    PortNames();
    ShutdownPrivilege();
    ExecutionState();
    Numbers();
    std::printf("%s\n", g_failures ? "FAILED" : "PASS");
    return g_failures ? 1 : 0;
}
