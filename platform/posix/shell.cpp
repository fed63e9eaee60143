// ExitWindowsEx: the reboot, recorded under a device root, else asked of the login manager.
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/device_root.h"
#include "platform/posix/kernel_objects.h"
#include "platform/testing.h"
#include "platform/winbase.h"

extern char** environ;

namespace {

std::mutex g_seamMutex;
std::function<void()>& Seam() {
    static auto* seam = new std::function<void()>();
    return *seam;
}

// Runs argv (searched on PATH) and waits for it: true when it exited with status 0.
bool Run(const char* const argv[]) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

// logind decides who may restart the host when it is asked; there is nothing to take first.
BOOL HostPrepareReboot() {
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reserved) {
    (void)reserved;
    if (flags != EWX_REBOOT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::function<void()> seam;
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        seam = Seam();
    }
    if (seam) {
        seam();
        return TRUE;
    }
    const std::string root = DeviceRoot();
    if (!root.empty()) {
        const std::string path = root + "/reboot-requested";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            vmod_posix::SetLastErrorFromErrno(errno);
            return FALSE;
        }
        close(fd);
        return TRUE;
    }
    // logind decides whether this user may reboot (polkit); systemctl asks it over D-Bus.
    static const char* const kSystemctl[] = {"systemctl", "reboot", nullptr};
    if (Run(kSystemctl)) {
        return TRUE;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

namespace vmod_testing {

void SetRebootHandler(std::function<void()> reboot) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    Seam() = std::move(reboot);
}

} // namespace vmod_testing
