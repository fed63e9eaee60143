// CFile on the C runtime's descriptors, opened with the Windows sharing modes.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/device_root.h"
#include "platform/file.h"
#include "platform/win32/text.h"

CFile::~CFile() {
    Close();
}

BOOL CFile::Open(LPCWSTR devicePath, UINT flags) {
    Close();
    const std::wstring path = (flags & modeHostPath)
                                  ? std::wstring(devicePath)
                                  : vmod_win32::Wide(DeviceToHostPath(devicePath));
    int fd = -1;
    // No sharing is the system's own here: another opener cannot open the file meanwhile.
    if (_wsopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY,
                  (flags & shareExclusive) ? _SH_DENYRW : _SH_DENYNO, _S_IREAD) != 0)
        return FALSE;
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        _close(fd);
        return FALSE;
    }
    m_fd = fd;
    return TRUE;
}

uint64_t CFile::GetLength() const {
    struct _stat64 st;
    if (m_fd < 0 || _fstat64(m_fd, &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

UINT CFile::Read(void* buffer, UINT count) {
    if (m_fd < 0)
        return 0;
    UINT done = 0;
    while (done < count) {
        // The runtime reads at most INT_MAX bytes a call.
        const unsigned ask = std::min<UINT>(count - done, 1u << 30);
        const int n = _read(m_fd, static_cast<char*>(buffer) + done, ask);
        if (n <= 0)
            break;
        done += static_cast<UINT>(n);
    }
    return done;
}

void CFile::Close() {
    if (m_fd >= 0) {
        _close(m_fd);
        m_fd = -1;
    }
}
