// The single-instance mutex: a lock file per device root and name, held with flock so that the
// system releases it when the holder's process ends, however it ends.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "platform/device_root.h"
#include "platform/posix/kernel_objects.h"
#include "platform/posix/utf8.h"
#include "platform/winbase.h"

namespace {

class MutexObject : public vmod_posix::KernelObject {
  public:
    explicit MutexObject(int fd) : KernelObject(Kind::Mutex), m_fd(fd) {}
    ~MutexObject() override {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

  private:
    int m_fd;
};

// 64-bit FNV-1a: a short stable file name for any root and mutex name.
uint64_t Fnv1a(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// The lock file of a name under the current device root. The root is taken as its real path,
// so two spellings of one folder share their mutexes.
std::string LockPath(LPCWSTR name) {
    std::string root = DeviceRoot();
    if (!root.empty()) {
        char buf[PATH_MAX];
        if (realpath(root.c_str(), buf)) {
            root = buf;
        }
    }
    const uint64_t key = Fnv1a(root + '\n' + vmod_posix::Utf8FromWide(name));
    char file[64];
    std::snprintf(file, sizeof file, "vmod-mutex-%016llx.lock",
                  static_cast<unsigned long long>(key));
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && access(runtime, W_OK) == 0) {
        return std::string(runtime) + "/" + file;
    }
    // /tmp is shared by all users: the user id keeps one user's lock out of another's way.
    return "/tmp/vmod-" + std::to_string(getuid()) + "-" + file;
}

} // namespace

HANDLE CreateMutexW(void* security, BOOL initialOwner, LPCWSTR name) {
    (void)security, (void)initialOwner;
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    const std::string path = LockPath(name);
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        vmod_posix::SetLastErrorFromErrno(errno);
        return nullptr;
    }
    int r;
    do {
        r = flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        const int err = errno;
        close(fd);
        if (err != EWOULDBLOCK) {
            vmod_posix::SetLastErrorFromErrno(err);
            return nullptr;
        }
        // Held elsewhere: a handle that holds nothing, as a second opener of a mutex gets.
        HANDLE h = vmod_posix::RegisterHandle(std::make_unique<MutexObject>(-1));
        SetLastError(ERROR_ALREADY_EXISTS);
        return h;
    }
    HANDLE h = vmod_posix::RegisterHandle(std::make_unique<MutexObject>(fd));
    SetLastError(ERROR_SUCCESS);
    return h;
}
