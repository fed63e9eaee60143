// Pseudo-terminals for the stand-in module, and raw access to a tty device for its tests.
// Descriptors are plain ints; -1 means none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One pseudo-terminal: the master side, read and written by the stand-in, and a descriptor
// of the slave side held open so that the master never reports a hang-up while no tool has
// the slave open.
struct PtyPair {
    int master = -1;
    int slave = -1;
};

// Creates a pseudo-terminal: slave in raw mode (no echo, no line editing, no byte mapping),
// 115200 8N1, master non-blocking; stores the slave's device path. False on failure, with
// nothing left open.
bool PtyOpen(PtyPair* pty, std::string* slavePath);
// Closes both sides; a tool holding the slave sees its device vanish. Safe on a closed pair.
void PtyClose(PtyPair* pty);
// Waits at most timeoutUs for bytes written on the slave side: 1 when some are ready, 0
// when none came (also when a signal interrupted the wait), -1 on failure.
int PtyWaitReadable(const PtyPair& pty, uint64_t timeoutUs);
// Bytes written on the slave side, without waiting: the count, 0 when none, -1 on failure.
long PtyRead(const PtyPair& pty, uint8_t* out, size_t max);
// Hands bytes to the slave side's readers without waiting: the count taken (fewer when its
// input queue is full), -1 on failure.
long PtyWrite(const PtyPair& pty, const uint8_t* data, size_t count);
// Bytes handed to the slave side that no reader has taken yet; -1 on failure.
long PtyUnread(const PtyPair& pty);

// Opens a tty device (following links) for reading and writing, raw mode, 115200 8N1: the
// descriptor, or -1 when it cannot be opened.
int TtyOpenRaw(const std::string& path);
// Waits until max bytes have arrived or timeoutMs has passed since the call: the count
// received, -1 when the device failed or vanished before any byte came.
long TtyRead(int fd, uint8_t* out, size_t max, int timeoutMs);
// Writes all bytes (waiting while the device's queue is full): the count, -1 on failure.
long TtyWrite(int fd, const uint8_t* data, size_t count);
// Closes the descriptor; safe with -1.
void TtyClose(int fd);
