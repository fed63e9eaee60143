// CFile: the framework's file object, the subset the package loader reads through.
#pragma once

#include <cstdint>

#include "platform/types.h"

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,        // open an existing file for reading; never creates one
        shareExclusive = 0x0010,  // no other opener may share the file while it is open
        // This project's own: the path is the host's, taken as it is, not a device path.
        modeHostPath = 0x8000,
    };

    CFile() = default;
    ~CFile();  // closes the file if still open
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens the file at a device path (backslashes, "\Program Files\..."), mapped to the host
    // through the device root (with modeHostPath: at that host path). Returns FALSE, leaving the object closed, when the file does not
    // exist, cannot be opened or is held exclusively by another opener.
    BOOL Open(LPCWSTR devicePath, UINT flags);
    // The file's length in bytes; 0 when closed.
    uint64_t GetLength() const;
    // Reads up to count bytes at the current position; returns the number read, which is
    // smaller than count only at the end of the file or on a read error.
    UINT Read(void* buffer, UINT count);
    // Closes the file; harmless when already closed.
    void Close();

private:
    int m_fd = -1;
};
