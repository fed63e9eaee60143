#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device_root.h"
#include "platform/file.h"
#include "platform/posix/utf8.h"

CFile::~CFile() { Close(); }

BOOL CFile::Open(LPCWSTR devicePath, UINT flags) {
    Close();
    const std::string path = (flags & modeHostPath) ? vmod_posix::Utf8FromWide(devicePath)
                                                    : DeviceToHostPath(devicePath);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return FALSE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return FALSE;
    }
    // No sharing: an advisory exclusive lock, so two cooperating openers exclude each other.
    if ((flags & shareExclusive) && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return FALSE;
    }
    m_fd = fd;
    return TRUE;
}

uint64_t CFile::GetLength() const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.st_size);
}

UINT CFile::Read(void* buffer, UINT count) {
    if (m_fd < 0) {
        return 0;
    }
    UINT done = 0;
    while (done < count) {
        ssize_t n = ::read(m_fd, static_cast<char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<UINT>(n);
    }
    return done;
}

void CFile::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
