// The Windows layer's own decisions, open to its tests: the name of a port, the privilege a
// restart needs, and the thread that holds the system awake.
#pragma once

#include <string>

#include "platform/types.h"

namespace vmod_win32 {

// SetThreadExecutionState, or a stand-in that records its calls (nullptr restores the system's).
typedef EXECUTION_STATE(WINAPI* ExecutionStateCall)(EXECUTION_STATE);
void SetExecutionStateCall(ExecutionStateCall call);

// The COM number a port name stands for: "COMn", "COMn:" or "\\.\COMn" (any case), n 1..255;
// 0 for any other name.
int ComNumberOfName(const std::wstring& name);

} // namespace vmod_win32
