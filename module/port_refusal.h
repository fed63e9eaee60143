// The user's line for a port the host refused: which port and device, why, and what to do,
// in the dialog's Japanese. The identification's not-found box and the download's re-open box
// show such lines under their own text.
#pragma once

#include "platform/cstring.h"
#include "platform/port_access.h"

// "COMn (DEVICE): REASON。WHAT TO DO" for a refusal of COMn; empty for PORT_REFUSED_NONE.
CString PortRefusalText(int port, const PORT_REFUSAL& refusal);
// The line for the host's record of the last open of COMn (HostGetPortRefusal); empty when that
// open was not refused.
CString PortRefusalLine(int port);
