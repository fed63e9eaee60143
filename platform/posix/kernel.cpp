// Handles, the last-error code and its texts, events, Sleep and the test seams' clock.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <time.h>
#include <unistd.h>
#include <unordered_map>

#include "platform/posix/kernel_objects.h"
#include "platform/posix/utf8.h"
#include "platform/testing.h"
#include "platform/winbase.h"

namespace {

thread_local DWORD t_lastError = 0;
// The errno behind t_lastError when the code came from the host; 0 otherwise.
thread_local DWORD t_errnoCode = 0;
thread_local int t_errno = 0;

// Host errno values and the handheld's code for each; read top-down, so the first row of a
// code is also the errno whose text FormatMessageW gives for that code.
struct ErrnoRow {
    int err;
    DWORD code;
};
const ErrnoRow kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},       {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},  {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},        {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},         {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},    {EIO, ERROR_GEN_FAILURE},
    {EBUSY, ERROR_SHARING_VIOLATION},     {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
    {ENOTTY, ERROR_NOT_SUPPORTED},        {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_NOT_SUPPORTED},        {ENXIO, ERROR_DEV_NOT_EXIST},
    {EINVAL, ERROR_INVALID_PARAMETER},    {ENAMETOOLONG, ERROR_INVALID_NAME},
    {EEXIST, ERROR_ALREADY_EXISTS},       {EINTR, ERROR_OPERATION_ABORTED},
    {ENODEV, ERROR_DEVICE_NOT_CONNECTED}, {EPIPE, ERROR_DEVICE_NOT_CONNECTED},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},
};

DWORD MapErrno(int err) {
    for (const ErrnoRow& row : kErrnoTable) {
        if (row.err == err) {
            return row.code;
        }
    }
    return ERROR_GEN_FAILURE;
}

int ErrnoOfCode(DWORD code) {
    if (code == t_errnoCode && t_errno != 0) {
        return t_errno;
    }
    for (const ErrnoRow& row : kErrnoTable) {
        if (row.code == code) {
            return row.err;
        }
    }
    return 0;
}

// The host's text (in its locale's multibyte encoding) as wide characters.
std::wstring Widen(const char* text) {
    std::wstring out;
    std::mbstate_t state{};
    const char* p = text;
    const char* end = text + std::strlen(text);
    while (p < end) {
        wchar_t wc = 0;
        size_t n = std::mbrtowc(&wc, p, static_cast<size_t>(end - p), &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
            ++p;
            state = std::mbstate_t{};
            continue;
        }
        out += wc;
        p += n;
    }
    return out;
}

std::wstring SystemText(DWORD code) {
    if (code == ERROR_SUCCESS) {
        return L"Success";
    }
    const int err = ErrnoOfCode(code);
    if (err == 0) {
        return L"Error " + std::to_wstring(code);
    }
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not be in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return Widen(text);
}

// ---- handles ----------------------------------------------------------------------------------
std::mutex g_handleMutex;
std::unordered_map<HANDLE, std::unique_ptr<vmod_posix::KernelObject>>& Handles() {
    static auto* handles =
        new std::unordered_map<HANDLE, std::unique_ptr<vmod_posix::KernelObject>>();
    return *handles;
}

class EventObject : public vmod_posix::KernelObject {
  public:
    EventObject(bool manualReset, bool signalled)
        : KernelObject(Kind::Event), m_manualReset(manualReset), m_signalled(signalled) {}
    bool m_manualReset;
    bool m_signalled;
};

// ---- clock ------------------------------------------------------------------------------------
class VirtualClock : public vmod_testing::Clock {
  public:
    explicit VirtualClock(uint64_t startMs) : m_now(startMs) {}
    uint64_t NowMs() override { return m_now.load(); }
    void SleepMs(uint64_t ms) override { m_now.fetch_add(ms); }

  private:
    std::atomic<uint64_t> m_now;
};

std::atomic<vmod_testing::Clock*> g_clock{nullptr};
std::atomic<vmod_testing::SerialBackend*> g_backend{nullptr};

uint64_t HostNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void HostSleepMs(uint64_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

} // namespace

namespace vmod_posix {

HANDLE RegisterHandle(std::unique_ptr<KernelObject> object) {
    HANDLE h = object.get();
    std::lock_guard<std::mutex> lock(g_handleMutex);
    Handles()[h] = std::move(object);
    return h;
}

KernelObject* LookupHandle(HANDLE handle, KernelObject::Kind kind) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = Handles().find(handle);
    if (it == Handles().end() || it->second->kind() != kind) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second.get();
}

void SetLastErrorFromErrno(int err) {
    t_lastError = MapErrno(err);
    t_errnoCode = t_lastError;
    t_errno = err;
}

vmod_testing::SerialBackend* CurrentSerialBackend() {
    return g_backend.load();
}

bool TestClockSet() {
    return g_clock.load() != nullptr;
}

} // namespace vmod_posix

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

BOOL CloseHandle(HANDLE handle) {
    std::unique_ptr<vmod_posix::KernelObject> object;
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        auto it = Handles().find(handle);
        if (it == Handles().end()) {
            t_lastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        object = std::move(it->second);
        Handles().erase(it);
    }
    object.reset(); // releases the port or mutex outside the table's lock
    return TRUE;
}

HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (security != nullptr || name != nullptr) {
        t_lastError = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    return vmod_posix::RegisterHandle(
        std::make_unique<EventObject>(manualReset != FALSE, initialState != FALSE));
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments) {
    (void)source, (void)languageId, (void)arguments;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const std::wstring text = SystemText(messageId);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        auto* out = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
        if (!out) {
            t_lastError = ERROR_NOT_ENOUGH_MEMORY;
            return 0;
        }
        std::wmemcpy(out, text.c_str(), text.size() + 1);
        *reinterpret_cast<LPWSTR*>(buffer) = out;
        return static_cast<DWORD>(text.size());
    }
    if (size < text.size() + 1) {
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

void Sleep(DWORD ms) {
    vmod_testing::SleepMs(ms);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
    char path[4096];
    const ssize_t n = module ? -1 : readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0 || !name || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring wide = vmod_posix::WideFromUtf8(std::string(path, static_cast<size_t>(n)));
    const size_t copied = std::min<size_t>(wide.size(), size - 1);
    std::wmemcpy(name, wide.data(), copied);
    name[copied] = L'\0';
    return copied < wide.size() ? size : static_cast<DWORD>(copied);
}

DWORD GetTickCount() {
    return static_cast<DWORD>(vmod_testing::NowMs());
}

namespace vmod_testing {

std::unique_ptr<Clock> MakeVirtualClock(uint64_t startMs) {
    return std::make_unique<VirtualClock>(startMs);
}

void SetClock(Clock* clock) {
    g_clock.store(clock);
}

uint64_t NowMs() {
    Clock* clock = g_clock.load();
    return clock ? clock->NowMs() : HostNowMs();
}

void SleepMs(uint64_t ms) {
    Clock* clock = g_clock.load();
    if (clock) {
        clock->SleepMs(ms);
    } else {
        HostSleepMs(ms);
    }
}

void SetSerialBackend(SerialBackend* backend) {
    g_backend.store(backend);
}

} // namespace vmod_testing
