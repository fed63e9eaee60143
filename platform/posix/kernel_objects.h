// Internal to platform/posix/: the kernel objects behind HANDLEs, the last-error code and the
// test seams' state as the implementations read it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/testing.h"
#include "platform/types.h"

namespace vmod_posix {

// What a HANDLE from this layer points at. The object lives until CloseHandle.
class KernelObject {
  public:
    enum class Kind { Port, Event, Mutex };
    explicit KernelObject(Kind kind) : m_kind(kind) {}
    virtual ~KernelObject() = default;
    Kind kind() const { return m_kind; }

  private:
    Kind m_kind;
};

// Takes the object over and returns its handle (never nullptr or INVALID_HANDLE_VALUE).
HANDLE RegisterHandle(std::unique_ptr<KernelObject> object);
// The live object of that kind behind handle; nullptr (and ERROR_INVALID_HANDLE set) if none.
KernelObject* LookupHandle(HANDLE handle, KernelObject::Kind kind);

// Sets the last-error code for a host errno (the one mapping of errno to the handheld's codes)
// and remembers the errno so that FormatMessageW can give the system's own text for it.
void SetLastErrorFromErrno(int err);

// The serial back end in place of the host's devices; nullptr when none is set.
vmod_testing::SerialBackend* CurrentSerialBackend();
// True while a test clock is in place (waits then step on it instead of blocking in poll).
bool TestClockSet();

} // namespace vmod_posix
